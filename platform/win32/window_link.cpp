// The driver's link in a window's procedure chain, on Win32.
//
// The window's procedure slot (and whatever a later subclass saved from
// it) points at a small piece of code in memory of its own, not into the
// library: that code calls CallWindowProc{W,A}(target, ...), where target
// is the driver's procedure while the link is attached and the next
// procedure once it was taken out from under a later subclass. So a client
// that restores what it saved after the library has gone reaches a link
// that forwards, not unmapped code. CallWindowProc in the window's own
// character set keeps a Unicode window Unicode all the way down the chain.
//
// A link taken out from the top of the chain is referenced by nobody and
// returns to the pool; one still inside a chain lives as long as the
// process, and so does the pool that holds it.
#include "platform/window_link.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/win32/windows_api.h"

namespace zeva::platform {
namespace {

struct Link {
  uint8_t code[64];
  void* target;    // what the code hands to callProc: a procedure
  void* callProc;  // CallWindowProcW or CallWindowProcA
  Link* nextFree;
};

class LinkPool {
 public:
  Link* Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (heap_ == nullptr) heap_ = HeapCreate(HEAP_CREATE_ENABLE_EXECUTE, 0, 0);
    if (heap_ == nullptr) return nullptr;
    Link* link = free_;
    if (link != nullptr) {
      free_ = link->nextFree;
    } else {
      link = static_cast<Link*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(Link)));
      if (link == nullptr) return nullptr;
    }
    ++inUse_;
    return link;
  }
  void Give(Link* link) {
    std::lock_guard<std::mutex> lock(mutex_);
    link->nextFree = free_;
    free_ = link;
    --inUse_;
  }
  // At unload: the pool goes only when no chain holds a link of it.
  ~LinkPool() {
    if (heap_ != nullptr && inUse_ == 0) HeapDestroy(heap_);
  }

 private:
  std::mutex mutex_;
  HANDLE heap_ = nullptr;
  Link* free_ = nullptr;
  long inUse_ = 0;
};

LinkPool g_pool;

// The driver's links by window: one per window at most.
struct Entry {
  HWND window;
  Link* link;
};
std::mutex g_linksMutex;
Entry g_links[64];

Entry* Find(HWND window) {
  for (Entry& e : g_links) {
    if (e.window == window) return &e;
  }
  return nullptr;
}

template <typename T>
void Put(uint8_t*& at, T value) {
  std::memcpy(at, &value, sizeof value);
  at += sizeof value;
}

// The link's code, for a window procedure called in the system convention.
void WriteCode(Link& link) {
  uint8_t* at = link.code;
#if defined(__x86_64__) || defined(_M_X64)
  // Window procedure (rcx hwnd, rdx message, r8 wParam, r9 lParam) calls
  // callProc(target, hwnd, message, wParam, lParam) in a frame of its own.
  const uint8_t prologue[] = {
      0x48, 0x83, 0xEC, 0x38,        // sub rsp, 0x38
      0x4C, 0x89, 0x4C, 0x24, 0x20,  // mov [rsp+0x20], r9
      0x4D, 0x89, 0xC1,              // mov r9, r8
      0x49, 0x89, 0xD0,              // mov r8, rdx
      0x48, 0x89, 0xCA,              // mov rdx, rcx
      0x48, 0xB8};                   // mov rax, &target
  std::memcpy(at, prologue, sizeof prologue);
  at += sizeof prologue;
  Put(at, reinterpret_cast<uint64_t>(&link.target));
  const uint8_t load[] = {0x48, 0x8B, 0x08,  // mov rcx, [rax]
                          0x48, 0xB8};       // mov rax, &callProc
  std::memcpy(at, load, sizeof load);
  at += sizeof load;
  Put(at, reinterpret_cast<uint64_t>(&link.callProc));
  const uint8_t epilogue[] = {0xFF, 0x10,              // call [rax]
                              0x48, 0x83, 0xC4, 0x38,  // add rsp, 0x38
                              0xC3};                   // ret
  std::memcpy(at, epilogue, sizeof epilogue);
#elif defined(__i386__) || defined(_M_IX86)
  // __stdcall: slips target in as the first argument and jumps on, so
  // callProc returns straight to the window procedure's caller.
  *at++ = 0x58;  // pop eax (return address)
  *at++ = 0xFF;  // push dword [&target]
  *at++ = 0x35;
  Put(at, reinterpret_cast<uint32_t>(&link.target));
  *at++ = 0x50;  // push eax
  *at++ = 0xFF;  // jmp dword [&callProc]
  *at++ = 0x25;
  Put(at, reinterpret_cast<uint32_t>(&link.callProc));
#else
#error "window links are written for x86 and x86-64"
#endif
  FlushInstructionCache(GetCurrentProcess(), link.code, sizeof link.code);
}

