#include "transact_stack.h"

#include <cstdio>

#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "runtime/window_bridge.h"

namespace zeva::transact_test {

Stack* Stack::current = nullptr;

namespace {

void ZEVA_CALLBACK RecordData(int32_t source, int32_t destination, int32_t count, int32_t type,
                              const uint8_t* bytes, int32_t eventCode) {
  Stack* s = Stack::current;
  DataEvent e{source, destination, count, type, Bytes(bytes, bytes + 6), eventCode};
  s->data.push_back(e);
  if (s->onData) s->onData(e);
}

void ZEVA_CALLBACK RecordError(int32_t code, const char* text) {
  Stack::current->errors.push_back({code, text != nullptr ? text : ""});
}

void ZEVA_CALLBACK RecordProgress(int32_t value, const char* text) {
  (void)text;
  Stack::current->progress.push_back(value);
}

LRESULT ZEVA_WINDOW_PROC ClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  Stack* s = Stack::current;
  if (s != nullptr && s->onClientMessage && message != s->ctx.runtime.bridge().eventMessageId.load()) {
    s->onClientMessage(message, wParam, lParam);
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

Stack::Stack(const sim::BusConfig& config, uint32_t startTick) : SimDriver(config, startTick) {
  current = this;
  ClientCallbacks callbacks;
  callbacks.onDataReceived = &RecordData;
  callbacks.onDriverError = &RecordError;
  callbacks.onProgress = &RecordProgress;
  Start(callbacks, &ClientProc);
  if (OpenCOM(ctx, window) != 1) std::fprintf(stderr, "Stack: OpenCOM failed\n");
}

Stack::~Stack() {
  Stop();
  current = nullptr;
}

std::vector<Bytes> Stack::HostBytes() const {
  std::vector<Bytes> out;
  for (const WireFrame& f : WireFrames(sim::TalkerKind::kHost)) out.push_back(f.bytes);
  return out;
}

std::vector<Bytes> Stack::AllBursts() const {
  std::vector<Bytes> out;
  for (const sim::TraceEntry& e : bus.trace()) {
    if (e.kind != sim::TraceEntry::Kind::kEvent) out.push_back(e.bytes);
  }
  return out;
}

}  // namespace zeva::transact_test
