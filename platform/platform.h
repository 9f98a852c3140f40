// What the driver asks of the operating system, and nothing more.
//
// The protocol code (link/, transact/, services/) and the driver core never
// include an OS header; they reach the OS through these small interfaces.
// platform/posix/ implements them for POSIX (termios, the library's own
// window system), platform/testing/ implements them over a virtual clock and
// an in-process bus so that timing is deterministic.
//
// Windows and message queues are not behind an interface: the driver calls
// them by their Win32 names (PostMessageA, DispatchMessageA, ...), declared
// on POSIX by include/zeva232_posix.h and implemented in platform/posix/.
// Both the real and the test platform use that window system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace zeva::platform {

// ---------------------------------------------------------------------------
// Serial port
// ---------------------------------------------------------------------------

// The instant, on a microsecond clock whose whole milliseconds are the tick
// count, at which the tick count reaches `tick`: `nowUs` when it has already
// (modular comparison). `nowTick` is the tick count at `nowUs`. A wait timed
// to this instant ends when the tick count turns, not up to a millisecond
// after, as a wait of whole milliseconds from a moment inside one would.
inline int64_t TickReachedUs(int64_t nowUs, uint32_t nowTick, uint32_t tick) {
  const auto remainingMs = static_cast<int32_t>(tick - nowTick);
  if (remainingMs <= 0) return nowUs;
  return (nowUs / 1000 + remainingMs) * 1000;
}

// How long bytes may sit unread after their data event before it is
// reported again (see SerialPort::RenewDataEvent).
inline constexpr uint32_t kDataEventRepeatMs = 250;

// Comm event bits, with their Win32 values: the event handler receives them.
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvRxFlag = 0x0002;
inline constexpr uint32_t kEvErr = 0x0080;

struct SerialConfig {
  int32_t bps = 19200;         // > 0
  uint8_t byteSize = 8;        // 7 or 8; parity even, one stop bit
  int32_t rxQueue = 1024;      // input queue size hint
  int32_t txQueue = 11;        // output queue size hint
  // Write time-out in ms per byte (19200 / bps); 0 disables the time-out.
  uint32_t writeTimeoutPerByteMs = 1;
};

// What a serial port's operation came to: every SerialPort call that can
// fail answers one, and so does opening a port. `count` is what the call
// moved: the bytes read, or written (also on a time-out or a failure part
// way through).
struct SerialStatus {
  enum class Code {
    kOk,
    kCannotOpen,    // opening: the device could not be opened; the system's text applies
    kConfigFailed,  // opening: opened, but the line could not be configured; silent
    kTimeout,       // writing: the time limit ran out; `count` bytes went out
    kFailed         // anything else (port closed, line gone, refused); see each call
  };
  Code code = Code::kFailed;
  int32_t count = 0;

  bool ok() const { return code == Code::kOk; }
  static SerialStatus Ok(int32_t count = 0) { return {Code::kOk, count}; }
  static SerialStatus Failed(int32_t count = 0) { return {Code::kFailed, count}; }
  static SerialStatus Timeout(int32_t count) { return {Code::kTimeout, count}; }
  static SerialStatus Of(Code code) { return {code, 0}; }
};

