#include "platform/win32/last_error.h"

namespace zeva::win32 {
namespace {

thread_local std::string t_lastError;

}  // namespace

void CaptureErrorCode(DWORD code) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer), 0, nullptr);
  if (n != 0 && buffer != nullptr) {
    t_lastError.assign(buffer, n);
  } else {
    t_lastError = "Error " + std::to_string(code);
  }
  if (buffer != nullptr) LocalFree(buffer);
  // The code stays the thread's last error, as after the failing call.
  SetLastError(code);
}

void CaptureLastError() { CaptureErrorCode(GetLastError()); }

std::string LastErrorText() { return t_lastError; }

}  // namespace zeva::win32
