// The driver context: every driver-wide variable of the system in one place.
//
// The exported functions reach the process's single instance (api/); all
// code below the exports takes a DriverContext&, so a test builds a fresh
// context over a test platform and never touches process-global state.
//
// The context holds the state of every layer but knows only those below it
// (link/, platform/): the request table of transact/ is declared here and
// defined above, and the context is built and torn down by the composition
// root (api/lifecycle.cpp), which sees every layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/settings.h"
#include "link/byte_queue.h"
#include "link/echo_tracker.h"
#include "link/status_flags.h"
#include "platform/platform.h"
#include "zeva232.h"

namespace zeva {

class RequestTable;  // transact/request_table.h

// Run-time switches (never persisted).
struct Switches {
  int32_t spy = 0;
  int32_t autoEcho = 1;
  int32_t noAck = 0;
  uint8_t echoCheck = 0;  // on after the start when the adapter is the plain kind (0)
  int32_t noErrMsgBox = 0;
  int32_t eventsFrozen = 0;
  int32_t responseMsg = 0;
};

// Client callbacks, in the order SetCallbackEvents takes them. 16-bit values
// travel in 32-bit slots.
extern "C" {
typedef void(ZEVA_CALLBACK* OnLineErrorFn)(void);
typedef void(ZEVA_CALLBACK* OnDataReceivedFn)(int32_t source, int32_t destination, int32_t count,
                                              int32_t type, const uint8_t* data, int32_t eventCode);
typedef void(ZEVA_CALLBACK* OnMapProgressFn)(int32_t address);
typedef void(ZEVA_CALLBACK* OnDeviceFoundFn)(int32_t address, const char* serial, int32_t product,
                                             int32_t versionLow, int32_t versionHigh);
typedef void(ZEVA_CALLBACK* OnFirmwareInfoFn)(int32_t address, const char* serial, int32_t product,
                                              const char* productName, int32_t versionLow,
                                              int32_t versionHigh, const char* versionText);
typedef void(ZEVA_CALLBACK* OnRemoteErrorFn)(int32_t address, int32_t errorCode, const char* report);
typedef void(ZEVA_CALLBACK* OnProgressFn)(int32_t value, const char* text);
typedef void(ZEVA_CALLBACK* OnQueryReplyFn)(int32_t address, const uint8_t* reply, int32_t tag);
typedef void(ZEVA_CALLBACK* OnProgramDoneFn)(void);
typedef void(ZEVA_CALLBACK* OnDriverErrorFn)(int32_t code, const char* text);
}

struct ClientCallbacks {
  OnLineErrorFn onLineError = nullptr;
  OnDataReceivedFn onDataReceived = nullptr;
  OnMapProgressFn onMapProgress = nullptr;
  OnDeviceFoundFn onDeviceFound = nullptr;
  OnFirmwareInfoFn onFirmwareInfo = nullptr;
  OnRemoteErrorFn onRemoteError = nullptr;
  OnProgressFn onProgress = nullptr;
  OnQueryReplyFn onQueryReply = nullptr;
  OnProgramDoneFn onProgramDone = nullptr;
  OnDriverErrorFn onDriverError = nullptr;
};

// The serial channel's record. `port` is the handle as the event thread sees
// it: nullptr is the closed value and tells the thread to stop. Atomic because
// the client thread writes it while the event thread reads it.
struct PortContext {
  std::atomic<platform::SerialPort*> port{nullptr};
  std::function<void(uint32_t)> eventHandler;
  std::unique_ptr<link::ByteQueue> rx;  // the receive accumulator
};

// Byte positions of the output buffer with a meaning of their own.
inline constexpr int kOutputBufferReserved = 4;  // Query sends it as 0
inline constexpr int kOutputBufferType = 5;

class DriverContext {
 public:
  explicit DriverContext(platform::Platform& platform);
  ~DriverContext();
  DriverContext(const DriverContext&) = delete;
  DriverContext& operator=(const DriverContext&) = delete;

  platform::Platform& platform;

  Settings settings;
  Switches switches;

  // Status flags and the bytes that travel with them.
  StatusFlags flags;
  uint8_t lastDestination = 0;
  uint8_t awaitedResponseCode = 0;
  uint8_t receiveActive = 0;
  uint8_t rawSendActive = 0;

  // Driver core objects.
  std::unique_ptr<PortContext> portContext;
  std::unique_ptr<RequestTable> requests;
  std::unique_ptr<link::EchoTracker> echo;  // the station's own writes coming back

  // Serial channel.
  std::unique_ptr<platform::SerialPort> portHandle;  // nullptr: closed
  std::unique_ptr<platform::EventThread> eventThread;

  // Window bridge. The event thread reads clientWindow and eventMessageId
  // (to post its events) while the client thread may change them.
  std::atomic<HWND> clientWindow{nullptr};
  WNDPROC savedWindowProc = nullptr;
  HWND subclassedWindow = nullptr;  // the window whose procedure was replaced
  std::atomic<unsigned> eventMessageId{0};
  ClientCallbacks callbacks;
  // What the bridge runs when a data event reaches the client window: the
  // receive loop of transact/, wired by the composition root.
  void (*dataReady)(DriverContext& ctx) = nullptr;

  // Data interface and services.
  // The six-byte message Send and Query compose; byte 5 is the type.
  uint8_t outputBuffer[6] = {0, 0, 0, 0, 0, 0};
  int32_t lastProgramError = 0;
  uint8_t mapRunning = 0;
  uint8_t mapAbortRequested = 0;

  // Optional frame trace for tools: called for every frame in, and for every
  // write out (frames, acknowledgements, raw bytes, test streams).
  // direction: 0 out, 1 in.
  std::function<void(int direction, const uint8_t* bytes, int32_t n)> trace;
};

// Wait lengths from the settings. A negative one (no setter or load makes
// one) would make an unsigned wait of weeks: it counts as no wait at all.
inline uint32_t PacketTimeoutMs(const DriverContext& ctx) {
  return ctx.settings.packetTimeout < 0 ? 0u : static_cast<uint32_t>(ctx.settings.packetTimeout);
}
inline uint32_t BusyTimeoutMs(const DriverContext& ctx) {
  return ctx.settings.busyTimeout < 0 ? 0u : static_cast<uint32_t>(ctx.settings.busyTimeout);
}

}  // namespace zeva
