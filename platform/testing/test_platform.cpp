#include "platform/testing/test_platform.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "platform/reader_lease.h"

namespace zeva::testing {

using platform::SerialStatus;
using Code = platform::SerialStatus::Code;
using platform::RegStatus;
using platform::RegType;

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// An in-memory registry: key path (lower case) -> value name (lower case) -> value.
class MemoryRegistry : public platform::Registry {
 public:
  bool OpenKey(std::string_view path) override { return keys_.count(Lower(path)) != 0; }

  RegStatus QueryValue(std::string_view path, std::string_view name, size_t capacity, RegType* type,
                       std::vector<uint8_t>* data) override {
    auto key = keys_.find(Lower(path));
    if (key == keys_.end()) return RegStatus::kNotFound;
    auto value = key->second.find(Lower(name));
    if (value == key->second.end()) return RegStatus::kNotFound;
    *type = value->second.first;
    if (value->second.second.size() > capacity) return RegStatus::kMoreData;
    *data = value->second.second;
    return RegStatus::kOk;
  }

  RegStatus CreateKey(std::string_view path) override {
    keys_[Lower(path)];
    return RegStatus::kOk;
  }

  RegStatus SetValue(std::string_view path, std::string_view name, RegType type, const uint8_t* data,
                     size_t size) override {
    auto key = keys_.find(Lower(path));
    if (key == keys_.end()) return RegStatus::kNotFound;
    key->second[Lower(name)] = {type, std::vector<uint8_t>(data, data + size)};
    return RegStatus::kOk;
  }

 private:
  std::map<std::string, std::map<std::string, std::pair<RegType, std::vector<uint8_t>>>> keys_;
};

class FakeEventThread : public platform::EventThread {
 public:
  explicit FakeEventThread(std::function<void()> onJoin) : onJoin_(std::move(onJoin)) {}
  ~FakeEventThread() override { Join(); }
  void Join() override {
    if (onJoin_) std::exchange(onJoin_, nullptr)();
  }

 private:
  std::function<void()> onJoin_;
};

}  // namespace

// The host side of a simulated line: what the driver's serial port sees.
// It does not hold data events back for read-ahead (ExpectBytes keeps its
// default): a delivery is reported at its virtual moment unless the reader
// has not looked since the last report, as the real ports do; unread bytes
// are reported again after kDataEventRepeatMs, or at the next step after
// RenewDataEvent. Read-ahead
// asks only for bytes without which the parser decides nothing, so holding
// would change how many data events carry the bytes, never when a frame is
// decided; the suites keep exercising the receive path at its finest
// grain, and the link tests check that bound over every split of a stream.
//
// Who is told is the real ports' rule (platform::ReaderLease): while the
// reader waits in the driver inside its watch (WaitAsReader) it has the
// line, and the events come back from its wait for it to hand to the event
// handler; after its wait it keeps the line for the lease, during which the
// event thread stands aside and then looks again; otherwise the event
// thread calls the handler. A wait of the client's own inside the watch,
// RunUntilUs (it serves the queue, as a message loop does), ends the lease
// at once, as the POSIX port's block hook does; WaitForMessageOrTick is the
// platform's plain wait and does not.
class TestPlatform::Port : public platform::SerialPort, private platform::LeaseHost {
 public:
  Port(TestPlatform& owner, int number) : owner_(owner), number_(number) {}
  ~Port() override { Detach(); }

  void BeginReaderWatch() override { lease_.Begin(); }
  void EndReaderWatch() override { lease_.End(); }
  ReaderWait WaitAsReader(uint32_t tick) override {
    if (hungUp_ || !lease_.MayWait()) return {};
    ReaderWait result;
    result.watched = true;
    const auto targetUs = static_cast<uint64_t>(
        platform::TickReachedUs(static_cast<int64_t>(owner_.nowUs_), owner_.TickCount(), tick));
    if (targetUs <= owner_.nowUs_ || owner_.QueueHasMessage()) return result;
    const uint64_t from = owner_.nowUs_;
    lease_.WaitBegins(static_cast<int64_t>(targetUs));
    readerWaiting_ = true;
    owner_.Pump(targetUs, this);
    readerWaiting_ = false;
    lease_.WaitEnds();
    result.events = std::exchange(readerEvents_, 0);
    // The event thread finds out for itself and ends; the reader waits as
    // it did before it watched.
    if (hungUp_) lease_.LineGone();
    if (owner_.onAdvance) owner_.onAdvance(from, owner_.nowUs_);
    return result;
  }
  // The reader's wait ends with events for it, or a line gone.
  bool ReaderWaitEnds() const { return readerEvents_ != 0 || hungUp_; }
  // A wait of the client's own inside the watch: the reader's lease ends.
  void ClientLoops() {
    if (lease_.Watching()) lease_.LoopsElsewhere();
  }

