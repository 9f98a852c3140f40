#include "platform/win32/win32_platform.h"

#include <process.h>

#include <cstdlib>
#include <vector>

#include "platform/win32/clock.h"
#include "platform/win32/last_error.h"
#include "platform/win32/serial_port.h"

namespace zeva::win32 {
namespace {

HMODULE g_module = nullptr;

HMODULE DriverModule() {
  if (g_module != nullptr) return g_module;
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<const char*>(&DriverModule), &module);
  return module;
}

// What the thread runs, and its signals: it has begun (the loader has let
// it in), and it has left the driver's code.
struct ThreadStart {
  std::function<void()> body;
  HANDLE started = nullptr;
  HANDLE done = nullptr;
  HANDLE parked = nullptr;  // never signalled: the thread's last wait
};

// The thread never returns into the driver's code after it has said it left:
// an unload may unmap that code the moment "done" is seen. So it queues its
// own end (ExitThread, as an APC) and then signals "done" and waits,
// alertably, in one system call: the system signals first, then finds the
// APC due and runs it, so the thread ends in system code. APCs the system
// still owes the thread (its port I/O) may run first; the end comes after
// them, within the same call.
unsigned __stdcall ThreadMain(void* argument) {
  auto* start = static_cast<ThreadStart*>(argument);
  SetEvent(start->started);
  start->body();
  QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)), GetCurrentThread(), 0);
  SignalObjectAndWait(start->done, start->parked, INFINITE, TRUE);
  for (;;) SleepEx(INFINITE, TRUE);
}


// Ending the thread is the driver's business (stop signal, event mask 0).
// Join waits for the thread's "done" signal or for its end, whichever comes
// first: at an unload inside FreeLibrary the loader lock is held, and a
// thread's end needs that lock, so only the signal can arrive then; a thread
// ended by the system (process exit) never signals, but its handle does.
class Win32EventThread : public platform::EventThread {
 public:
  Win32EventThread(HANDLE thread, unsigned id, std::unique_ptr<ThreadStart> start)
      : thread_(thread), id_(id), start_(std::move(start)) {}
  ~Win32EventThread() override {
    Join();
    CloseHandle(thread_);
    CloseHandle(start_->started);
    CloseHandle(start_->done);
    CloseHandle(start_->parked);
  }

  void Join() override {
    if (joined_ || GetCurrentThreadId() == id_) return;
    HANDLE handles[2] = {start_->done, thread_};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    joined_ = true;
  }

 private:
  HANDLE thread_;
  unsigned id_;
  std::unique_ptr<ThreadStart> start_;
  bool joined_ = false;
};

}  // namespace

void SetModuleHandle(HMODULE module) { g_module = module; }

uint32_t Win32Platform::TickCount() { return TickCountNow(); }

// Blocks in the system until a message arrives for the thread (also one
// already seen by a peek and left in the queue) or the time has come.
void Win32Platform::WaitForMessageOrTick(uint32_t tick) {
  const int64_t now = NowUs();
  WaitUntilUs(platform::TickReachedUs(now, static_cast<uint32_t>(now / 1000), tick));
}

int Win32Platform::Rand() { return std::rand(); }

std::unique_ptr<platform::SerialPort> Win32Platform::OpenSerial(int portNumber, const platform::SerialConfig& config,
                                                                platform::SerialStatus* status) {
  return OpenSerialPort(portNumber, config, status);
}

std::unique_ptr<platform::EventThread> Win32Platform::StartEventThread(platform::SerialPort& port,
                                                                       std::function<void()> body,
                                                                       std::function<void(uint32_t)> handler) {
  (void)port;
  (void)handler;
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(body);
  start->started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  start->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  start->parked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto closeEvents = [&start] {
    for (HANDLE h : {start->started, start->done, start->parked}) {
      if (h != nullptr) CloseHandle(h);
    }
  };
  if (start->started == nullptr || start->done == nullptr || start->parked == nullptr) {
    CaptureLastError();
    closeEvents();
    return nullptr;
  }
  unsigned id = 0;
  const uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadMain, start.get(), CREATE_SUSPENDED, &id);
  if (thread == 0) {
    CaptureLastError();
    closeEvents();
    return nullptr;
  }
  const auto handle = reinterpret_cast<HANDLE>(thread);
  // Received-data events should be posted without delay.
  SetThreadPriority(handle, THREAD_PRIORITY_HIGHEST);
  HANDLE started[2] = {start->started, handle};
  auto eventThread = std::make_unique<Win32EventThread>(handle, id, std::move(start));
  ResumeThread(handle);
  // A new thread first passes the loader (which takes its lock) and only
  // then runs ThreadMain. Returning only once it runs means that a later
  // unload, under that lock, never meets a thread still waiting to enter
  // the driver's code, which would then run after the code is gone.
  WaitForMultipleObjects(2, started, FALSE, INFINITE);
  return eventThread;
}

bool Win32Platform::IsElevated() { return IsProcessElevated(); }

std::string Win32Platform::LastErrorText() { return win32::LastErrorText(); }

std::string Win32Platform::ProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                                         std::string_view file, size_t size) {
  if (size == 0) return {};
  std::vector<char> buffer(size);
  const DWORD n = GetPrivateProfileStringA(std::string(section).c_str(), std::string(key).c_str(),
                                           std::string(fallback).c_str(), buffer.data(), static_cast<DWORD>(size),
                                           std::string(file).c_str());
  return std::string(buffer.data(), n);
}

// From the loaded module's own resource, not through its file's path: a
// path the ANSI code page cannot spell would find no file.
std::string Win32Platform::VersionString(std::string_view name) {
  const HMODULE module = DriverModule();
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16 /* RT_VERSION */));
  if (resource == nullptr) return {};
  const DWORD size = SizeofResource(module, resource);
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr || size == 0) return {};
  // VerQueryValue wants a block it may write to.
  std::vector<char> block(static_cast<const char*>(data), static_cast<const char*>(data) + size);
  std::wstring query = L"\\StringFileInfo\\040904b0\\";
  for (char c : name) query += static_cast<wchar_t>(static_cast<unsigned char>(c));
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || value == nullptr || length == 0) return {};
  const auto* text = static_cast<const wchar_t*>(value);
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

int Win32Platform::ShowBox(const char* text, const char* caption, unsigned type) {
  return MessageBoxA(nullptr, text, caption, type);
}

}  // namespace zeva::win32

namespace zeva::platform {

// Never destroyed: the detach at unload may still need it.
Platform& RealPlatform() {
  static auto* platform = new win32::Win32Platform;
  return *platform;
}

}  // namespace zeva::platform
