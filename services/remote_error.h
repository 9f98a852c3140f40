// The remote error report: a station's record of its last run-time error,
// asked for and made readable.
#pragma once

#include <cstdint>

#include "services/service_state.h"

namespace zeva {

// Export: asks `address` (0: any station) for the state of its program
// interpreter at its last run-time error and hands the readable report to
// OnRemoteError. Returns 1 when the report was formed.
int32_t GetRemoteError(services::ServiceState& ctx, int32_t address);

namespace services {

inline constexpr size_t kRemoteErrorTextSize = 256;

// The description of a device error code, or nullptr when it has none.
const char* RemoteErrorDescription(uint8_t code);

// The report text of a six-byte remote error record.
void FormatRemoteErrorReport(const uint8_t record[6], char (&text)[kRemoteErrorTextSize]);

}  // namespace services
}  // namespace zeva
