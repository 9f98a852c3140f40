// zeva232.dll's entry: the same attach and detach as the load hooks of the
// shared library on POSIX.
//
// The loader calls this with its lock held, which shapes both ends:
//  - Attach builds the driver context and loads the settings; it starts no
//    thread and waits for nothing (the event thread starts at OpenCOM).
//  - Detach inside FreeLibrary closes the port as CloseCOM does: the thread
//    is told to stop (event mask 0) and the close waits for the thread's
//    "done" signal, which the thread gives as it leaves the driver's code and
//    which needs no lock; it never waits for the thread's end, which needs
//    the loader lock and would deadlock. Then the client window gets its own
//    procedure back and everything is freed.
//  - Detach at process exit does nothing: the system has already ended the
//    other threads, and it closes the port and frees the memory itself.
//    Touching the client's window or waiting for a thread then is unsafe.
#include "api/instance.h"
#include "core/guard.h"
#include "platform/win32/clock.h"
#include "platform/win32/win32_platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  zeva::win32::SetModuleHandle(instance);
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      zeva::Guarded([] { zeva::api::Load(zeva::platform::RealPlatform()); });
      break;
    case DLL_PROCESS_DETACH:
      if (reserved == nullptr) {
        zeva::Guarded([] { zeva::api::Unload(); });
        zeva::win32::ClockUnloads();
      }
      break;
    case DLL_THREAD_DETACH:
      zeva::win32::ThreadLeaves();
      break;
    default:
      break;
  }
  return TRUE;
}