  SerialStatus SetEventMask(uint32_t mask) override {
    if (hungUp_) return SerialStatus::Failed();
    eventMask_ = mask;
    return SerialStatus::Ok();
  }
  // The deterministic platform never runs the event thread's body.
  SerialStatus WaitEvent(uint32_t* mask) override {
    *mask = 0;
    return SerialStatus::Failed();
  }
  int32_t QueuedBytes() override {
    if (rx_.empty()) reported_ = false;
    return static_cast<int32_t>(rx_.size());
  }
  SerialStatus Read(uint8_t* buffer, int32_t n) override {
    if (hungUp_) return SerialStatus::Failed();
    // Bytes left behind are news at the next step.
    reported_ = false;
    const auto take = std::min<size_t>(rx_.size(), static_cast<size_t>(std::max(n, 0)));
    std::copy_n(rx_.begin(), take, buffer);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take));
    return SerialStatus::Ok(static_cast<int32_t>(take));
  }
  SerialStatus Write(const uint8_t* buffer, int32_t n) override {
    if (hungUp_ || n < 0) return SerialStatus::Failed();
    if (owner_.writeOverride) return owner_.writeOverride(buffer, n);
    if (VirtualLine* line = Line()) line->HostWrite(buffer, static_cast<size_t>(n), owner_.nowUs_);
    return SerialStatus::Ok(n);
  }
  void RenewDataEvent() override { reported_ = false; }
  void Purge() override {
    rx_.clear();
    reported_ = false;
  }
  SerialStatus Close() override {
    lease_.Abandon();
    Detach();
    return SerialStatus::Ok();
  }

  // Bytes (and line errors) reaching the host side at the current time.
  void Receive(const std::vector<uint8_t>& bytes, bool lineError, bool hungUp) {
    if (hungUp_) return;
    if (rx_.empty()) unreadSinceUs_ = owner_.nowUs_;
    rx_.insert(rx_.end(), bytes.begin(), bytes.end());
    if (hungUp) {
      hungUp_ = true;
      handler_ = nullptr;  // the event thread's wait fails and it ends
      return;
    }
    // The event thread stands aside for the reader's lease: it looks again
    // (ReportIfDue) when the lease runs out or is ended.
    if (WatcherNow() == Watcher::kAside) {
      errorPending_ = errorPending_ || lineError;
      return;
    }
    uint32_t mask = 0;
    if (!bytes.empty() && ReportDue(owner_.nowUs_)) mask |= platform::kEvRxChar;
    if (lineError) mask |= platform::kEvErr;
    Report(mask);
  }

  // When unread bytes (or a line error) are to be reported (again);
  // nullopt: not before more come.
  std::optional<uint64_t> NextReportUs() {
    if (rx_.empty() && !errorPending_) return std::nullopt;
    if (WatcherNow() == Watcher::kAside) {
      const auto now = static_cast<int64_t>(owner_.nowUs_);
      return static_cast<uint64_t>(now + lease_.StandAside(now));
    }
    if (!ReaderWaits() && (!handler_ || (eventMask_ & platform::kEvRxChar) == 0)) return std::nullopt;
    if (errorPending_) return owner_.nowUs_;
    return reported_ ? reportedAtUs_ + kReportAgainUs : owner_.nowUs_;
  }
  void ReportIfDue(uint64_t nowUs) {
    const auto due = NextReportUs();
    if (!due || *due > nowUs) return;
    uint32_t mask = 0;
    if (!rx_.empty() && ReportDue(nowUs)) mask |= platform::kEvRxChar;
    if (std::exchange(errorPending_, false)) mask |= platform::kEvErr;
    if (mask != 0) Report(mask);
  }

  void SetHandler(std::function<void(uint32_t)> handler) { handler_ = std::move(handler); }
  size_t pending() const { return rx_.size(); }
  std::optional<uint64_t> unreadSinceUs() const {
    return rx_.empty() ? std::nullopt : std::optional<uint64_t>(unreadSinceUs_);
  }

 private:
  static constexpr uint64_t kReportAgainUs = uint64_t{platform::kDataEventRepeatMs} * 1000;

  // Marks the unread bytes reported, unless a fresh report stands.
  bool ReportDue(uint64_t nowUs) {
    if (reported_ && nowUs < reportedAtUs_ + kReportAgainUs) return false;
    reported_ = true;
    reportedAtUs_ = nowUs;
    return true;
  }
  // Who watches the line now: the reader in its wait, nobody (the event
  // thread stands aside while the reader keeps its lease between waits),
  // or the event thread.
  enum class Watcher { kReader, kAside, kEventThread };
  Watcher WatcherNow() const {
    if (!lease_.ReaderHasLine(static_cast<int64_t>(owner_.nowUs_))) return Watcher::kEventThread;
    return readerWaiting_ ? Watcher::kReader : Watcher::kAside;
  }
  bool ReaderWaits() const { return WatcherNow() == Watcher::kReader; }
  // The reader in its wait is told for itself (whatever the event thread's
  // mask, which the thread may not have set yet); else the event thread.
  void Report(uint32_t mask) {
    if (ReaderWaits()) {
      readerEvents_ |= mask & (platform::kEvRxChar | platform::kEvErr);
      return;
    }
    mask &= eventMask_;
    if (mask != 0 && handler_) handler_(mask);
  }
  // platform::LeaseHost: the event thread needs no waking, as it looks at
  // every step, and a single-threaded reader has nothing to set up.
  int64_t LeaseNowUs() override { return static_cast<int64_t>(owner_.nowUs_); }
  void WakeEventThread() override {}
  void EnterReaderThread() override {}
  void LeaveReaderThread() override {}
  VirtualLine* Line() {
    auto it = owner_.wires_.find(number_);
    return it == owner_.wires_.end() ? nullptr : it->second.line;
  }
  void Detach() {
    handler_ = nullptr;
    auto it = owner_.wires_.find(number_);
    if (it != owner_.wires_.end() && it->second.open == this) {
      it->second.open = nullptr;
      if (it->second.line) it->second.line->HostClosed();
    }
  }

  TestPlatform& owner_;
  int number_;
  std::deque<uint8_t> rx_;
  bool reported_ = false;  // the reader has been told and has not looked since
  uint64_t reportedAtUs_ = 0;
  uint64_t unreadSinceUs_ = 0;  // when rx_ last turned non-empty
  uint32_t eventMask_ = platform::kEvRxChar;
  bool hungUp_ = false;
  std::function<void(uint32_t)> handler_;
  platform::ReaderLease lease_{*this};
  bool readerWaiting_ = false;
  uint32_t readerEvents_ = 0;  // due to the waiting reader
  bool errorPending_ = false;  // a line error came while the event thread stood aside
};

