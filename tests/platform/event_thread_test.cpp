// The real platform's event thread: runs the body elsewhere, and Join waits
// for its end however often it is called.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/posix/posix_platform.h"

namespace {

using namespace std::chrono_literals;

// The event thread never touches the port; a port is needed only to name it.
class UnusedPort : public zeva::platform::SerialPort {
 public:
  zeva::platform::SerialStatus SetEventMask(uint32_t) override { return zeva::platform::SerialStatus::Ok(); }
  zeva::platform::SerialStatus WaitEvent(uint32_t*) override { return zeva::platform::SerialStatus::Failed(); }
  int32_t QueuedBytes() override { return 0; }
  zeva::platform::SerialStatus Read(uint8_t*, int32_t) override { return zeva::platform::SerialStatus::Failed(); }
  zeva::platform::SerialStatus Write(const uint8_t*, int32_t) override { return {}; }
  void Purge() override {}
  zeva::platform::SerialStatus Close() override { return zeva::platform::SerialStatus::Ok(); }
};

TEST(EventThreadTest, RunsTheBodyOnItsOwnThreadAndIsJoinedExactlyOnce) {
  zeva::posix::PosixPlatform platform;
  UnusedPort port;
  std::promise<std::thread::id> ranOn;
  std::atomic<bool> finished{false};
  auto thread = platform.StartEventThread(
      port,
      [&] {
        ranOn.set_value(std::this_thread::get_id());
        std::this_thread::sleep_for(30ms);
        finished = true;
      },
      [](uint32_t) {});
  ASSERT_NE(thread, nullptr);
  auto future = ranOn.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_NE(future.get(), std::this_thread::get_id());
  thread->Join();
  EXPECT_TRUE(finished.load());
  thread->Join();  // already joined: returns at once

  // Destroying an unjoined thread joins it: the body has run once it is gone.
  std::atomic<bool> ran{false};
  platform.StartEventThread(port, [&] { ran = true; }, [](uint32_t) {}).reset();
  EXPECT_TRUE(ran.load());
}

}  // namespace
