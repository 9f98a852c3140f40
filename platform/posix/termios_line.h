// The line itself: the terminal set up as the adapter needs it (raw bytes,
// even parity, one stop bit, no flow control, modem lines low), taken
// exclusively. MakeRawLine is declared in serial_port.h.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zeva::posix {

// Applies the rate and the character format to the terminal `fd`. False
// when the terminal refused or the settings are not ones a line can have.
bool ConfigureLine(int fd, const platform::SerialConfig& config);
// Lowers DTR and RTS, which opening a tty raises.
void LowerModemLines(int fd);
// Keeps other opens out; false (EBUSY as the last error) when another has it.
bool TakeExclusive(int fd);
// One character on the wire, in microseconds: start bit, data bits, parity
// bit, stop bit. 0 for a rate that is not positive.
int64_t CharacterUs(const platform::SerialConfig& config);

}  // namespace zeva::posix
