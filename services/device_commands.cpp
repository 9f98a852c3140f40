#include "services/device_commands.h"

#include <cstring>

#include "core/int16.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/service_common.h"
#include "transact/transmitter.h"

namespace zeva {
namespace {

using namespace services;

constexpr uint8_t kCodeAssignAddress = 251;
constexpr uint8_t kCodeClearError = 252;
constexpr uint8_t kCodeCommitProgram = 253;
constexpr uint8_t kCodeRebootStop = 254;
constexpr uint8_t kStopMarker = 0x37;
constexpr uint8_t kResetCommType = 6;
constexpr uint32_t kRestartPauseMs = 300;

struct CommandMessage {
  uint8_t type = 1;
  TransmitMode mode = kModeNormal;
  uint8_t bytes[6] = {0, 0, 0, 0, 0, 0};
};

// Builds the message of `command`; false when it must not be sent at all.
bool BuildCommand(int32_t destination, int32_t command, const uint8_t* data, CommandMessage* m) {
  *m = CommandMessage{};
  switch (command) {
    case DC_REBOOT:
      m->bytes[5] = kCodeRebootStop;
      m->mode = kModeUnacked;
      return true;
    case DC_CLEAR_REMOTE_ERROR:
      m->bytes[5] = kCodeClearError;
      return true;
    case DC_STOP:
      m->bytes[0] = kStopMarker;
      m->bytes[5] = kCodeRebootStop;
      m->mode = kModeUnacked;
      return true;
    case DC_ASSIGN_ADDRESS:
      if (data == nullptr) return false;
      std::memcpy(m->bytes, data, 6);
      m->bytes[5] = kCodeAssignAddress;
      return true;
    case DC_RESET_COMM:
      // Sent unacknowledged, type 6 becomes the short command frame with code 1.
      m->type = kResetCommType;
      m->bytes[0] = 1;
      m->mode = kModeUnacked;
      return true;
    case DC_COMMIT_PROGRAM:
      // A program is announced to one device, never to all.
      if (data == nullptr || Low16(destination) == 0) return false;
      std::memcpy(m->bytes, data, 6);
      m->bytes[5] = kCodeCommitProgram;
      return true;
    default:
      return false;
  }
}

}  // namespace

int32_t DeviceCommand(services::ServiceState& ctx, int32_t destination, int32_t command, const uint8_t* data,
                      Quiet quiet) {
  if (IsOpen(ctx) == 0 || !IsBusAddress(destination)) return 0;
  CommandMessage m;
  if (!BuildCommand(destination, command, data, &m)) return 0;
  if (Low16(destination) == 0) m.mode = kModeUnacked;
  const OutgoingMessage message{.destination = Low8(destination), .type = m.type, .data = m.bytes, .length = 6};
  const TransmitResult result =
      RetryWhileBusy(ctx, [&] { return TransmitMessage(ctx, message, {.mode = m.mode}); }, RetryIfBusy);
  if (result == kTxDone) return 1;
  if (quiet == Quiet::kYes) return 0;
  if (result == kTxBusy) {
    ReportDriverError(ctx, kErrChannelBusy, kTextChannelBusy, false);
  } else {
    ReportDriverError(ctx, kErrSendFailed, kTextSendFailed, false);
  }
  return 0;
}

int32_t Reboot(services::ServiceState& ctx, int32_t address) {
  return DeviceCommand(ctx, address, DC_REBOOT, nullptr, Quiet::kNo);
}
int32_t ClearRemoteError(services::ServiceState& ctx, int32_t address) {
  return DeviceCommand(ctx, address, DC_CLEAR_REMOTE_ERROR, nullptr, Quiet::kNo);
}
int32_t Stop(services::ServiceState& ctx, int32_t address) { return DeviceCommand(ctx, address, DC_STOP, nullptr, Quiet::kNo); }
int32_t ResetComm(services::ServiceState& ctx, int32_t address) {
  return DeviceCommand(ctx, address, DC_RESET_COMM, nullptr, Quiet::kNo);
}

int32_t RestartDevices(services::ServiceState& ctx, PortAfter port, Quiet quiet) {
  int32_t result = DeviceCommand(ctx, 0, DC_CLEAR_REMOTE_ERROR, nullptr, Quiet::kYes);
  if (result == 1) {
    // Gives the devices time to clear their errors before they reboot.
    Pause(ctx, kRestartPauseMs);
    result = DeviceCommand(ctx, 0, DC_REBOOT, nullptr, Quiet::kYes);
  }
  if (port == PortAfter::kClosed) CloseCOM(ctx);
  if (result == 0 && quiet == Quiet::kNo) ReportDriverError(ctx, kErrRestartFailed, kTextRestartFailed, false);
  return result;
}

int32_t Restart(services::ServiceState& ctx) {
  const bool wasOpen = IsOpen(ctx) != 0;
  if (!services::ReopenPort(ctx)) return 0;
  const int32_t result = RestartDevices(ctx, PortAfter::kLeft, Quiet::kNo);
  if (!wasOpen) CloseCOM(ctx);
  return result;
}

namespace services {

bool ReopenPort(services::ServiceState& ctx) {
  CloseCOM(ctx);
  if (OpenCOM(ctx, ClientWindow(ctx)) != 0) return true;
  ReportDriverError(ctx, kErrCannotOpen, kTextCannotOpen, false);
  return false;
}

}  // namespace services
}  // namespace zeva
