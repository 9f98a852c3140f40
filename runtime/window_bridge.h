// The client window bridge's record; the runtime's own (see
// runtime_state.h).
#pragma once

#include <atomic>

#include "platform/win_types.h"

namespace zeva::runtime {

// The event thread reads clientWindow and eventMessageId (to post its
// events) while the client thread may change them.
struct WindowBridge {
  std::atomic<HWND> clientWindow{nullptr};
  WNDPROC savedWindowProc = nullptr;
  HWND subclassedWindow = nullptr;  // the window whose procedure was replaced
  std::atomic<unsigned> eventMessageId{0};
};

}  // namespace zeva::runtime
