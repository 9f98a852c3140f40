#include "platform/posix/last_error.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace zeva::posix {
namespace {

thread_local std::string tLastError;

}  // namespace

void SetLastErrorFromErrno() { SetLastErrorFromCode(errno); }

// system_category's message is strerror's text without strerror's shared buffer.
void SetLastErrorFromCode(int errnoValue) { tLastError = std::system_category().message(errnoValue); }

void SetLastErrorText(std::string text) { tLastError = std::move(text); }

std::string LastErrorText() { return tLastError; }

}  // namespace zeva::posix
