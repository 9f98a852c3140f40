#include "tools/common/bounded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace zeva::tools {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::optional<std::string> Refuse(const std::string& path, const std::string& reason, std::string* error) {
  *error = path + ": " + reason;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ReadBoundedFile(const std::string& path, size_t maxBytes, std::string* error) {
  if (path.empty()) return Refuse("''", "no file named", error);
  // Not blocking: opening a FIFO nobody writes must not hang the tool; the
  // type check below refuses it anyway.
  const Descriptor fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_BINARY));
  if (fd.get() < 0) return Refuse(path, std::string("cannot read: ") + std::strerror(errno), error);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return Refuse(path, std::string("cannot read: ") + std::strerror(errno), error);
  if (S_ISDIR(st.st_mode)) return Refuse(path, "is a directory, not a file", error);
  if (!S_ISREG(st.st_mode)) return Refuse(path, "is not a regular file", error);
  const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) return Refuse(path, tooLarge, error);
  // The size may change while reading (a file being written): never hold
  // more than the bound and one byte.
  std::string content;
  content.resize(maxBytes + 1);
  size_t used = 0;
  while (used < content.size()) {
    const auto n = read(fd.get(), content.data() + used, static_cast<unsigned>(content.size() - used));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Refuse(path, std::string("cannot read: ") + std::strerror(errno), error);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > maxBytes) return Refuse(path, tooLarge, error);
  content.resize(used);
  return content;
}

}  // namespace zeva::tools
