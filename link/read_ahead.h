// Read-ahead: how many more bytes the receive path needs before the parser
// can decide anything, so that the port need not wake the reader for fewer.
#pragma once

#include <cstdint>

#include "link/parser.h"

namespace zeva::link {

// The least number of bytes that must still arrive before ParseFrame, given
// these accumulator bytes and the parser's state, can return anything but 0:
// the rest of the frame begun at the first possible start, the rest of an
// awaited echo there, or a whole short frame when nothing has begun. Never
// more than that, so a port that waits for them delays no frame; 1 wherever
// the parser's next step depends on bytes it has not judged yet (a start
// that has failed its check, a complete frame still unparsed, the echo of a
// raw send, an echo due among bytes already there).
int32_t BytesToDecide(const ParserState& state, const uint8_t* bytes, int32_t length);

}  // namespace zeva::link
