#include "runtime_rig.h"

namespace zeva::serial_test {

std::vector<ClientMessage>& ClientLog() {
  static std::vector<ClientMessage> log;
  return log;
}

LRESULT ZEVA_WINDOW_PROC ClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  ClientLog().push_back({window, message, wParam, lParam});
  return kClientResult;
}

LRESULT ZEVA_WINDOW_PROC OtherClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  ClientLog().push_back({window, message, wParam, lParam});
  return kClientResult + 1;
}

std::vector<MSG> QueuedMessages() {
  std::vector<MSG> all;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) all.push_back(msg);
  for (const MSG& m : all) PostMessageA(m.hwnd, m.message, m.wParam, m.lParam);
  return all;
}

void DispatchAll() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

CallbackLog& Callbacks() {
  static CallbackLog log;
  return log;
}

namespace {

void OnLineError() { ++Callbacks().lineErrors; }
void OnDataReceived(int32_t, int32_t, int32_t, int32_t, const uint8_t*, int32_t) { ++Callbacks().dataFrames; }
void OnDriverError(int32_t code, const char* text) { Callbacks().driverErrors.emplace_back(code, text); }

}  // namespace

ClientCallbacks RecordingCallbacks() {
  ClientCallbacks callbacks;
  callbacks.onLineError = &OnLineError;
  callbacks.onDataReceived = &OnDataReceived;
  callbacks.onDriverError = &OnDriverError;
  return callbacks;
}

SerialRig::SerialRig() {
  ClientLog().clear();
  Callbacks() = {};
  platform().AttachLine(1, &line);
  window = CreateMessageWindow(&ClientProc);
}

SerialRig::~SerialRig() {
  // The line goes before the fixture: close while it is still there.
  CloseCOM(ctx());
  DetachWindowBridge(ctx());
  DestroyWindow(window);
  platform().DetachLine(1);
}

}  // namespace zeva::serial_test