// Threading contract, the same on every platform: two threads use one port
// at the same time. The event thread calls SetEventMask and WaitEvent (and,
// while no client window is set, QueuedBytes and Read); the client thread
// calls QueuedBytes, Read, Write, Purge, Close and SetEventMask(0) to stop
// the event thread. So each of these may run concurrently with a WaitEvent
// in progress, and a platform whose I/O needs per-operation state (Win32's
// OVERLAPPED records) keeps one such record per kind of operation that can
// be in progress at once: the wait, the read and the write each have their
// own. Close is called only after the event thread has ended (or was found
// gone), never while it waits.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Which events WaitEvent reports. Setting 0 makes a pending WaitEvent
  // return at once (with mask 0): the close path relies on that. kFailed
  // when the port is closed or gone.
  virtual SerialStatus SetEventMask(uint32_t mask) = 0;
  // Blocks until an event in the mask happens or the mask changes. kFailed
  // when the wait failed (port closed, line hung up); the event thread ends
  // then.
  virtual SerialStatus WaitEvent(uint32_t* mask) = 0;
  // The data event: reported once when bytes come in, and again only once
  // the reader has looked at the queue (QueuedBytes finding it empty, or a
  // Read), so that unread bytes do not post one data event after another.
  // A reported event can still miss the reader (its post failed, it went to
  // a window no longer bridged, or the window went): so unread bytes are
  // reported again after kDataEventRepeatMs, and at once after
  // RenewDataEvent. Without that, one lost event would silence the port
  // until it closes.
  // The reader may not have been told of what is queued: report it anew.
  // Called from the reader's thread when the client window changes.
  virtual void RenewDataEvent() {}
  // Bytes waiting in the input queue; clears a pending line error.
  virtual int32_t QueuedBytes() = 0;
  // Reads at most n bytes that are already queued; never waits. The count
  // read, or kFailed.
  virtual SerialStatus Read(uint8_t* buffer, int32_t n) = 0;
  // Writes n bytes within the configured time limit: kOk with the count,
  // kTimeout with the bytes that went out before the limit, or kFailed.
  virtual SerialStatus Write(const uint8_t* buffer, int32_t n) = 0;
  // Read-ahead: the reader's count of the bytes it still needs before they
  // can change anything for it (the rest of a frame in progress, an awaited
  // echo); 1 or less when any byte may matter. A port may hold the data
  // event back until that many bytes are queued, but only while the line
  // keeps delivering them: counted from the first held byte, the event goes
  // out at the latest after the wire time of the missing bytes plus about
  // one and a half character times, and past that as soon as the line has
  // been quiet for one and a half character times, so that a cut or damaged
  // frame still reaches the reader. A count lower than the one a held event
  // waits for releases it at once; an event for fewer bytes than asked for
  // is always allowed. Called from the reader's thread (after each parse);
  // it takes effect for the next event. The default ignores it and reports
  // every arrival, which costs wake-ups and nothing else. (Win32 can get the
  // same from an overlapped read of that many bytes with an interval
  // time-out of about 1.5 characters, instead of an event per character.)
  virtual void ExpectBytes(int32_t count) { (void)count; }
  // The reader's own watch over the line. The thread that blocks in the
  // driver's waits is the one that reads, so while it waits it may watch
  // the line itself: a data event then wakes one thread instead of two.
  // From BeginReaderWatch to EndReaderWatch (nested pairs count as one; all
  // on the reader's thread) the event thread stands aside while the reader
  // is in WaitAsReader or has just left it, and EndReaderWatch hands the
  // line back at once. A reader that runs a message loop of its own inside
  // the watch (a client's callback may) has the line watched for it again
  // as soon as that loop blocks; one held up otherwise, at the latest about
  // 20 ms after the deadline of the wait it left.
  struct ReaderWait {
    bool watched = false;  // false: waited for nothing, the caller waits
    uint32_t events = 0;   // comm events due, as WaitEvent reports them
  };
  virtual void BeginReaderWatch() {}
  virtual void EndReaderWatch() {}
  // Returns when a message may be waiting in the calling thread's queue,
  // when the tick count (TickCount) has reached `tick`, or with the comm
  // events that are due, which the caller hands to the event handler as the
  // event thread would have. Only inside a reader watch. A port that cannot
  // watch from the reader's thread (the default), or whose line is gone,
  // returns unwatched at once; its event thread reports as before. (Win32
  // can do the same with MsgWaitForMultipleObjects on the overlapped read's
  // event.)
  virtual ReaderWait WaitAsReader(uint32_t tick) {
    (void)tick;
    return {};
  }
  // Discards both queues.
  virtual void Purge() = 0;
  // Releases the device; kFailed when the system refused (text in
  // Platform::LastErrorText).
  virtual SerialStatus Close() = 0;
};

// The serial event thread. Ending it is the driver's business (it sets its
// stop signal and sets the port's event mask to 0); Join waits for the end
// and returns at once when the thread has already ended on its own.
class EventThread {
 public:
  virtual ~EventThread() = default;
  virtual void Join() = 0;
};

