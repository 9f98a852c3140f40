// The library's own small window system: per-thread message queues and
// message windows under their Win32 names.
//
// Locking: the window table's mutex is taken before a queue's mutex, never
// the other way round. Window procedures are always called with no lock held,
// so they may post, subclass or destroy freely.
#include "platform/posix/window_system.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/clock.h"
#include "platform/posix/text_util.h"
#include "zeva232_posix.h"

namespace zeva::posixwin {
namespace {

struct MessageQueue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<MSG> messages;
  bool closed = false;  // the owning thread has ended: posts fail
  // While the owner waits in poll() on descriptors of its own: the one to
  // write a byte to when a message is posted, and whether that was done.
  int pollSignal = -1;
  bool signalled = false;
};

using QueuePtr = std::shared_ptr<MessageQueue>;

struct Window {
  WNDPROC proc = nullptr;
  QueuePtr queue;  // the owning thread's
  bool destroying = false;
};

// A handle is (generation << kIndexBits) | (slot index + 1). A slot's
// generation moves on when its window goes, so an old handle never names the
// slot's next window, and a forged value is only ever compared, never
// followed.
constexpr unsigned kIndexBits = 16;
constexpr uintptr_t kIndexMask = (uintptr_t{1} << kIndexBits) - 1;
constexpr uintptr_t kGenerationMask = ~uintptr_t{0} >> kIndexBits;

class WindowTable {
 public:
  std::mutex mutex;

  HWND Add(std::unique_ptr<Window> window) {
    size_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else if (slots_.size() < kIndexMask) {
      index = slots_.size();
      slots_.emplace_back();
    } else {
      return nullptr;
    }
    slots_[index].window = std::move(window);
    const uintptr_t value = (slots_[index].generation << kIndexBits) | (index + 1);
    return reinterpret_cast<HWND>(value);
  }

  Window* Find(HWND hwnd) {
    Slot* slot = SlotOf(hwnd);
    return slot != nullptr ? slot->window.get() : nullptr;
  }

  void Remove(HWND hwnd) {
    Slot* slot = SlotOf(hwnd);
    if (slot != nullptr) Release(*slot);
  }

  // Windows of a thread that ends go with it.
  void RemoveOwnedBy(const MessageQueue* queue) {
    for (Slot& slot : slots_) {
      if (slot.window && slot.window->queue.get() == queue) Release(slot);
    }
  }

 private:
  struct Slot {
    uintptr_t generation = 1;
    std::unique_ptr<Window> window;  // null: free
  };

  Slot* SlotOf(HWND hwnd) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(hwnd);
    const uintptr_t low = value & kIndexMask;
    if (low == 0 || low > slots_.size()) return nullptr;
    Slot& slot = slots_[low - 1];
    if (!slot.window || slot.generation != (value >> kIndexBits)) return nullptr;
    return &slot;
  }

  void Release(Slot& slot) {
    slot.window.reset();
    slot.generation = (slot.generation + 1) & kGenerationMask;
    if (slot.generation == 0) slot.generation = 1;
    free_.push_back(static_cast<size_t>(&slot - slots_.data()));
  }

  std::vector<Slot> slots_;
  std::vector<size_t> free_;
};

// Never destroyed: library teardown and other threads' exits may still
// reach it after static destructors have started.
WindowTable& Table() {
  static WindowTable* table = new WindowTable;
  return *table;
}

// The calling thread's queue lives as long as the thread. After its
// destruction (late in thread exit) the thread has no queue at all.
thread_local bool tQueueGone = false;

struct ThreadQueueOwner {
  QueuePtr queue = std::make_shared<MessageQueue>();
  ~ThreadQueueOwner() {
    tQueueGone = true;
    {
      std::lock_guard<std::mutex> lock(Table().mutex);
      Table().RemoveOwnedBy(queue.get());
    }
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->closed = true;
    queue->messages.clear();
  }
};

QueuePtr CurrentQueue() {
  if (tQueueGone) return nullptr;
  thread_local ThreadQueueOwner owner;
  return owner.queue;
}

bool Push(MessageQueue& queue, const MSG& msg) {
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.closed) return false;
    queue.messages.push_back(msg);
    if (queue.pollSignal >= 0 && !queue.signalled) {
      const char byte = 1;
      // A full pipe already holds a signal.
      (void)!write(queue.pollSignal, &byte, 1);
      queue.signalled = true;
    }
  }
  queue.arrived.notify_all();
  return true;
}

