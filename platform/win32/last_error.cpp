#include "platform/win32/last_error.h"

#include <cstdio>
#include <cstring>

namespace zeva::win32 {
namespace {

// Plain characters, not a string: a thread-local object with a destructor
// makes the C++ run-time pin the library in memory, so that FreeLibrary
// would leave it mapped, with its event thread and window link alive.
thread_local char t_lastError[512];

void Keep(const char* text, size_t n) {
  if (n >= sizeof t_lastError) n = sizeof t_lastError - 1;
  std::memcpy(t_lastError, text, n);
  t_lastError[n] = '\0';
}

}  // namespace

void CaptureErrorCode(DWORD code) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer), 0, nullptr);
  if (n != 0 && buffer != nullptr) {
    Keep(buffer, n);
  } else {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "Error %lu", static_cast<unsigned long>(code));
    Keep(text, length > 0 ? static_cast<size_t>(length) : 0);
  }
  if (buffer != nullptr) LocalFree(buffer);
  // The code stays the thread's last error, as after the failing call.
  SetLastError(code);
}

void CaptureLastError() { CaptureErrorCode(GetLastError()); }

std::string LastErrorText() { return t_lastError; }

}  // namespace zeva::win32
