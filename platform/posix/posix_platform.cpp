#include "platform/posix/posix_platform.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/posix/clock.h"
#include "platform/posix/last_error.h"
#include "platform/posix/profile.h"
#include "platform/posix/version.h"
#include "platform/posix/window_system.h"

namespace zeva::posix {
namespace {

class PosixEventThread : public platform::EventThread {
 public:
  explicit PosixEventThread(std::function<void()> body) : thread_(std::move(body)) {}
  ~PosixEventThread() override { Join(); }

  void Join() override {
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (!thread_.joinable()) return;
    // A thread cannot wait for its own end; it is let go instead.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  std::thread::native_handle_type native() { return thread_.native_handle(); }

 private:
  std::mutex joinMutex_;
  std::thread thread_;
};

// The event thread should win against the client's own threads when bytes
// arrive; unprivileged processes may not raise it, and then it runs at
// normal priority.
void RaisePriority(PosixEventThread& thread) {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_RR);
  pthread_setschedparam(thread.native(), SCHED_RR, &param);
}

}  // namespace

uint32_t PosixPlatform::TickCount() { return MonotonicTickCount(); }

void PosixPlatform::WaitForMessageOrTick(uint32_t tick) {
  const int64_t now = SteadyNowUs();
  const int64_t until = platform::TickReachedUs(now, static_cast<uint32_t>(now / 1000), tick);
  if (until > now) posixwin::WaitForMessageUntilUs(until);
}

int PosixPlatform::Rand() { return std::rand(); }

std::unique_ptr<platform::SerialPort> PosixPlatform::OpenSerial(int portNumber, const platform::SerialConfig& config,
                                                                platform::SerialStatus* status) {
  return OpenSerialPort(portNumber, config, status);
}

std::unique_ptr<platform::EventThread> PosixPlatform::StartEventThread(platform::SerialPort& port,
                                                                       std::function<void()> body,
                                                                       std::function<void(uint32_t)> handler) {
  // The body reaches the port and the handler itself; only the test platform
  // needs them separately.
  (void)port;
  (void)handler;
  try {
    auto thread = std::make_unique<PosixEventThread>(std::move(body));
    RaisePriority(*thread);
#ifdef __linux__
    // Named so that a debugger, top or a benchmark can tell it apart.
    pthread_setname_np(thread->native(), "zeva-events");
#endif
    return thread;
  } catch (const std::system_error& error) {
    SetLastErrorFromCode(error.code().value());
    return nullptr;
  }
}

bool PosixPlatform::IsElevated() { return geteuid() == 0; }

std::string PosixPlatform::LastErrorText() { return posix::LastErrorText(); }

std::string PosixPlatform::ProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                                         std::string_view file, size_t size) {
  return ReadProfileString(file, section, key, fallback, size);
}

std::string PosixPlatform::VersionString(std::string_view name) { return VersionResourceString(name); }

int PosixPlatform::ShowBox(const char* text, const char* caption, unsigned type) {
  return MessageBoxA(nullptr, text, caption, type);
}

}  // namespace zeva::posix

namespace zeva::platform {

// Never destroyed: the library's unload hook runs during process exit and
// may still need the platform after static objects are gone.
Platform& RealPlatform() {
  static auto* platform = new posix::PosixPlatform;
  return *platform;
}

}  // namespace zeva::platform