bool Matches(const MSG& msg, HWND hwnd, unsigned filterMin, unsigned filterMax) {
  if (hwnd != nullptr && msg.hwnd != hwnd) return false;
  // A range filter never hides WM_QUIT, so a filtered loop still ends.
  if (msg.message == WM_QUIT) return true;
  if (filterMin == 0 && filterMax == 0) return true;
  return msg.message >= filterMin && msg.message <= filterMax;
}

std::deque<MSG>::iterator FindMatch(MessageQueue& queue, HWND hwnd, unsigned filterMin, unsigned filterMax) {
  auto it = queue.messages.begin();
  while (it != queue.messages.end() && !Matches(*it, hwnd, filterMin, filterMax)) ++it;
  return it;
}

bool IsLiveWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  return Table().Find(hwnd) != nullptr;
}

WNDPROC ProcOf(HWND hwnd) {
  std::lock_guard<std::mutex> lock(Table().mutex);
  Window* window = Table().Find(hwnd);
  return window != nullptr ? window->proc : nullptr;
}

void Purge(MessageQueue& queue, HWND hwnd) {
  std::lock_guard<std::mutex> lock(queue.mutex);
  std::erase_if(queue.messages, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
}

// --- registered messages -------------------------------------------------

constexpr unsigned kFirstRegisteredMessage = 0xC000;
constexpr unsigned kLastRegisteredMessage = 0xFFFF;

struct RegisteredMessages {
  std::mutex mutex;
  std::map<std::string, unsigned> ids;  // by lower-case name
  unsigned next = kFirstRegisteredMessage;
};

RegisteredMessages& Registered() {
  static RegisteredMessages* registered = new RegisteredMessages;
  return *registered;
}

// --- message boxes ----------------------------------------------------------

int DefaultMessageBoxHook(const char* text, const char* caption, unsigned type) {
  (void)type;
  std::fprintf(stderr, "%s: %s\n", caption, text);
  return IDOK;
}

std::atomic<ZEVA_MESSAGEBOX_HOOK> gMessageBoxHook{DefaultMessageBoxHook};

}  // namespace

bool QueueHasMessage() {
  QueuePtr queue = CurrentQueue();
  if (!queue) return false;
  std::lock_guard<std::mutex> lock(queue->mutex);
  return !queue->messages.empty();
}

void WaitForMessage(int64_t timeoutMs) {
  if (timeoutMs <= 0) return;
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  WaitForMessageUntilUs(std::chrono::duration_cast<std::chrono::microseconds>(now).count() + timeoutMs * 1000);
}

void WaitForMessageUntilUs(int64_t steadyUs) {
  QueuePtr queue = CurrentQueue();
  if (!queue) return;
  const std::chrono::steady_clock::time_point deadline{std::chrono::microseconds(steadyUs)};
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->arrived.wait_until(lock, deadline, [&queue] { return !queue->messages.empty(); });
}

namespace {
thread_local BlockHook tBlockHook;
}  // namespace

BlockHook SetBlockHook(BlockHook hook) { return std::exchange(tBlockHook, hook); }

bool BeginPolledWait(int signalFd) {
  QueuePtr queue = CurrentQueue();
  if (!queue) return false;
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (!queue->messages.empty()) return false;
  queue->pollSignal = signalFd;
  queue->signalled = false;
  return true;
}

bool EndPolledWait() {
  QueuePtr queue = CurrentQueue();
  if (!queue) return false;
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->pollSignal = -1;
  return std::exchange(queue->signalled, false);
}

}  // namespace zeva::posixwin

using namespace zeva::posixwin;

extern "C" {

HWND CreateMessageWindow(WNDPROC proc) {
  if (proc == nullptr) return nullptr;
  QueuePtr queue = CurrentQueue();
  if (!queue) return nullptr;
  auto window = std::make_unique<Window>();
  window->proc = proc;
  window->queue = std::move(queue);
  std::lock_guard<std::mutex> lock(Table().mutex);
  return Table().Add(std::move(window));
}

// Only the owning thread may destroy a window: WM_DESTROY must run where the
// window's other messages run.
int DestroyWindow(HWND hwnd) {
  QueuePtr queue = CurrentQueue();
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(Table().mutex);
    Window* window = Table().Find(hwnd);
    if (window == nullptr || window->destroying || window->queue != queue) return 0;
    window->destroying = true;
    proc = window->proc;
  }
  proc(hwnd, WM_DESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> lock(Table().mutex);
    Table().Remove(hwnd);
  }
  // Whatever was posted up to the removal would reach a dead window.
  Purge(*queue, hwnd);
  return 1;
}

