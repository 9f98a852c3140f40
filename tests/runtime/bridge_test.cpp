// The window bridge: events from the event thread, the subclass procedure,
// the callbacks and the error policy.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <ostream>

#include "runtime_rig.h"
#include "runtime/window_bridge.h"
#include "runtime/channel.h"

namespace zeva::serial_test {
namespace {

std::vector<WPARAM> PostedEvents(const DriverContext& ctx, HWND window) {
  std::vector<WPARAM> events;
  for (const MSG& m : QueuedMessages()) {
    if (m.hwnd == window && m.message == ctx.runtime.bridge().eventMessageId) events.push_back(m.wParam);
  }
  return events;
}

// --- CommEventHandler -----------------------------------------------------------

TEST_F(SerialRig, CommEventsPostDataBeforeLineError) {
  struct Case {
    uint32_t mask;
    std::vector<WPARAM> posted;
  };
  const Case cases[] = {
      {0x0001, {EVT_DATA_READY}},
      {0x0002, {EVT_DATA_READY}},
      {0x0080, {EVT_LINE_ERROR}},
      {0x0081, {EVT_DATA_READY, EVT_LINE_ERROR}},
      {0x0083, {EVT_DATA_READY, EVT_LINE_ERROR}},
      {0x0004, {}},
      {0x0000, {}},
  };
  ASSERT_EQ(Open(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    CommEventHandler(ctx(), c.mask);
    EXPECT_EQ(PostedEvents(ctx(), window), c.posted);
    MSG drop;
    while (PeekMessageA(&drop, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
}

TEST_F(SerialRig, LineDeliveryWithErrorPostsBothInOrder) {
  ASSERT_EQ(Open(), 1);
  line.Schedule(2000, {0x01, 0x02}, true);
  platform().RunUntilUs(2000);
  EXPECT_EQ(PostedEvents(ctx(), window), (std::vector<WPARAM>{EVT_DATA_READY, EVT_LINE_ERROR}));
}

TEST_F(SerialRig, WithoutClientWindowTheInputIsDrainedAndNothingPosted) {
  ASSERT_EQ(Open(), 1);
  SetClientHWND(ctx(), nullptr);
  line.Schedule(2000, Bytes(30, 0x11), true);
  platform().RunUntilUs(2000);
  EXPECT_EQ(platform().PendingHostBytes(1), 0u);
  EXPECT_TRUE(QueuedMessages().empty());
}

// --- BridgeWindowProc -------------------------------------------------------------

constexpr unsigned kEvent = 0;  // stands for the registered event message

struct ProcCase {
  const char* name;
  bool saved;
  unsigned message;
  WPARAM wParam;
  LPARAM lParam;
  int32_t frozen;
  LRESULT result;
  bool quit;
  bool passedOn;
  int lineErrors;
  std::vector<std::pair<int32_t, std::string>> driverErrors;
  std::function<void(DriverContext&)> arrange;
};
void PrintTo(const ProcCase& c, std::ostream* os) { *os << c.name; }

const ProcCase kProcCases[] = {
    {"destroy_with_saved_proc", true, WM_DESTROY, 0, 0, 0, kClientResult, false, true, 0, {}, nullptr},
    {"destroy_without_saved_proc", false, WM_DESTROY, 0, 0, 0, 0, true, false, 0, {}, nullptr},
    {"unknown_event_passed_on", true, kEvent, 4, 9, 0, kClientResult, false, true, 0, {}, nullptr},
    {"unknown_event_default_result", false, kEvent, 4, 9, 0, 0, false, false, 0, {}, nullptr},
    {"other_message_passed_on", true, 0x0401, 1, 2, 0, kClientResult, false, true, 0, {}, nullptr},
    {"other_message_without_saved_proc", false, 0x0401, 1, 2, 0, 0, false, false, 0, {}, nullptr},
    {"line_error", true, kEvent, EVT_LINE_ERROR, 0, 0, kClientResult, false, true, 1, {}, nullptr},
    {"line_error_frozen", true, kEvent, EVT_LINE_ERROR, 0, 1, kClientResult, false, true, 0, {}, nullptr},
    {"driver_error_2", true, kEvent, EVT_DRIVER_ERROR, 2, 0, kClientResult, false, true, 0,
     {{2, "Cannot send data over the network"}}, nullptr},
    {"driver_error_unknown", false, kEvent, EVT_DRIVER_ERROR, 99, 0, 0, false, false, 0, {{99, "no error"}}, nullptr},
    {"driver_error_negative", true, kEvent, EVT_DRIVER_ERROR, -1, 0, kClientResult, false, true, 0,
     {{-1, "no error"}}, nullptr},
    {"driver_error_frozen", true, kEvent, EVT_DRIVER_ERROR, 13, 1, kClientResult, false, true, 0, {}, nullptr},
    {"data_ready_without_port_context", true, kEvent, EVT_DATA_READY, 0, 0, kClientResult, false, true, 0, {},
     [](DriverContext& c) { runtime::ReleaseChannel(c.runtime); }},
    {"data_ready_closed_port", true, kEvent, EVT_DATA_READY, 0, 0, kClientResult, false, true, 0, {}, nullptr},
};

class BridgeProcTest : public SerialRig, public ::testing::WithParamInterface<ProcCase> {};

TEST_P(BridgeProcTest, Handles) {
  const ProcCase& c = GetParam();
  ctx().runtime.bridge().eventMessageId = RegisterWindowMessageA(kEventMessageName);
  ctx().runtime.bridge().savedWindowProc = c.saved ? &ClientProc : nullptr;
  ctx().runtime.callbacks = RecordingCallbacks();
  ctx().core.switches.eventsFrozen = c.frozen;
  if (c.arrange) c.arrange(ctx());
  const unsigned message = c.message == kEvent ? ctx().runtime.bridge().eventMessageId.load() : c.message;

  EXPECT_EQ(BridgeWindowProc(ctx(), window, message, c.wParam, c.lParam), c.result);

  bool quit = false;
  for (const MSG& m : QueuedMessages()) quit = quit || (m.message == WM_QUIT && m.wParam == 0);
  EXPECT_EQ(quit, c.quit);
  ASSERT_EQ(ClientLog().size(), c.passedOn ? 1u : 0u);
  if (c.passedOn) {
    EXPECT_EQ(ClientLog()[0].window, window);
    EXPECT_EQ(ClientLog()[0].message, message);
    EXPECT_EQ(ClientLog()[0].wParam, c.wParam);
    EXPECT_EQ(ClientLog()[0].lParam, c.lParam);
  }
  EXPECT_EQ(Callbacks().lineErrors, c.lineErrors);
  EXPECT_EQ(Callbacks().driverErrors, c.driverErrors);
  ctx().runtime.bridge().savedWindowProc = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Cases, BridgeProcTest, ::testing::ValuesIn(kProcCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialRig, DataReadyRunsTheReceiveLoopEvenWhenFrozen) {
  for (int32_t frozen : {0, 1}) {
    SCOPED_TRACE(frozen);
    ctx().core.switches.eventsFrozen = frozen;
    ASSERT_EQ(Open(), 1);
    line.Schedule(platform().NowUs() + 2000, {0x00, 0x13, 0x37});
    platform().AdvanceMs(3);  // the data event is served on the way
    EXPECT_EQ(platform().PendingHostBytes(1), 0u);
    CloseCOM(ctx());
  }
}

// --- error table and policy -----------------------------------------------------

TEST(DriverErrorTable, LooksUpCodesByRow) {
  for (int32_t code = 0; code <= 13; ++code) EXPECT_EQ(LookupDriverError(code), code);
  for (int32_t code : {-1, 14, 99, INT_MIN, INT_MAX}) {
    EXPECT_EQ(LookupDriverError(code), 0);
    EXPECT_STREQ(DriverErrorText(code), "no error");
  }
  EXPECT_STREQ(DriverErrorText(3), "Cannot send data over the network, channel is busy");
  EXPECT_STREQ(DriverErrorText(8),
               "Device not found (serial mismatch), please check out serial code; an other device has the same "
               "address ID.");
  EXPECT_STREQ(DriverErrorText(11), "Dataredy event buffer full");
  EXPECT_STREQ(DriverErrorText(13), "TestData null");
}

struct PolicyCase {
  const char* name;
  int32_t noErrMsgBox;
  bool postOnly;
  bool window;
  bool box;
  bool posted;
};

TEST_F(SerialRig, ErrorPolicy) {
  const PolicyCase cases[] = {
      {"box", 0, false, true, true, false},
      {"box_without_window", 0, false, false, true, false},
      {"no_boxes_posts", 1, false, true, false, true},
      {"no_boxes_no_window_nothing", 1, false, false, false, false},
      {"post_only", 0, true, true, false, true},
      {"post_only_no_window_nothing", 0, true, false, false, false},
  };
  ctx().runtime.bridge().eventMessageId = RegisterWindowMessageA(kEventMessageName);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fixture_.boxes.clear();
    ctx().core.switches.noErrMsgBox = c.noErrMsgBox;
    ctx().runtime.bridge().clientWindow = c.window ? window : nullptr;
    ReportDriverError(ctx(), 3, "Cannot send data over the network, channel still busy", c.postOnly);
    ASSERT_EQ(boxes().size(), c.box ? 1u : 0u);
    if (c.box) {
      EXPECT_EQ(boxes()[0].text, "Cannot send data over the network, channel still busy");
      EXPECT_EQ(boxes()[0].caption, "JV ZEVA COM driver");
      EXPECT_EQ(boxes()[0].type, static_cast<unsigned>(MB_ICONERROR));
    }
    const auto posted = QueuedMessages();
    ASSERT_EQ(posted.size(), c.posted ? 1u : 0u);
    if (c.posted) {
      EXPECT_EQ(posted[0].wParam, EVT_DRIVER_ERROR);
      EXPECT_EQ(posted[0].lParam, 3);
    }
    MSG drop;
    while (PeekMessageA(&drop, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
}

// --- callbacks --------------------------------------------------------------------

void OtherDriverError(int32_t, const char*) {}

TEST_F(SerialRig, SetCallbackEventsReplacesAllTenSlots) {
  ctx().runtime.bridge().eventMessageId = RegisterWindowMessageA(kEventMessageName);
  SetCallbackEvents(ctx(), RecordingCallbacks());
  BridgeWindowProc(ctx(), window, ctx().runtime.bridge().eventMessageId, EVT_LINE_ERROR, 0);
  EXPECT_EQ(Callbacks().lineErrors, 1);

  ClientCallbacks onlyDriverError;
  onlyDriverError.onDriverError = &OtherDriverError;
  SetCallbackEvents(ctx(), onlyDriverError);
  EXPECT_EQ(ctx().runtime.callbacks.onLineError, nullptr);
  EXPECT_EQ(ctx().runtime.callbacks.onDataReceived, nullptr);
  EXPECT_EQ(ctx().runtime.callbacks.onDriverError, &OtherDriverError);

  SetCallbackEvents(ctx(), ClientCallbacks{});
  BridgeWindowProc(ctx(), window, ctx().runtime.bridge().eventMessageId, EVT_LINE_ERROR, 0);
  BridgeWindowProc(ctx(), window, ctx().runtime.bridge().eventMessageId, EVT_DRIVER_ERROR, 2);
  EXPECT_EQ(Callbacks().lineErrors, 1);
  EXPECT_TRUE(Callbacks().driverErrors.empty());
}

// --- attaching and replacing the client window ---------------------------------------

WNDPROC ProcOf(HWND window) { return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC)); }

TEST_F(SerialRig, OpenSubclassesAndSetClientNoneGivesTheWindowBack) {
  ctx().runtime.callbacks = RecordingCallbacks();
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(ProcOf(window), &BridgeWindowProcEntry);
  EXPECT_EQ(ctx().runtime.bridge().savedWindowProc, &ClientProc);
  EXPECT_NE(ctx().runtime.bridge().eventMessageId, 0u);

  // Events reach the driver first, then the client.
  PostMessageA(window, ctx().runtime.bridge().eventMessageId, EVT_LINE_ERROR, 0);
  DispatchAll();
  EXPECT_EQ(Callbacks().lineErrors, 1);
  EXPECT_EQ(ClientLog().size(), 1u);

  SetClientHWND(ctx(), nullptr);
  EXPECT_EQ(ProcOf(window), &ClientProc);
  EXPECT_EQ(ctx().runtime.bridge().clientWindow.load(), nullptr);
  EXPECT_EQ(ctx().runtime.bridge().savedWindowProc, nullptr);
  PostMessageA(window, ctx().runtime.bridge().eventMessageId, EVT_LINE_ERROR, 0);
  DispatchAll();
  EXPECT_EQ(Callbacks().lineErrors, 1);  // only the client saw it
  EXPECT_EQ(ClientLog().size(), 2u);
}

enum class Holder { kNone, kFirst, kSecond };

struct SwitchCase {
  const char* name;
  std::function<void(DriverContext&, HWND first, HWND second)> act;
  Holder client;      // the client window afterwards
  Holder subclassed;  // the window that carries the driver's procedure
};
void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

const SwitchCase kSwitchCases[] = {
    {"open_with_other_window", [](DriverContext& c, HWND, HWND second) { EXPECT_EQ(OpenCOM(c, second), 0); },
     Holder::kSecond, Holder::kSecond},
    {"open_with_none", [](DriverContext& c, HWND, HWND) { EXPECT_EQ(OpenCOM(c, nullptr), 0); }, Holder::kNone,
     Holder::kNone},
    {"open_with_same_window", [](DriverContext& c, HWND first, HWND) { EXPECT_EQ(OpenCOM(c, first), 0); },
     Holder::kFirst, Holder::kFirst},
    {"set_client_other_window", [](DriverContext& c, HWND, HWND second) { SetClientHWND(c, second); },
     Holder::kSecond, Holder::kNone},
    {"set_client_same_window", [](DriverContext& c, HWND first, HWND) { SetClientHWND(c, first); }, Holder::kFirst,
     Holder::kFirst},
    {"set_client_none", [](DriverContext& c, HWND, HWND) { SetClientHWND(c, nullptr); }, Holder::kNone,
     Holder::kNone},
    {"reopen_after_close_with_other_window",
     [](DriverContext& c, HWND, HWND second) {
       CloseCOM(c);
       EXPECT_EQ(OpenCOM(c, second), 1);
     },
     Holder::kSecond, Holder::kSecond},
};

class WindowSwitchTest : public SerialRig, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(WindowSwitchTest, NeverLeavesTheDriverOnAnUntrackedWindow) {
  const SwitchCase& c = GetParam();
  const HWND second = CreateMessageWindow(&OtherClientProc);
  ASSERT_EQ(Open(), 1);

  c.act(ctx(), window, second);

  const HWND of[] = {nullptr, window, second};
  EXPECT_EQ(ctx().runtime.bridge().clientWindow.load(), of[static_cast<int>(c.client)]);
  EXPECT_EQ(ProcOf(window), c.subclassed == Holder::kFirst ? &BridgeWindowProcEntry : &ClientProc);
  EXPECT_EQ(ProcOf(second), c.subclassed == Holder::kSecond ? &BridgeWindowProcEntry : &OtherClientProc);
  EXPECT_EQ(ctx().runtime.bridge().subclassedWindow, of[static_cast<int>(c.subclassed)]);

  // Each window gets its own procedure back, whatever happened before.
  DetachWindowBridge(ctx());
  EXPECT_EQ(ProcOf(window), &ClientProc);
  EXPECT_EQ(ProcOf(second), &OtherClientProc);
  DestroyWindow(second);
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowSwitchTest, ::testing::ValuesIn(kSwitchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialRig, EventsFollowTheBridgeToTheNewWindow) {
  const HWND second = CreateMessageWindow(&OtherClientProc);
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(OpenCOM(ctx(), second), 0);
  line.Schedule(2000, {0x00, 0x01});
  platform().AdvanceMs(3);
  EXPECT_EQ(platform().PendingHostBytes(1), 0u);  // read by the bridge on the second window
  ASSERT_EQ(ClientLog().size(), 1u);
  EXPECT_EQ(ClientLog()[0].window, second);
  CloseCOM(ctx());
  DetachWindowBridge(ctx());
  DestroyWindow(second);
}

// A data event that never reaches the bridge must not silence the port:
// unread bytes are reported again when the client window changes, and in
// any case after kDataEventRepeatMs. Each row loses the event of a first
// delivery; a second delivery must then be read within `withinUs`.
struct LostEventCase {
  const char* fault;
  std::function<void(DriverContext&, HWND first, HWND second)> lose;
  uint64_t withinUs;
};
void PrintTo(const LostEventCase& c, std::ostream* os) { *os << c.fault; }

const LostEventCase kLostEventCases[] = {
    {"bridge moved: the event went to the client's own procedure and no data event came again",
     [](DriverContext& c, HWND, HWND second) {
       SetClientHWND(c, nullptr);
       DispatchAll();
       EXPECT_EQ(OpenCOM(c, second), 0);
     },
     1'000},
    {"client window destroyed with the event queued, then a new one given: silent for good",
     [](DriverContext& c, HWND first, HWND second) {
       EXPECT_EQ(DestroyWindow(first), 1);
       EXPECT_EQ(OpenCOM(c, second), 0);
     },
     1'000},
    {"event taken from the queue and never dispatched: silent for good",
     [](DriverContext&, HWND, HWND) {
       MSG msg;
       while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
       }
     },
     uint64_t{platform::kDataEventRepeatMs} * 1000 + 1'000},
};

class LostEventTest : public SerialRig, public ::testing::WithParamInterface<LostEventCase> {};

TEST_P(LostEventTest, UnreadBytesAreReportedAgain) {
  const LostEventCase& c = GetParam();
  const HWND second = CreateMessageWindow(&OtherClientProc);
  ASSERT_EQ(Open(), 1);
  line.Schedule(1000, {0x00, 0x01});
  platform().RunUntilUs(1000);
  ASSERT_EQ(PostedEvents(ctx(), window), std::vector<WPARAM>{EVT_DATA_READY});
  c.lose(ctx(), window, second);
  line.Schedule(5000, {0x02});
  platform().RunUntilUs(5000 + c.withinUs);
  DispatchAll();
  EXPECT_EQ(platform().PendingHostBytes(1), 0u);
  CloseCOM(ctx());
  DetachWindowBridge(ctx());
  DestroyWindow(second);
}

INSTANTIATE_TEST_SUITE_P(Cases, LostEventTest, ::testing::ValuesIn(kLostEventCases));

}  // namespace
}  // namespace zeva::serial_test
