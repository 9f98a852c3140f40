#include <stdio.h>

#include "zeva232.h"
#include "zeva232_posix.h"

static LRESULT WindowProc(HWND window, unsigned msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, msg, wParam, lParam);
}

static void ZEVA_CALLBACK OnFirmwareInfo(int32_t address, const char* serial, int32_t product,
                                         const char* productName, int32_t versionLow,
                                         int32_t versionHigh, const char* versionText) {
  (void)versionLow;
  (void)versionHigh;
  printf("device %d: %s, product %d (%s), firmware %s\n", address, serial, product, productName,
         versionText);
}

static void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) {
  fprintf(stderr, "error: %s (driver error %d)\n", text, code);
}

int main(void) {
  HWND window = CreateMessageWindow(WindowProc); /* this thread is the client thread */
  SetNoErrMsgBox(1);                             /* failures go to OnDriverError */
  SetCallbackEvents(NULL, NULL, NULL, NULL, OnFirmwareInfo, NULL, NULL, NULL, NULL, OnDriverError);
  SetCOMPort(1); /* $ZEVA_PREFIX/dosdevices/com1, else /dev/ttyS0 */
  if (!OpenCOM(window)) return 1;
  /* Blocks while it serves this thread's queue; the callback runs meanwhile. */
  int ok = GetFirmwareInfo(5);
  /* Events posted at the very end (a driver error) are still queued. */
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  CloseCOM();
  DestroyWindow(window);
  return ok ? 0 : 1;
}
