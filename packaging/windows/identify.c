/* A Windows client of zeva232.dll: identifies the device at one address on
 * the bus behind COM<port>. Build it with MSVC or mingw against the import
 * library in lib/ (see README.txt); zeva232.dll must be next to the program
 * or on the PATH when it runs.
 *
 *   identify [PORT [ADDRESS]]     default: the Port setting, address 5
 *
 * Exit status: 0 identified, 1 the port did not open, 2 no answer. */
#include <windows.h> /* the whole system header, before the driver's */

#include <stdio.h>
#include <stdlib.h>

#include "zeva232.h"

static int g_answered = 0;

static void ZEVA_CALLBACK OnFirmwareInfo(int32_t address, const char* serial, int32_t product,
                                         const char* productName, int32_t versionLow, int32_t versionHigh,
                                         const char* versionText) {
  (void)versionLow;
  (void)versionHigh;
  printf("device %d: %s, product %d (%s), firmware %s\n", (int)(address & 0xFFFF), serial, (int)(product & 0xFFFF),
         productName, versionText);
  g_answered = 1;
}

static void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) {
  fprintf(stderr, "error: %s (driver error %d)\n", text, (int)code);
}

int main(int argc, char** argv) {
  /* The driver posts its events to a window of the thread that calls it; a
   * message-only window is enough for a console program. */
  HWND window = CreateWindowExA(0, "STATIC", "zeva232 client", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                GetModuleHandleA(NULL), NULL);
  int address = argc > 2 ? atoi(argv[2]) : 5;
  int result;
  if (argc > 1) SetCOMPort(atoi(argv[1]));
  /* max() is the system header's macro: the driver's header leaves it. */
  printf("COM%d, packet timeout %d ms\n", (int)GetCOMPort(), (int)max(getPacketTimeout(), 1));
  SetNoErrMsgBox(1); /* failures go to OnDriverError instead of a box */
  SetCallbackEvents(NULL, NULL, NULL, NULL, OnFirmwareInfo, NULL, NULL, NULL, NULL, OnDriverError);
  if (!OpenCOM(window)) {
    fprintf(stderr, "COM%d did not open\n", (int)GetCOMPort());
    return 1;
  }
  /* Blocks while it serves this thread's queue; the callback runs meanwhile. */
  result = GetFirmwareInfo(address);
  CloseCOM(); /* always before the DLL goes (FreeLibrary, process exit) */
  DestroyWindow(window);
  return result == 1 && g_answered ? 0 : 2;
}
