// The remote error report and the query: two request-and-answer exchanges
// with one station.
#pragma once

#include <cstdint>

#include "core/driver_context.h"

namespace zeva {

// Export: asks `address` (0: any station) for the state of its program
// interpreter at its last run-time error and hands the readable report to
// OnRemoteError. Returns 1 when the report was formed.
int32_t GetRemoteError(DriverContext& ctx, int32_t address);

// Export: sends six bytes (`data`, or the output buffer with its byte 4 set
// to 0 when `data` is null) and hands the station's answer to OnQueryReply
// with `tag`. A nonzero `quiet` (low 16 bits) posts failures instead of
// showing them. Returns 1 when an answer was delivered.
int32_t Query(DriverContext& ctx, int32_t address, const uint8_t* data, int32_t quiet, int32_t tag);

namespace services {

inline constexpr size_t kRemoteErrorTextSize = 256;

// The description of a device error code, or nullptr when it has none.
const char* RemoteErrorDescription(uint8_t code);

// The report text of a six-byte remote error record.
void FormatRemoteErrorReport(const uint8_t record[6], char (&text)[kRemoteErrorTextSize]);

}  // namespace services
}  // namespace zeva
