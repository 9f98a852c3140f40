#include "core/errors.h"

#include <iterator>

namespace zeva {
namespace {

struct DriverError {
  int32_t code;
  const char* text;
};

constexpr DriverError kDriverErrorTable[] = {
    {kErrNone, "no error"},
    {kErrWriteTimeout, "Probable Write Timeout"},
    {kErrSendFailed, kTextSendFailed},
    {kErrChannelBusy, "Cannot send data over the network, channel is busy"},
    {kErrPermanentFailure, kTextPermanentFailure},
    {kErrRestartFailed, kTextRestartFailed},
    {kErrCannotOpen, kTextCannotOpen},
    {kErrNoResponse, kTextNoResponse},
    {kErrSerialMismatch, kTextSerialMismatch},
    {kErrWrongProduct, kTextWrongProduct},
    {kErrVersionTooLow, kTextVersionTooLow},
    {kErrEventBufferFull, "Dataredy event buffer full"},
    {kErrTooManyRequests, kTextTooManyRequests},
    {kErrRequestVanished, "TestData null"},
};
static_assert(std::size(kDriverErrorTable) == 14);

}  // namespace

int32_t LookupDriverError(int32_t code) {
  for (int32_t row = 0; row < static_cast<int32_t>(std::size(kDriverErrorTable)); ++row) {
    if (kDriverErrorTable[row].code == code) return row;
  }
  return 0;
}

const char* DriverErrorText(int32_t code) { return kDriverErrorTable[LookupDriverError(code)].text; }

}  // namespace zeva
