// The termios port on a pseudo-terminal that the test drives from the other
// end: line settings, exclusive opening, events, reads and writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "platform/posix/clock.h"
#include "platform/posix/last_error.h"
#include "platform/posix/serial_line.h"
#include "platform/posix/serial_port.h"
#include "platform/posix/window_system.h"
#include "platform/temp_prefix.h"
#include "zeva232_posix.h"

namespace zeva::posix {
namespace {

using namespace std::chrono_literals;
using platform::SerialStatus;
using Code = platform::SerialStatus::Code;

constexpr uint32_t kEvents = platform::kEvRxChar | platform::kEvErr;

// A pseudo-terminal: the test holds the master, the port opens the slave.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return !slave_.empty(); }
  const std::string& slave() const { return slave_; }
  void Send(const std::string& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  // What the port wrote, waiting at most `limit` for `n` bytes.
  std::string Receive(size_t n, std::chrono::milliseconds limit = 2000ms) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
      char buffer[256];
      const ssize_t r = read(master_, buffer, sizeof buffer);
      if (r > 0) {
        got.append(buffer, static_cast<size_t>(r));
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
    return got;
  }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

std::unique_ptr<platform::SerialPort> Open(const std::string& path, int32_t bps = 19200, uint8_t byteSize = 8,
                                           uint32_t perByteMs = 1, SerialStatus* status = nullptr) {
  platform::SerialConfig config;
  config.bps = bps;
  config.byteSize = byteSize;
  config.writeTimeoutPerByteMs = perByteMs;
  SerialStatus ignored;
  return OpenSerialDevice(path, config, status != nullptr ? status : &ignored);
}

// The bytes a read took, or -1 when it failed.
int32_t Got(const SerialStatus& read) { return read.ok() ? read.count : -1; }

// The next event with a non-empty mask (or the end of the wait), on another
// thread; `ended` false when nothing came within `limit`.
struct Event {
  bool ended = false;
  bool ok = false;
  uint32_t mask = 0;
};

Event NextEvent(platform::SerialPort& port, std::chrono::milliseconds limit) {
  std::atomic<bool> stop{false};
  auto waiting = std::async(std::launch::async, [&port, &stop] {
    for (;;) {
      uint32_t mask = 0;
      const bool ok = port.WaitEvent(&mask).ok();
      if (!ok || mask != 0 || stop) return Event{true, ok, mask};
    }
  });
  if (waiting.wait_for(limit) == std::future_status::ready) return waiting.get();
  stop = true;
  port.SetEventMask(0);
  waiting.get();
  port.SetEventMask(kEvents);
  return Event{};
}

// A second descriptor of the slave, opened before the port takes it.
int Probe(const Pty& pty) { return open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }

struct RateCase {
  int32_t bps;
  uint8_t byteSize;
  speed_t speed;  // B0: no standard constant
};

TEST(TermiosPort, LineSettings) {
  const RateCase cases[] = {
      {9600, 8, B9600}, {19200, 8, B19200}, {38400, 7, B38400}, {115200, 8, B115200}, {250000, 8, B0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bps);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const int probe = Probe(pty);
    ASSERT_GE(probe, 0);
    SerialStatus status;
    auto port = Open(pty.slave(), c.bps, c.byteSize, 1, &status);
    ASSERT_TRUE(status.ok());
    ASSERT_NE(port, nullptr);

    termios tio{};
    ASSERT_EQ(tcgetattr(probe, &tio), 0);
    if (c.speed != B0) {
      EXPECT_EQ(cfgetospeed(&tio), c.speed);
    }
    EXPECT_EQ(LineRate(probe), c.bps);
    // A pseudo-terminal keeps eight bits without parity (see CharacterFormat).
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    close(probe);
  }
}

TEST(TermiosPort, CharacterFormat) {
  struct Case {
    uint8_t byteSize;
    bool ok;
    tcflag_t size;
  };
  const Case cases[] = {{8, true, CS8}, {7, true, CS7}, {5, true, CS5}, {9, false, 0}, {0, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.byteSize));
    termios tio{};
    // Whatever the line had before: odd parity, two stop bits, flow control.
    tio.c_cflag = CS6 | PARODD | CSTOPB | CRTSCTS | HUPCL;
    tio.c_iflag = IXON | IXOFF | INPCK | ICRNL;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_oflag = OPOST;
    ASSERT_EQ(MakeRawLine(&tio, c.byteSize), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
}

TEST(TermiosPort, RefusedOpens) {
  struct Case {
    const char* name;
    std::string path;
    int32_t bps;
    uint8_t byteSize;
    Code status;
    const char* error;  // the recorded system text, for kCannotOpen
  };
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const Case cases[] = {
      {"missing_device", "/nonexistent/ttyZEVA", 19200, 8, Code::kCannotOpen, "No such file or directory"},
      {"not_a_terminal", "/dev/null", 19200, 8, Code::kConfigFailed, nullptr},
      {"rate_zero", pty.slave(), 0, 8, Code::kConfigFailed, nullptr},
      {"rate_negative", pty.slave(), -19200, 8, Code::kConfigFailed, nullptr},
      {"nine_data_bits", pty.slave(), 19200, 9, Code::kConfigFailed, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SerialStatus status = SerialStatus::Ok();
    EXPECT_EQ(Open(c.path, c.bps, c.byteSize, 1, &status), nullptr);
    EXPECT_EQ(status.code, c.status);
    if (c.error != nullptr) {
      EXPECT_EQ(LastErrorText(), c.error);
    }
  }
  // A refused configuration leaves the device free.
  EXPECT_NE(Open(pty.slave()), nullptr);
}

TEST(TermiosPort, OneOwnerAtATime) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto first = Open(pty.slave());
  ASSERT_NE(first, nullptr);
  SerialStatus status = SerialStatus::Ok();
  EXPECT_EQ(Open(pty.slave(), 19200, 8, 1, &status), nullptr);
  EXPECT_EQ(status.code, Code::kCannotOpen);
  EXPECT_EQ(LastErrorText(), "Device or resource busy");

  EXPECT_TRUE(first->Close().ok());
  EXPECT_NE(Open(pty.slave()), nullptr);
}

TEST(TermiosPort, ComPortsResolveThroughThePrefix) {
  testing::TempPrefix prefix;
  EXPECT_EQ(ComDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(ComDevicePath(12), "/dev/ttyS11");
  ASSERT_EQ(mkdir(prefix.Path("dosdevices").c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/pts/999", prefix.Path("dosdevices/com12").c_str()), 0);
  EXPECT_EQ(ComDevicePath(12), prefix.Path("dosdevices/com12"));
  EXPECT_EQ(ComDevicePath(1), "/dev/ttyS0");
}

TEST(TermiosPort, ReadAndWrite) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = Open(pty.slave());
  ASSERT_NE(port, nullptr);

  const uint8_t frame[4] = {0xFE, 0x00, 0x7F, 0x80};
  const SerialStatus written = port->Write(frame, 4);
  EXPECT_EQ(written.code, Code::kOk);
  EXPECT_EQ(written.count, 4);
  EXPECT_EQ(pty.Receive(4), std::string("\xFE\x00\x7F\x80", 4));

  uint8_t buffer[8];
  EXPECT_EQ(port->QueuedBytes(), 0);
  EXPECT_EQ(Got(port->Read(buffer, 8)), 0);  // nothing there: no waiting
  pty.Send("\x01\x02\x03");
  ASSERT_TRUE(port->SetEventMask(kEvents).ok());
  const Event event = NextEvent(*port, 2000ms);
  ASSERT_TRUE(event.ended);
  EXPECT_EQ(event.mask, platform::kEvRxChar);
  EXPECT_EQ(port->QueuedBytes(), 3);
  EXPECT_EQ(Got(port->Read(buffer, 2)), 2);
  EXPECT_EQ(Got(port->Read(buffer + 2, 8)), 1);
  EXPECT_EQ(std::memcmp(buffer, "\x01\x02\x03", 3), 0);
}

TEST(TermiosPort, DataEventOncePerLook) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = Open(pty.slave());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetEventMask(kEvents).ok());

  pty.Send("abcd");
  EXPECT_EQ(NextEvent(*port, 2000ms).mask, platform::kEvRxChar);
  // Unread bytes are no news.
  EXPECT_FALSE(NextEvent(*port, 100ms).ended);
  // Fault: a report that missed the reader was never made again, and the
  // port fell silent until closed. The client window changed: at once.
  port->RenewDataEvent();
  EXPECT_EQ(NextEvent(*port, 100ms).mask, platform::kEvRxChar);
  // Left unread: again once the report is old.
  EXPECT_EQ(NextEvent(*port, std::chrono::milliseconds(platform::kDataEventRepeatMs + 500)).mask,
            platform::kEvRxChar);
  // Taking part of them leaves the rest to be announced again.
  uint8_t buffer[8];
  ASSERT_EQ(Got(port->Read(buffer, 2)), 2);
  EXPECT_EQ(NextEvent(*port, 2000ms).mask, platform::kEvRxChar);
  ASSERT_EQ(Got(port->Read(buffer, 8)), 2);
  pty.Send("e");
  EXPECT_EQ(NextEvent(*port, 2000ms).mask, platform::kEvRxChar);
}

// Read-ahead: the reader says how many bytes it needs, and the port holds the
// data event back until they are in, or until the line has stopped
// delivering them. At 300 bit/s a character takes 36.7 ms, so the second
// piece, sent 5 ms after the first, is well inside the hold.
TEST(TermiosPort, ReadAheadHoldsTheDataEvent) {
  struct Case {
    const char* fault;
    int32_t expect;      // told to the port before the bytes come
    std::string first;   // sent at once
    std::string second;  // sent 5 ms later, when not empty
    int32_t lowerTo;     // told to the port 10 ms later, when not 0
    int32_t queuedAtEvent;
  };
  const Case cases[] = {
      {"woken for part of a frame: the event waits for all five bytes", 5, "ab", "cde", 0, 5},
      {"a cut frame is lost: once the line is quiet the event goes with what came", 5, "ab", "", 0, 2},
      {"the reader needs fewer bytes now: a long hold must not run on", 200, "abc", "", 3, 3},
      {"one byte expected: every arrival is news", 1, "a", "", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto port = Open(pty.slave(), 300);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->SetEventMask(kEvents).ok());
    port->ExpectBytes(c.expect);
    pty.Send(c.first);
    std::thread later([&] {
      std::this_thread::sleep_for(5ms);
      if (!c.second.empty()) pty.Send(c.second);
      std::this_thread::sleep_for(5ms);
      if (c.lowerTo != 0) port->ExpectBytes(c.lowerTo);
    });
    const Event event = NextEvent(*port, 1500ms);
    later.join();
    ASSERT_TRUE(event.ended);
    EXPECT_EQ(event.mask, platform::kEvRxChar);
    EXPECT_EQ(port->QueuedBytes(), c.queuedAtEvent);
    // The terminal's minimum does not hold back a read of what is there.
    uint8_t buffer[8];
    EXPECT_EQ(Got(port->Read(buffer, 8)), c.queuedAtEvent);
  }
}

// The reader's own watch: while the thread that reads waits in the driver,
// it watches the line itself and the event thread stands aside; the line
// goes back to the event thread when the watch ends, or when the reader
// stays away from its wait for longer than its lease (20 ms).
TEST(TermiosPort, ReaderWatchesTheLineWhileItWaits) {
  enum class Reader { kWaits, kWaitsAndAMessageComes, kEndedItsWatch, kEndedWithBytesUnread, kHeldUpElsewhere, kInItsOwnLoop };
  struct Case {
    const char* fault;
    Reader reader;
    uint32_t readerEvents;  // what the reader's wait reports
    bool eventThreadReports;
  };
  const Case cases[] = {
      {"bytes during the reader's wait need the event thread's hop, or come twice", Reader::kWaits,
       platform::kEvRxChar, false},
      {"a message for the waiting reader goes unserved until the line speaks", Reader::kWaitsAndAMessageComes, 0,
       false},
      {"the watch is over but nobody watches the line", Reader::kEndedItsWatch, 0, true},
      {"bytes that came during the watch, unread at its end, wait for more bytes before anyone reports them",
       Reader::kEndedWithBytesUnread, 0, true},
      {"a reader held up outside its wait leaves the line unwatched", Reader::kHeldUpElsewhere, 0, true},
      {"a client's own message loop, run after data ended a long wait, gets no data events until that wait would "
       "have ended",
       Reader::kInItsOwnLoop, platform::kEvRxChar, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto port = Open(pty.slave(), 115200);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->SetEventMask(kEvents).ok());
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> reported{0};
    std::thread eventThread([&] {
      uint32_t mask = 0;
      while (!stop && port->WaitEvent(&mask).ok()) reported |= mask;
    });
    // The event thread sleeps in its wait when the call begins, as it does
    // between a client's calls.
    std::this_thread::sleep_for(20ms);
    port->BeginReaderWatch();
    platform::SerialPort::ReaderWait wait;
    const auto waitFor = [&](uint32_t ms) { wait = port->WaitAsReader(MonotonicTickCount() + ms); };
    switch (c.reader) {
      case Reader::kWaits: {
        std::thread later([&] {
          std::this_thread::sleep_for(20ms);
          pty.Send("abc");
        });
        waitFor(2000);
        later.join();
        break;
      }
      case Reader::kWaitsAndAMessageComes: {
        // Posted from another thread, as the client's other threads do.
        const HWND window = CreateMessageWindow(DefWindowProcA);
        ASSERT_NE(window, nullptr);
        std::thread later([&] {
          std::this_thread::sleep_for(20ms);
          PostMessageA(window, 0x0400, 0, 0);
        });
        waitFor(2000);
        later.join();
        MSG msg;
        EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        DestroyWindow(window);
        break;
      }
      case Reader::kEndedItsWatch:
        waitFor(10);
        port->EndReaderWatch();
        pty.Send("abc");
        break;
      case Reader::kEndedWithBytesUnread:
        waitFor(10);
        pty.Send("abc");
        std::this_thread::sleep_for(5ms);
        port->EndReaderWatch();
        break;
      case Reader::kHeldUpElsewhere:
        waitFor(10);
        pty.Send("abc");
        break;
      case Reader::kInItsOwnLoop: {
        // Bytes end a two-second wait early; the reader takes them, and its
        // client then runs a loop of its own until the event thread has
        // reported the next bytes (or half a second has passed).
        const HWND window = CreateMessageWindow(DefWindowProcA);
        ASSERT_NE(window, nullptr);
        std::thread poster([&] {
          std::this_thread::sleep_for(20ms);
          pty.Send("abc");
          std::this_thread::sleep_for(40ms);
          pty.Send("de");
          for (int i = 0; i < 500 && reported == 0; ++i) std::this_thread::sleep_for(1ms);
          PostMessageA(window, 0x0400, 0, 0);
        });
        waitFor(2000);
        uint8_t taken[8];
        EXPECT_EQ(Got(port->Read(taken, static_cast<int32_t>(sizeof taken))), 3);
        MSG msg;
        EXPECT_EQ(GetMessageA(&msg, window, 0, 0), 1);
        poster.join();
        DestroyWindow(window);
        break;
      }
    }
    EXPECT_TRUE(wait.watched);
    EXPECT_EQ(wait.events, c.readerEvents);
    // The event thread's report, if any, comes within the lease and a hold.
    for (int i = 0; i < 200 && reported == 0; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(reported != 0, c.eventThreadReports);
    const int32_t queued = c.reader == Reader::kWaitsAndAMessageComes ? 0 : c.reader == Reader::kInItsOwnLoop ? 2 : 3;
    EXPECT_EQ(port->QueuedBytes(), queued);
    if (c.reader != Reader::kEndedItsWatch && c.reader != Reader::kEndedWithBytesUnread) port->EndReaderWatch();
    stop = true;
    port->SetEventMask(0);
    eventThread.join();
  }
}

// A client that closes the port from a callback closes it inside the
// reader's watch; its thread must be left as it was before the watch (its
// own block hook back), except for the exact timer slack, which a thread
// keeps from its first watch on.
TEST(TermiosPort, ClosedInsideItsWatchLeavesTheThreadAsItWas) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = Open(pty.slave());
  ASSERT_NE(port, nullptr);
  const posixwin::BlockHook own{[](uintptr_t) {}, 7};
  const posixwin::BlockHook outside = posixwin::SetBlockHook(own);
  port->BeginReaderWatch();
  port->BeginReaderWatch();
  const posixwin::BlockHook inWatch = posixwin::SetBlockHook({});
  (void)posixwin::SetBlockHook(inWatch);
  EXPECT_NE(inWatch.arg, own.arg);
#ifdef PR_SET_TIMERSLACK
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
#endif
  EXPECT_TRUE(port->Close().ok());
  // Fault: the thread's loops still reported to the closed port's lease.
  const posixwin::BlockHook after = posixwin::SetBlockHook(outside);
  EXPECT_EQ(after.call, own.call);
  EXPECT_EQ(after.arg, own.arg);
#ifdef PR_SET_TIMERSLACK
  // Fault: the next watch pays for setting the slack again.
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
#endif
}

TEST(TermiosPort, ClearingTheMaskEndsAWait) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = Open(pty.slave());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetEventMask(kEvents).ok());
  auto waiting = std::async(std::launch::async, [&port] {
    uint32_t mask = 0;
    uint32_t last = 1;
    // The first return may be the wake-up of the mask set above.
    for (int i = 0; i < 2 && last != 0; ++i) {
      if (!port->WaitEvent(&mask).ok()) return false;
      last = mask;
    }
    return last == 0;
  });
  port->SetEventMask(0);
  ASSERT_EQ(waiting.wait_for(2000ms), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
}

TEST(TermiosPort, HangUpEndsTheWait) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = Open(pty.slave());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetEventMask(kEvents).ok());
  pty.CloseMaster();
  const Event event = NextEvent(*port, 2000ms);
  ASSERT_TRUE(event.ended);
  EXPECT_FALSE(event.ok);
  EXPECT_TRUE(port->Close().ok());
}

TEST(TermiosPort, WriteGivesUpWhenTheLineDoesNotTakeBytes) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const int filler = Probe(pty);
  ASSERT_GE(filler, 0);
  auto port = Open(pty.slave(), 9600, 8, 2);
  ASSERT_NE(port, nullptr);
  // Nobody reads the master: fill the line until it takes nothing more,
  // also after the kernel has moved what it had to the master's side.
  const std::string block(4096, 'x');
  for (int round = 0; round < 100; ++round) {
    while (write(filler, block.data(), block.size()) > 0) {
    }
    std::this_thread::sleep_for(20ms);
    if (write(filler, block.data(), 1) <= 0) break;
  }
  const uint8_t frame[11] = {0xFE};
  const SerialStatus result = port->Write(frame, 11);
  EXPECT_EQ(result.code, Code::kTimeout);
  EXPECT_LT(result.count, 11);
  close(filler);
}

}  // namespace
}  // namespace zeva::posix
