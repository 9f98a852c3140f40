#include "platform/posix/prefix.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/last_error.h"

namespace zeva::posix {

std::string ZevaPrefix() {
  const char* env = std::getenv("ZEVA_PREFIX");
  if (env != nullptr && env[0] != '\0') return env;
  return "/etc/zeva232";
}

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    SetLastErrorFromCode(ENOTDIR);
    return false;
  }
  const size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
  // Another process may create it between the stat and here.
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace zeva::posix
