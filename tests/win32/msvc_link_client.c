/* A client linked as MSVC's linker links one: lld-link, the package's
 * zeva232.lib, no C run-time (the system's kernel32 only), its own entry
 * point. scripts/wine-tests builds it from the package of each bitness,
 * lists the names its import table takes from zeva232.dll (the plain ones),
 * and runs it under Wine: exit status 0 when every check held, else the
 * number of the first check that failed. */
#include "zeva232.h"

static int same(const char* a, const char* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

static void say(const char* text) {
  DWORD written = 0;
  DWORD n = 0;
  while (text[n] != 0) ++n;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, n, &written, NULL);
}

void start(void) {
  char version[32];
  UINT failed = 0;
  if (GetZEVADriverVersion(version, sizeof version) != 11 || !same(version, "1. 2. 0. 19")) failed = 1;
  if (failed == 0 && (SetPacketTimeout(120) != 120 || getPacketTimeout() != 120)) failed = 2;
  if (failed == 0 && IsOpen() != 0) failed = 3;
  say(failed == 0 ? "ok   lld-link client: GetZEVADriverVersion, SetPacketTimeout, IsOpen through zeva232.lib\r\n"
                  : "FAIL lld-link client\r\n");
  ExitProcess(failed);
}
