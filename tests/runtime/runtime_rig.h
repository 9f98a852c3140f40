// A driver over the test platform with one client window, and a line whose
// behaviour each test scripts byte for byte (echo, corruption, replies).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/testing/test_platform.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "support/fixture.h"

namespace zeva::serial_test {

using Bytes = std::vector<uint8_t>;

// Echoes what the host writes (after echoDelayUs, optionally changed by
// `alterEcho`), and delivers whatever the test schedules.
class ScriptedLine : public testing::VirtualLine {
 public:
  bool echo = true;
  uint64_t echoDelayUs = 1000;
  std::function<void(Bytes&)> alterEcho;
  // Called with each write; may schedule an answer.
  std::function<void(const Bytes&, uint64_t nowUs)> onWrite;

  std::vector<platform::SerialConfig> opens;
  int closes = 0;
  std::vector<Bytes> writes;

  void Schedule(uint64_t atUs, Bytes bytes, bool lineError = false) {
    pending_.push_back({atUs, std::move(bytes), lineError});
  }

  void HostOpened(const platform::SerialConfig& config) override { opens.push_back(config); }
  void HostClosed() override { ++closes; }
  void HostWrite(const uint8_t* bytes, size_t n, uint64_t nowUs) override {
    Bytes written(bytes, bytes + n);
    writes.push_back(written);
    if (echo) {
      Bytes echoed = written;
      if (alterEcho) alterEcho(echoed);
      Schedule(nowUs + echoDelayUs, echoed);
    }
    if (onWrite) onWrite(written, nowUs);
  }
  std::optional<uint64_t> NextEventUs() override {
    std::optional<uint64_t> next;
    for (const auto& p : pending_) {
      if (!next || p.atUs < *next) next = p.atUs;
    }
    return next;
  }
  void AdvanceTo(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* lineError, bool* hungUp) override {
    (void)hungUp;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->atUs <= nowUs) {
        toHost->insert(toHost->end(), it->bytes.begin(), it->bytes.end());
        *lineError = *lineError || it->lineError;
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  struct Delivery {
    uint64_t atUs;
    Bytes bytes;
    bool lineError;
  };
  std::vector<Delivery> pending_;
};

// The client's own window procedure: records what reaches it.
struct ClientMessage {
  HWND window;
  unsigned message;
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<ClientMessage>& ClientLog();
LRESULT ZEVA_WINDOW_PROC ClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
LRESULT ZEVA_WINDOW_PROC OtherClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
inline constexpr LRESULT kClientResult = 77;

// The messages waiting in this thread's queue, in order, left in place.
std::vector<MSG> QueuedMessages();
// Serves this thread's queue until it is empty.
void DispatchAll();

// Every client callback, recorded.
struct CallbackLog {
  int lineErrors = 0;
  std::vector<std::pair<int32_t, std::string>> driverErrors;
  int dataFrames = 0;
};
CallbackLog& Callbacks();
ClientCallbacks RecordingCallbacks();

class SerialRig : public ::testing::Test {
 protected:
  SerialRig();
  ~SerialRig() override;

  DriverContext& ctx() { return *fixture_.ctx; }
  testing::TestPlatform& platform() { return fixture_.platform; }
  const std::vector<test::Box>& boxes() const { return fixture_.boxes.boxes(); }
  // Opens COM1 (wired to `line`) for `window`.
  int32_t Open() { return OpenCOM(ctx(), window); }

  ScriptedLine line;  // outlives the fixture's platform use
  test::DriverFixture fixture_;
  HWND window = nullptr;
};

}  // namespace zeva::serial_test
