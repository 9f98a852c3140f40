// Both public headers compile as C++, the imported target links, and the
// library it loads is the version the CMake package announced.
#include <cstdio>
#include <string>

#include "zeva232.h"
#include "zeva232_posix.h"

int main() {
  char text[64] = {};
  const int32_t n = GetZEVADriverVersion(text, sizeof text);
  if (n <= 0 || n >= static_cast<int32_t>(sizeof text)) return 2;
  std::string version;  // "1. 2. 0. 19" as the version resource spells it
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != ' ') version += *c;
  }
  std::printf("library %s, package %s\n", version.c_str(), PACKAGE_VERSION);
  return version == PACKAGE_VERSION ? 0 : 1;
}
