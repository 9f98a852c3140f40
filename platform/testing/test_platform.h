// The deterministic test platform: a virtual clock and in-process serial
// ports wired to simulated lines. When the driver would block (waiting for a
// message or a tick), the platform advances virtual time to the next line
// event or the deadline and delivers bytes exactly as the serial event thread
// would: it calls the driver's comm event handler, which posts the data-ready
// event to the client window. A five-attempt retry with its growing pauses
// runs in microseconds of real time, and its timing is exact in virtual time.
//
// Everything runs in the calling (client) thread; no real thread is started.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zeva::testing {

// What the test platform needs of a simulated line (the bus simulator
// implements it). Time is virtual, in microseconds since the platform's start.
class VirtualLine {
 public:
  virtual ~VirtualLine() = default;
  // The port was opened (or closed) with these settings.
  virtual void HostOpened(const platform::SerialConfig& config) { (void)config; }
  virtual void HostClosed() {}
  // Bytes the host wrote at virtual time `nowUs`.
  virtual void HostWrite(const uint8_t* bytes, size_t n, uint64_t nowUs) = 0;
  // The earliest virtual time at which the line has work to do (a byte for the
  // host or an internal event); nullopt when idle.
  virtual std::optional<uint64_t> NextEventUs() = 0;
  // Runs the line up to `nowUs`; appends the bytes that reached the host by
  // then to `toHost`. `lineError` is set when a line error (framing, parity,
  // overrun) was seen; `hungUp` when the line disappeared.
  virtual void AdvanceTo(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* lineError,
                         bool* hungUp) = 0;
};

// Where the test platform's message boxes go: the hook answers for the
// user. Without a hook, on POSIX a box goes on to the window system's own
// box hook (MessageBoxA); elsewhere it is written to standard error and
// answered IDOK, so no test ever waits for a modal window. Returns the
// previous hook.
using BoxHook = int (*)(const char* text, const char* caption, unsigned type);
BoxHook SetBoxHook(BoxHook hook);

class TestPlatform : public platform::Platform {
 public:
  // startTick: the tick count at virtual time 0 (start near 2^32 to test the wrap).
  explicit TestPlatform(uint32_t startTick = 1000);
  ~TestPlatform() override;

  // --- virtual time -------------------------------------------------------
  uint64_t NowUs() const { return nowUs_; }
  // Advances virtual time, running lines and delivering their bytes.
  // Messages that deliveries queue on the way are served before time moves
  // on; those queued when the target time is reached stay queued. Inside a
  // reader's watch this is a message loop of the client's own: the reader's
  // lease of the line ends.
  void AdvanceUs(uint64_t us);
  void AdvanceMs(uint64_t ms) { AdvanceUs(ms * 1000); }
  // Runs until virtual time `us` (no-op when already past).
  void RunUntilUs(uint64_t us);
  // Called by WaitForMessageOrTick, and by a port's WaitAsReader, each time
  // it advances (tests observe waits).
  std::function<void(uint64_t fromUs, uint64_t toUs)> onAdvance;

  // --- lines and ports ----------------------------------------------------
  // COM`port` is wired to `line` (not owned); without a line the open fails
  // as for a missing device.
  void AttachLine(int port, VirtualLine* line);
  void DetachLine(int port);
  // Bytes queued on the host side of COM`port`, not yet read.
  size_t PendingHostBytes(int port) const;
  // Since when COM`port` has held bytes nobody read; nullopt when it holds none.
  std::optional<uint64_t> UnreadSinceUs(int port) const;

  // --- injectable behaviour ----------------------------------------------
  std::function<int()> rand;  // default: a fixed sequence with bit 4 clear
  bool failEventThread = false;
  bool failConfig = false;  // the next opens fail configuring the line
  std::string lastError = "The system cannot find the file specified.";
  std::map<std::string, std::string> versionStrings;
  // Writes take the wire time of their bytes when set (bytes per ms).
  std::function<platform::SerialStatus(const uint8_t*, int32_t)> writeOverride;

  // --- Platform -----------------------------------------------------------
  uint32_t TickCount() override;
  void WaitForMessageOrTick(uint32_t tick) override;
  int Rand() override;
  std::unique_ptr<platform::SerialPort> OpenSerial(int portNumber, const platform::SerialConfig& config,
                                                   platform::SerialStatus* status) override;
  std::unique_ptr<platform::EventThread> StartEventThread(platform::SerialPort& port,
                                                          std::function<void()> body,
                                                          std::function<void(uint32_t)> handler) override;
  platform::Registry& registry() override;
  bool IsElevated() override { return elevated; }
  std::string LastErrorText() override { return lastError; }
  std::string ProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                            std::string_view file, size_t size) override;
  std::string VersionString(std::string_view name) override;
  int ShowBox(const char* text, const char* caption, unsigned type) override;

  bool elevated = true;
  // Profile file contents by file name: section -> key -> value.
  std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> profiles;

  class Port;  // the in-process serial port

 private:
  friend class Port;
  struct Wire {
    VirtualLine* line = nullptr;
    Port* open = nullptr;
  };
  void Pump(uint64_t untilUs, Port* reader = nullptr);
  // A message loop of the client's own (RunUntilUs): the open ports'
  // reader leases end, as a loop that blocks ends them on POSIX.
  void ClientLoops();
  void DeliverFromLines(uint64_t nowUs);
  bool QueueHasMessage() const;

  uint32_t startTick_;
  uint64_t nowUs_ = 0;
  std::map<int, Wire> wires_;
  std::unique_ptr<platform::Registry> registry_;
  uint32_t randState_ = 1;
};

}  // namespace zeva::testing