unsigned RegisterWindowMessageA(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  RegisteredMessages& registered = Registered();
  std::lock_guard<std::mutex> lock(registered.mutex);
  const std::string key = zeva::posix::LowerAscii(name);
  auto it = registered.ids.find(key);
  if (it != registered.ids.end()) return it->second;
  if (registered.next > kLastRegisteredMessage) return 0;
  const unsigned id = registered.next++;
  registered.ids.emplace(key, id);
  return id;
}

int PostMessageA(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  const MSG message{hwnd, msg, wParam, lParam, zeva::posix::MonotonicTickCount()};
  if (hwnd == nullptr) {
    QueuePtr queue = CurrentQueue();
    return queue && Push(*queue, message) ? 1 : 0;
  }
  // The table stays locked while the message is queued, so DestroyWindow's
  // purge, which follows the window's removal, sees every accepted post.
  std::lock_guard<std::mutex> lock(Table().mutex);
  Window* window = Table().Find(hwnd);
  return window != nullptr && Push(*window->queue, message) ? 1 : 0;
}

int GetMessageA(MSG* msg, HWND hwnd, unsigned filterMin, unsigned filterMax) {
  QueuePtr queue = CurrentQueue();
  if (msg == nullptr || !queue) return -1;
  if (hwnd != nullptr && !IsLiveWindow(hwnd)) return -1;
  std::unique_lock<std::mutex> lock(queue->mutex);
  bool hookCalled = false;
  for (;;) {
    auto it = FindMatch(*queue, hwnd, filterMin, filterMax);
    if (it != queue->messages.end()) {
      *msg = *it;
      queue->messages.erase(it);
      return msg->message == WM_QUIT ? 0 : 1;
    }
    const BlockHook hook = tBlockHook;
    if (hook.call != nullptr && !hookCalled) {
      hookCalled = true;
      lock.unlock();
      hook.call(hook.arg);
      lock.lock();
      continue;
    }
    queue->arrived.wait(lock);
  }
}

int PeekMessageA(MSG* msg, HWND hwnd, unsigned filterMin, unsigned filterMax, unsigned remove) {
  QueuePtr queue = CurrentQueue();
  if (msg == nullptr || !queue) return 0;
  if (hwnd != nullptr && !IsLiveWindow(hwnd)) return 0;
  std::lock_guard<std::mutex> lock(queue->mutex);
  auto it = FindMatch(*queue, hwnd, filterMin, filterMax);
  if (it == queue->messages.end()) return 0;
  *msg = *it;
  if ((remove & PM_REMOVE) != 0) queue->messages.erase(it);
  return 1;
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  WNDPROC proc = ProcOf(msg->hwnd);
  return proc != nullptr ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

void PostQuitMessage(int exitCode) {
  PostMessageA(nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

LRESULT DefWindowProcA(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  (void)hwnd;
  (void)msg;
  (void)wParam;
  (void)lParam;
  return 0;
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  return proc != nullptr ? proc(hwnd, msg, wParam, lParam) : 0;
}

// A null procedure is refused: every window must stay dispatchable.
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  if (index != GWLP_WNDPROC || value == 0) return 0;
  std::lock_guard<std::mutex> lock(Table().mutex);
  Window* window = Table().Find(hwnd);
  if (window == nullptr) return 0;
  WNDPROC previous = window->proc;
  window->proc = reinterpret_cast<WNDPROC>(value);
  return reinterpret_cast<LONG_PTR>(previous);
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  if (index != GWLP_WNDPROC) return 0;
  return reinterpret_cast<LONG_PTR>(ProcOf(hwnd));
}

int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned type) {
  (void)owner;
  ZEVA_MESSAGEBOX_HOOK hook = gMessageBoxHook.load();
  return hook(text != nullptr ? text : "", caption != nullptr ? caption : "Error", type);
}

// The default hook is handed out as a real function, so a hook that chains
// to the previous one never calls through null.
ZEVA_MESSAGEBOX_HOOK SetMessageBoxHook(ZEVA_MESSAGEBOX_HOOK hook) {
  return gMessageBoxHook.exchange(hook != nullptr ? hook : DefaultMessageBoxHook);
}

}  // extern "C"
