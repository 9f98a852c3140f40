// Device identification and the bus map.
#pragma once

#include <cstdint>
#include <string>

#include "services/service_state.h"

namespace zeva {

// The six bytes a device answers an identification with: serial code (most
// significant byte first), product code, version high and low number.
struct DeviceIdentity {
  uint8_t bytes[6] = {0, 0, 0, 0, 0, 0};

  uint32_t serial() const { return static_cast<uint32_t>(bytes[0] << 16 | bytes[1] << 8 | bytes[2]); }
  uint8_t product() const { return bytes[3]; }
  uint8_t versionHigh() const { return bytes[4]; }
  uint8_t versionLow() const { return bytes[5]; }
};

// Whether the client's OnFirmwareInfo gets the identity's texts.
enum class InfoCallback : uint8_t { kNone, kOnFirmwareInfo };
// How a failure to send is reported: in a box, or posted to the client window.
enum class SendFailures : uint8_t { kShown, kPosted };

// Asks station `address` who it is; its own LocalAddress is answered by the
// driver itself, also while the port is closed. `out` (six bytes, may be
// null) receives the identity; the local answer leaves it untouched. Returns
// 1 when the identity was obtained.
int32_t IdentifyDevice(services::ServiceState& ctx, int32_t address, InfoCallback info, SendFailures failures,
                       uint8_t* out);

// Export: IdentifyDevice notifying OnFirmwareInfo, failures shown.
int32_t GetFirmwareInfo(services::ServiceState& ctx, int32_t address);

// Export: probes addresses 1 to 127 without acknowledgement, reporting
// OnMapProgress before each probe and OnDeviceFound for each answer, and
// OnMapProgress(0) at the end. Returns 1 when the map ran to its end or was
// aborted; 0 when refused (port closed, a map already running) or failed.
int32_t MakeMap(services::ServiceState& ctx);
// Export: the running map stops before its next probe.
void MapAbort(services::ServiceState& ctx);

namespace services {
// The product's name from the profile file; codes from 200 up are special
// builds that the file does not list.
std::string ProductName(services::ServiceState& ctx, uint8_t product);
}  // namespace services

}  // namespace zeva
