// Device commands: the one-frame orders every device obeys (reboot, stop,
// clear the stored run-time error, reset communication, take an address,
// commit a program), and the restart of the whole bus.
#pragma once

#include <cstdint>

#include "services/service_state.h"

namespace zeva {

enum DeviceCommandCode : int32_t {
  DC_REBOOT = 0,
  DC_CLEAR_REMOTE_ERROR = 1,
  DC_STOP = 2,
  DC_ASSIGN_ADDRESS = 3,
  DC_RESET_COMM = 4,
  DC_COMMIT_PROGRAM = 5,
};

// Whether a failure is kept from the client (no box, no message).
enum class Quiet : uint8_t { kNo, kYes };

// Sends `command` to `destination` (low 16 bits 0: every station, without
// acknowledgement). `data` is the six-byte buffer of DC_ASSIGN_ADDRESS and
// DC_COMMIT_PROGRAM, read whole; its byte 5 is replaced by the command code.
// Busy answers are retried after a BusyTimeout pause. Returns 1 when sent;
// 0 otherwise, reported (driver error 2 or 3) unless quiet. A closed port
// or a missing buffer gives 0 without a report.
int32_t DeviceCommand(services::ServiceState& ctx, int32_t destination, int32_t command, const uint8_t* data,
                      Quiet quiet);

// Exports: the command to one station or, with address 0, to all.
int32_t Reboot(services::ServiceState& ctx, int32_t address);
int32_t ClearRemoteError(services::ServiceState& ctx, int32_t address);
int32_t Stop(services::ServiceState& ctx, int32_t address);
int32_t ResetComm(services::ServiceState& ctx, int32_t address);

// What becomes of the port after the restart.
enum class PortAfter : uint8_t { kLeft, kClosed };

// Clears every device's error, pauses 300 ms and reboots every device.
// Returns 1 when both commands went out; otherwise 0, reported as driver
// error 5 unless quiet.
int32_t RestartDevices(services::ServiceState& ctx, PortAfter port, Quiet quiet);

// Export: reopens the port (so that the latest serial settings apply),
// restarts the devices and leaves the port open or closed as it was.
int32_t Restart(services::ServiceState& ctx);

namespace services {
// Closes the port and opens it again for the client window. On failure
// reports driver error 6 and returns false; the port is closed then.
bool ReopenPort(services::ServiceState& ctx);
}  // namespace services

}  // namespace zeva