// ---------------------------------------------------------------------------
// Registry (HKEY_LOCAL_MACHINE values; the driver uses nothing else)
// ---------------------------------------------------------------------------

enum class RegType : uint32_t {
  kNone = 0,
  kSz = 1,
  kExpandSz = 2,
  kBinary = 3,
  kDword = 4,
  kDwordBigEndian = 5,
  kLink = 6,
  kMultiSz = 7,
  kQword = 11,
};

enum class RegStatus {
  kOk,
  kNotFound,  // no such key or value
  kMoreData,  // the value is larger than the capacity offered
  kError      // any other failure; text in Platform::LastErrorText
};

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyEx for querying: true when the key exists.
  virtual bool OpenKey(std::string_view path) = 0;
  // RegQueryValueEx on an existing key. `capacity` is the buffer offered; a
  // larger value answers kMoreData (type still reported).
  virtual RegStatus QueryValue(std::string_view path, std::string_view name, size_t capacity,
                               RegType* type, std::vector<uint8_t>* data) = 0;
  // RegCreateKeyEx: creates the key (and its parents) when missing.
  virtual RegStatus CreateKey(std::string_view path) = 0;
  // RegSetValueEx on an existing key; kept durably before it returns.
  virtual RegStatus SetValue(std::string_view path, std::string_view name, RegType type,
                             const uint8_t* data, size_t size) = 0;
};

// ---------------------------------------------------------------------------
// Platform
// ---------------------------------------------------------------------------

class Platform {
 public:
  virtual ~Platform() = default;

  // --- time ---------------------------------------------------------------
  // Milliseconds since some start, wrapping modulo 2^32 (GetTickCount): the
  // whole milliseconds of the platform's one monotonic clock, the same one
  // that times the serial port's waits (TickReachedUs).
  virtual uint32_t TickCount() = 0;
  // Returns when a message may be waiting in the calling thread's queue or
  // when TickCount() has reached `tick` (modular comparison), whichever comes
  // first: at the instant that millisecond begins, not a millisecond's
  // fraction later. May return early; never much later. Callers re-check
  // both.
  virtual void WaitForMessageOrTick(uint32_t tick) = 0;
  // The C run-time's pseudo-random generator (the retry pause uses bit 4).
  virtual int Rand() = 0;

  // --- serial -------------------------------------------------------------
  // Opens COM`portNumber` with the line settings. `status` is kOk,
  // kCannotOpen (the system's text is in LastErrorText()) or kConfigFailed.
  virtual std::unique_ptr<SerialPort> OpenSerial(int portNumber, const SerialConfig& config,
                                                 SerialStatus* status) = 0;
  // Starts the event thread. A real platform runs `body` on a new thread of
  // the highest normal priority; the test platform does not run it but calls
  // `handler` itself with the event mask whenever bytes reach the host side
  // of `port`, exactly when the thread would have. nullptr on failure (text
  // in LastErrorText()).
  virtual std::unique_ptr<EventThread> StartEventThread(SerialPort& port,
                                                        std::function<void()> body,
                                                        std::function<void(uint32_t)> handler) = 0;

  // --- system services ----------------------------------------------------
  virtual Registry& registry() = 0;
  // True when the process runs with administrator rights (POSIX: euid 0).
  virtual bool IsElevated() = 0;
  // The system's text for the calling thread's last error.
  virtual std::string LastErrorText() = 0;
  // GetPrivateProfileString: `file` without a directory is looked up where
  // the system keeps such files (POSIX: the prefix). At most size-1 chars.
  virtual std::string ProfileString(std::string_view section, std::string_view key,
                                    std::string_view fallback, std::string_view file,
                                    size_t size) = 0;
  // A string of the library's version resource ("FileVersion", ...), or
  // empty when the resource or the value is missing.
  virtual std::string VersionString(std::string_view name) = 0;
  // A modal message box with no owner window (MessageBoxA); returns the
  // button. POSIX hands it to the window system's box hook, the test
  // platform to its recorder, Win32 shows the real box.
  virtual int ShowBox(const char* text, const char* caption, unsigned type) = 0;
};

// The process's real platform.
Platform& RealPlatform();

}  // namespace zeva::platform
