// The directory that holds on POSIX what a Windows machine keeps in its
// registry and Windows directory: system.reg, dosdevices/comN, Orlindo.inf.
#pragma once

#include <string>

namespace zeva::posix {

// $ZEVA_PREFIX when set and non-empty, else "/etc/zeva232". Read anew on
// every call, so tests and tools can point it at another directory.
std::string ZevaPrefix();

// Creates `dir` and its missing parents (mkdir -p). False with the last
// error recorded when that fails.
bool MakeDirectories(const std::string& dir);

}  // namespace zeva::posix