bool Unicode(HWND window) { return IsWindowUnicode(window) != FALSE; }

LONG_PTR GetProc(HWND window) {
  return Unicode(window) ? GetWindowLongPtrW(window, GWLP_WNDPROC) : GetWindowLongPtrA(window, GWLP_WNDPROC);
}

LONG_PTR SetProc(HWND window, LONG_PTR proc) {
  return Unicode(window) ? SetWindowLongPtrW(window, GWLP_WNDPROC, proc)
                         : SetWindowLongPtrA(window, GWLP_WNDPROC, proc);
}

}  // namespace

WNDPROC LinkWindowProc(HWND window, WNDPROC proc) {
  std::lock_guard<std::mutex> lock(g_linksMutex);
  if (window == nullptr || Find(window) != nullptr) return nullptr;
  Entry* entry = Find(nullptr);
  if (entry == nullptr) return nullptr;
  Link* link = g_pool.Take();
  if (link == nullptr) return nullptr;
  link->target = reinterpret_cast<void*>(proc);
  link->callProc = Unicode(window) ? reinterpret_cast<void*>(&CallWindowProcW)
                                   : reinterpret_cast<void*>(&CallWindowProcA);
  WriteCode(*link);
  const LONG_PTR previous = SetProc(window, reinterpret_cast<LONG_PTR>(link->code));
  if (previous == 0) {
    g_pool.Give(link);
    return nullptr;
  }
  *entry = {window, link};
  return reinterpret_cast<WNDPROC>(previous);
}

void UnlinkWindowProc(HWND window, WNDPROC proc, WNDPROC next) {
  std::lock_guard<std::mutex> lock(g_linksMutex);
  Entry* entry = window == nullptr ? nullptr : Find(window);
  if (entry == nullptr || entry->link->target != reinterpret_cast<void*>(proc)) return;
  Link* link = entry->link;
  const bool onTop = GetProc(window) == reinterpret_cast<LONG_PTR>(link->code);
  if (onTop && SetProc(window, reinterpret_cast<LONG_PTR>(next)) != 0) {
    g_pool.Give(link);
  } else {
    // A later subclass holds the link: it forwards from now on.
    link->target = reinterpret_cast<void*>(next);
  }
  *entry = {nullptr, nullptr};
}

LRESULT CallNextWindowProc(WNDPROC next, HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  if (Unicode(window)) return CallWindowProcW(next, window, message, wParam, lParam);
  return CallWindowProcA(next, window, message, wParam, lParam);
}

namespace {

// The loader's lock, held by this thread (inside a DllMain): the event
// thread could not start before the lock is given back, and the open would
// wait for it for ever.
bool LoaderLockHeld() {
  uint8_t* peb = nullptr;
#if defined(__x86_64__)
  constexpr size_t kLoaderLockInPeb = 0x110;
  asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
  constexpr size_t kLoaderLockInPeb = 0xA0;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
  auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION**>(peb + kLoaderLockInPeb);
  return lock != nullptr && reinterpret_cast<DWORD_PTR>(lock->OwningThread) == GetCurrentThreadId();
}

}  // namespace

bool IsWindowOfThisThread(HWND window) {
  return window != nullptr && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId() &&
         !LoaderLockHeld();
}

}  // namespace zeva::platform
