/* A C client as a Windows developer writes one: it includes zeva232.h and
 * links against the import library, no GetProcAddress. On i686 that needs
 * the import library to carry the __stdcall names the header declares
 * (_OpenCOM@4): without them this program does not link. Run under Wine by
 * scripts/wine-tests; prints one line per check. It also includes the whole
 * <windows.h> after zeva232.h, which the header must leave whole. */
#include <stdio.h>
#include <string.h>

#include "zeva232.h"
/* After the driver's header, the whole system header as this client asks
 * for it: zeva232.h must not have chosen the lean part or dropped min/max
 * (built without the project's own -DWIN32_LEAN_AND_MEAN -DNOMINMAX). */
#include <windows.h>
#if defined(WIN32_LEAN_AND_MEAN) || defined(NOMINMAX)
#error "zeva232.h defined WIN32_LEAN_AND_MEAN or NOMINMAX for its includer"
#endif

static int failures = 0;

static void check(int ok, const char* what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

int main(void) {
  char version[32] = {0};
  char copy[8] = {0};
  check(GetZEVADriverVersion(version, sizeof version) == 11 && strcmp(version, "1. 2. 0. 19") == 0,
        "GetZEVADriverVersion through the import library");
  check(SetPacketTimeout(120) == 120 && getPacketTimeout() == 120, "SetPacketTimeout, getPacketTimeout");
  check(SetLocalAddress(300) == 300 && getLocalAddr() == 255, "SetLocalAddress clamps, getLocalAddr");
  check(copystring("abc", copy, sizeof copy) == 3 && strcmp(copy, "abc") == 0, "copystring");
  check(IsOpen() == 0, "IsOpen without a port");
  /* shellapi.h comes only with the whole header; min is its macro. */
  check(min(getLocalAddr(), 300) == 255 && sizeof(SHELLEXECUTEINFOA) > 0,
        "the whole windows.h after zeva232.h: its min macro and shellapi.h");
  return failures;
}
