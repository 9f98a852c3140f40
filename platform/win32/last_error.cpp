#include "platform/win32/last_error.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace zeva::win32 {
namespace {

// Per thread, but no thread-local storage: a thread_local object with a
// destructor makes the C++ run-time pin the library (FreeLibrary then
// leaves it mapped, with its event thread and window link), and every
// thread-local variable costs the process one TLS index per load of the
// library that is never given back (a client that loads and unloads it a
// thousand times runs out of them). A few threads use the driver (the
// client's, the event thread): a small table by thread id serves.
struct Slot {
  DWORD thread = 0;
  char text[512] = {};
};
std::mutex g_mutex;
Slot g_slots[8];
unsigned g_next = 0;

void Keep(const char* text, size_t n) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const DWORD self = GetCurrentThreadId();
  Slot* slot = nullptr;
  for (Slot& s : g_slots) {
    if (s.thread == self) slot = &s;
  }
  if (slot == nullptr) slot = &g_slots[g_next++ % (sizeof g_slots / sizeof g_slots[0])];
  slot->thread = self;
  if (n >= sizeof slot->text) n = sizeof slot->text - 1;
  std::memcpy(slot->text, text, n);
  slot->text[n] = '\0';
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

std::string LastErrorText() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const Slot& s : g_slots) {
    if (s.thread == GetCurrentThreadId()) return s.text;
  }
  return {};
}

}  // namespace zeva::win32
