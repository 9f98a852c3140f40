// The query: six bytes of the client's to one station, and its answer.
#pragma once

#include <cstdint>

#include "services/service_state.h"

namespace zeva {

// Export: sends six bytes (`data`, or the output buffer with its byte 4 set
// to 0 when `data` is null) and hands the station's answer to OnQueryReply
// with `tag`. A nonzero `quiet` (low 16 bits) posts failures instead of
// showing them. Returns 1 when an answer was delivered.
int32_t Query(services::ServiceState& ctx, int32_t address, const uint8_t* data, int32_t quiet, int32_t tag);

}  // namespace zeva