TestPlatform::TestPlatform(uint32_t startTick)
    : startTick_(startTick), registry_(std::make_unique<MemoryRegistry>()) {
  versionStrings = {{"FileVersion", "1, 2, 0, 19"},
                    {"ProductVersion", "1, 0, 0, 1"},
                    {"FileDescription", "ZEVA serial driver for RS485 adapters"},
                    {"ProductName", "ZEVA serial driver"}};
}

TestPlatform::~TestPlatform() {
  for (auto& [number, wire] : wires_) {
    (void)number;
    wire.open = nullptr;
  }
}

uint32_t TestPlatform::TickCount() { return startTick_ + static_cast<uint32_t>(nowUs_ / 1000); }

int TestPlatform::Rand() {
  if (rand) return rand();
  // A fixed sequence with bit 4 clear, so retry pauses have no random part.
  randState_ = randState_ * 1103515245u + 12345u;
  return static_cast<int>((randState_ >> 16) & 0x7FEF);
}

bool TestPlatform::QueueHasMessage() const {
  MSG msg;
  return PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

void TestPlatform::ClientLoops() {
  for (auto& [number, wire] : wires_) {
    (void)number;
    if (wire.open) wire.open->ClientLoops();
  }
}

void TestPlatform::WaitForMessageOrTick(uint32_t tick) {
  if (QueueHasMessage()) return;
  const auto targetUs =
      static_cast<uint64_t>(platform::TickReachedUs(static_cast<int64_t>(nowUs_), TickCount(), tick));
  if (targetUs <= nowUs_) return;
  const uint64_t from = nowUs_;
  Pump(targetUs);
  if (onAdvance) onAdvance(from, nowUs_);
}

// Advances to `untilUs`, stopping early as soon as a delivery put a message
// into the client thread's queue, or (for a reader's wait) brought events
// for `reader`.
void TestPlatform::Pump(uint64_t untilUs, Port* reader) {
  while (nowUs_ < untilUs) {
    uint64_t next = untilUs;
    for (auto& [number, wire] : wires_) {
      (void)number;
      if (wire.line) {
        if (auto t = wire.line->NextEventUs(); t && *t < next) next = std::max(*t, nowUs_ + 1);
      }
      if (wire.open) {
        if (auto t = wire.open->NextReportUs(); t && *t < next) next = std::max(*t, nowUs_ + 1);
      }
    }
    nowUs_ = next;
    DeliverFromLines(nowUs_);
    if (QueueHasMessage() || (reader != nullptr && reader->ReaderWaitEnds())) return;
  }
}

void TestPlatform::AdvanceUs(uint64_t us) { RunUntilUs(nowUs_ + us); }

void TestPlatform::RunUntilUs(uint64_t us) {
  ClientLoops();
  while (nowUs_ < us) {
    Pump(us);
    // Messages queued on the way are served before time moves on; those
    // queued at the end are left for the test to serve (or to look at).
    if (QueueHasMessage() && nowUs_ < us) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
  }
}

void TestPlatform::DeliverFromLines(uint64_t nowUs) {
  for (auto& [number, wire] : wires_) {
    (void)number;
    if (wire.line) {
      std::vector<uint8_t> bytes;
      bool lineError = false;
      bool hungUp = false;
      wire.line->AdvanceTo(nowUs, &bytes, &lineError, &hungUp);
      if (wire.open && (!bytes.empty() || lineError || hungUp)) wire.open->Receive(bytes, lineError, hungUp);
    }
    if (wire.open) wire.open->ReportIfDue(nowUs);
  }
}

void TestPlatform::AttachLine(int port, VirtualLine* line) { wires_[port].line = line; }

void TestPlatform::DetachLine(int port) {
  auto it = wires_.find(port);
  if (it == wires_.end()) return;
  it->second.line = nullptr;
}

size_t TestPlatform::PendingHostBytes(int port) const {
  auto it = wires_.find(port);
  return it == wires_.end() || !it->second.open ? 0 : it->second.open->pending();
}

std::optional<uint64_t> TestPlatform::UnreadSinceUs(int port) const {
  auto it = wires_.find(port);
  return it == wires_.end() || !it->second.open ? std::nullopt : it->second.open->unreadSinceUs();
}

std::unique_ptr<platform::SerialPort> TestPlatform::OpenSerial(int portNumber, const platform::SerialConfig& config,
                                                               SerialStatus* status) {
  auto it = wires_.find(portNumber);
  if (it == wires_.end() || !it->second.line || it->second.open) {
    lastError = it != wires_.end() && it->second.open ? "Access is denied." : "The system cannot find the file specified.";
    *status = SerialStatus::Of(Code::kCannotOpen);
    return nullptr;
  }
  if (failConfig) {
    *status = SerialStatus::Of(Code::kConfigFailed);
    return nullptr;
  }
  auto port = std::make_unique<Port>(*this, portNumber);
  it->second.open = port.get();
  it->second.line->HostOpened(config);
  *status = SerialStatus::Ok();
  return port;
}

std::unique_ptr<platform::EventThread> TestPlatform::StartEventThread(platform::SerialPort& port,
                                                                      std::function<void()> body,
                                                                      std::function<void(uint32_t)> handler) {
  (void)body;
  if (failEventThread) {
    lastError = "Not enough resources are available to process this command.";
    return nullptr;
  }
  auto* ours = dynamic_cast<Port*>(&port);
  if (ours == nullptr) return nullptr;
  // The thread's first act would be to ask for both kinds of event.
  ours->SetEventMask(platform::kEvRxChar | platform::kEvErr);
  ours->SetHandler(std::move(handler));
  // Joining stands for the thread's end: from then on no event is reported.
  return std::make_unique<FakeEventThread>([this, ours]() {
    for (auto& [number, wire] : wires_) {
      (void)number;
      if (wire.open == ours) ours->SetHandler(nullptr);
    }
  });
}

platform::Registry& TestPlatform::registry() { return *registry_; }

std::string TestPlatform::ProfileString(std::string_view section, std::string_view key, std::string_view fallback,
                                        std::string_view file, size_t size) {
  std::string value(fallback);
  auto f = profiles.find(std::string(file));
  if (f != profiles.end()) {
    auto s = f->second.find(std::string(section));
    if (s != f->second.end()) {
      auto k = s->second.find(std::string(key));
      if (k != s->second.end()) value = k->second;
    }
  }
  if (size == 0) return {};
  return value.substr(0, size - 1);
}

namespace {
BoxHook g_boxHook = nullptr;
}  // namespace

BoxHook SetBoxHook(BoxHook hook) { return std::exchange(g_boxHook, hook); }

int TestPlatform::ShowBox(const char* text, const char* caption, unsigned type) {
  if (g_boxHook != nullptr) return g_boxHook(text, caption, type);
#if defined(_WIN32)
  std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  return IDOK;
#else
  return MessageBoxA(nullptr, text, caption, type);
#endif
}

std::string TestPlatform::VersionString(std::string_view name) {
  auto it = versionStrings.find(std::string(name));
  return it == versionStrings.end() ? std::string() : it->second;
}

}  // namespace zeva::testing
