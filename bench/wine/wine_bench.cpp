// One block of the Wine-against-POSIX benchmark: the same client, built as a
// Win32 program against zeva232.dll (run under Wine) and as a POSIX program
// against libzeva232, talks to zevasim's two devices on COM<port> and prints
// what it measured, one raw figure a line, for scripts/wine-bench to sum up.
//
//   wine_bench PORT [QUERIES [LAST_MAP_ADDRESS]]
//
// Under Wine COM<port> is the pseudo-terminal the prefix maps to it; on
// POSIX it is $ZEVA_PREFIX/dosdevices/com<port>. The line runs at 115200
// bit/s with the simulator pacing every byte (scripts/wine-bench starts it
// so), the settings come from the calls below, not from the registry.
//
// What it measures, seen only from outside the driver:
//  - Query to device 5, QUERIES calls with a 2-ms pause in the client's own
//    message loop between them (as an application has), each call's wall
//    time; packet timeout 40 ms.
//  - The driver's data events (the registered event message with wParam 2)
//    that reach the client window's own procedure, which the driver's
//    subclass passes every message on to: over the Query block, and inside
//    each probe of the map. On Win32 a WH_GETMESSAGE hook of the thread
//    counts the same messages as they leave the queue, as a cross-check.
//  - MakeMap at packet timeouts 5, 25 and 40 ms over the addresses 1 to
//    LAST_MAP_ADDRESS (MapAbort from the progress callback of the next one):
//    the time from one address's progress callback to the next is that
//    address's probe, with the data events in it, and whether a device
//    answered it.
//
// Output lines (all times in microseconds):
//   platform wine|posix
//   query PT US OK                 one line per call
//   query_events N CALLS [HOOKED]  data events over the Query block
//   probe PT ADDRESS US EVENTS FOUND [HOOKED]
//   map PT RESULT FOUND
//   error TEXT                     the driver's reports
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "zeva232.h"
#ifndef _WIN32
#include "zeva232_posix.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kBps = 115200;
constexpr int32_t kQueryAddress = 5;
constexpr int32_t kQueryPacketTimeoutMs = 40;
constexpr int32_t kMapPacketTimeoutsMs[] = {5, 25, 40};
constexpr auto kPause = std::chrono::milliseconds(2);
constexpr uintptr_t kDataReady = 2;  // wParam of the driver's event message: data in the receive queue

unsigned g_eventMessage = 0;
long g_dataEvents = 0;    // seen by the window procedure
long g_hookedEvents = 0;  // seen leaving the queue (Win32 only)

double Us(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

#ifdef _WIN32
LRESULT CALLBACK ClientProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == g_eventMessage && wParam == kDataReady) ++g_dataEvents;
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK GetMessageHook(int code, WPARAM removal, LPARAM lParam) {
  const MSG* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == HC_ACTION && removal == PM_REMOVE && msg->message == g_eventMessage && msg->wParam == kDataReady) {
    ++g_hookedEvents;
  }
  return CallNextHookEx(nullptr, code, removal, lParam);
}

HWND CreateClientWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &ClientProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "ZevaWineBench";
  RegisterClassA(&wc);
  return CreateWindowExA(0, wc.lpszClassName, "zeva232 bench", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                         nullptr, wc.hInstance, nullptr);
}

// Serves the queue until `end`.
void ServeUntil(Clock::time_point end) {
  MSG msg;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

const char* const kPlatform = "wine";
#else
LRESULT ClientProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  if (message == g_eventMessage && wParam == kDataReady) ++g_dataEvents;
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateClientWindow() { return CreateMessageWindow(&ClientProc); }

// Serves the queue until `end`. The POSIX window system has no wait with a
// time-out, so the loop sleeps a tenth of a millisecond between looks.
void ServeUntil(Clock::time_point end) {
  MSG msg;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

int BoxToStdout(const char* text, const char* caption, unsigned) {
  std::printf("error box %s: %s\n", caption, text);
  return IDOK;
}

const char* const kPlatform = "posix";
#endif

void Hooked(long n) {
#ifdef _WIN32
  std::printf(" %ld", n);
#else
  (void)n;
#endif
}

// --- the map's probes, from its progress callback ----------------------------

struct Probe {
  int32_t packetTimeout;
  int32_t address;
  double us;
  long events;
  long hooked;
  bool found;
};

struct MapWatch {
  int32_t packetTimeout = 0;
  int32_t lastAddress = 0;
  int32_t address = 0;  // the address being probed, 0 before the first
  bool found = false;
  Clock::time_point start;
  long events0 = 0;
  long hooked0 = 0;
  int32_t devices = 0;
  std::vector<Probe> probes;  // printed after the map: no output inside it
};
MapWatch g_map;

void ZEVA_CALLBACK OnMapProgress(int32_t address) {
  const auto now = Clock::now();
  // The same address again: probed anew after a busy channel, one probe.
  if (address == g_map.address) return;
  if (g_map.address != 0) {
    g_map.probes.push_back({g_map.packetTimeout, g_map.address, Us(g_map.start, now), g_dataEvents - g_map.events0,
                            g_hookedEvents - g_map.hooked0, g_map.found});
  }
  g_map.found = false;
  g_map.address = address;
  if (address == 0) return;
  if (address > g_map.lastAddress) {
    MapAbort();
    g_map.address = 0;
    return;
  }
  g_map.events0 = g_dataEvents;
  g_map.hooked0 = g_hookedEvents;
  g_map.start = Clock::now();
}

void ZEVA_CALLBACK OnDeviceFound(int32_t, const char*, int32_t, int32_t, int32_t) {
  g_map.found = true;
  ++g_map.devices;
}

void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) {
  std::printf("error %d %s\n", code, text != nullptr ? text : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: wine_bench PORT [QUERIES [LAST_MAP_ADDRESS]]\n");
    return 2;
  }
  const int32_t port = std::atoi(argv[1]);
  const int queries = argc > 2 ? std::atoi(argv[2]) : 200;
  const int32_t lastMapAddress = argc > 3 ? std::atoi(argv[3]) : 24;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // The name under which the driver registers its event message (OpenCOM).
  g_eventMessage = RegisterWindowMessageA("JV_ZEVA232_EVENTS");
#ifdef _WIN32
  HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, &GetMessageHook, nullptr, GetCurrentThreadId());
  if (hook == nullptr) std::printf("note no WH_GETMESSAGE hook: %lu\n", GetLastError());
#else
  SetMessageBoxHook(&BoxToStdout);
#endif
  HWND window = CreateClientWindow();
  if (window == nullptr) {
    std::printf("error no client window\n");
    return 1;
  }
  SetNoErrMsgBox(1);
  SetCallbackEvents(nullptr, nullptr, &OnMapProgress, &OnDeviceFound, nullptr, nullptr, nullptr, nullptr,
                    nullptr, &OnDriverError);
  SetCOMPort(port);
  SetBps(kBps);
  SetPacketTimeout(kQueryPacketTimeoutMs);
  if (OpenCOM(window) != 1) {
    std::printf("error OpenCOM(COM%d) failed\n", port);
    return 1;
  }
  std::printf("platform %s\n", kPlatform);

  // One call first: the simulator's and the driver's first-use costs stay
  // out of the block.
  const uint8_t message[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x21};
  Query(kQueryAddress, message, 1, 0);
  ServeUntil(Clock::now() + kPause);

  std::vector<double> callUs;
  std::vector<int> answered;
  callUs.reserve(static_cast<size_t>(queries));
  const long events0 = g_dataEvents;
  const long hooked0 = g_hookedEvents;
  for (int i = 0; i < queries; ++i) {
    const auto t0 = Clock::now();
    const int32_t ok = Query(kQueryAddress, message, 1, 0);
    callUs.push_back(Us(t0, Clock::now()));
    answered.push_back(ok == 1 ? 1 : 0);
    ServeUntil(Clock::now() + kPause);
  }
  for (size_t i = 0; i < callUs.size(); ++i) {
    std::printf("query %d %.1f %d\n", kQueryPacketTimeoutMs, callUs[i], answered[i]);
  }
  std::printf("query_events %ld %d", g_dataEvents - events0, queries);
  Hooked(g_hookedEvents - hooked0);
  std::printf("\n");

  for (const int32_t timeout : kMapPacketTimeoutsMs) {
    SetPacketTimeout(timeout);
    g_map = MapWatch{};
    g_map.packetTimeout = timeout;
    g_map.lastAddress = lastMapAddress;
    g_map.probes.reserve(128);
    const int32_t result = MakeMap();
    for (const Probe& p : g_map.probes) {
      std::printf("probe %d %d %.1f %ld %d", p.packetTimeout, p.address, p.us, p.events, p.found ? 1 : 0);
      Hooked(p.hooked);
      std::printf("\n");
    }
    std::printf("map %d %d %d\n", timeout, result, g_map.devices);
    ServeUntil(Clock::now() + kPause);
  }

  CloseCOM();
  SetCallbackEvents(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  SetClientHWND(nullptr);
  DestroyWindow(window);
#ifdef _WIN32
  if (hook != nullptr) UnhookWindowsHookEx(hook);
#endif
  return 0;
}
