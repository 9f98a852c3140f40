#include "tools/zevasim/host_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zeva::zevasim {

namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

speed_t SpeedOf(int32_t bps) {
  struct Rate {
    int32_t bps;
    speed_t speed;
  };
  static const Rate kRates[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                                {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                                {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const Rate& r : kRates) {
    if (r.bps == bps) return r.speed;
  }
  return B0;
}

// Raw bytes, even parity, one stop bit: the line discipline must neither
// echo nor edit what passes, or the host would see bytes no device sent.
bool MakeRaw(int fd, int32_t bps, uint8_t byteSize, bool needSpeed, std::string* error) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    *error = SystemError("tcgetattr");
    return false;
  }
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARODD | CRTSCTS);
  t.c_cflag |= (byteSize == 7 ? CS7 : CS8) | PARENB | CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  const speed_t speed = SpeedOf(bps);
  if (speed != B0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  } else if (needSpeed) {
    *error = "unsupported bit rate " + std::to_string(bps);
    return false;
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    *error = SystemError("tcsetattr");
    return false;
  }
  return true;
}

bool SetNonBlocking(int fd, std::string* error) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = SystemError("fcntl");
    return false;
  }
  return true;
}

}  // namespace

void HostPort::Close() {
  if (fd >= 0) close(fd);
  if (keeper >= 0) close(keeper);
  fd = keeper = -1;
}

bool OpenPseudoTerminal(int32_t bps, uint8_t byteSize, HostPort* port, std::string* error) {
  port->fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (port->fd < 0) {
    *error = SystemError("posix_openpt");
    return false;
  }
  char name[128];
  if (grantpt(port->fd) != 0 || unlockpt(port->fd) != 0 || ptsname_r(port->fd, name, sizeof name) != 0) {
    *error = SystemError("pseudo-terminal");
    port->Close();
    return false;
  }
  port->path = name;
  // Holding the slave open ourselves keeps the master readable between
  // clients: without it the master reports a hang-up whenever no client has
  // the terminal open.
  port->keeper = open(name, O_RDWR | O_NOCTTY);
  if (port->keeper < 0) {
    *error = SystemError(std::string("open ") + name);
    port->Close();
    return false;
  }
  if (!MakeRaw(port->keeper, bps, byteSize, false, error) || !SetNonBlocking(port->fd, error)) {
    port->Close();
    return false;
  }
  return true;
}

bool OpenTerminal(const std::string& path, int32_t bps, uint8_t byteSize, HostPort* port, std::string* error) {
  port->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (port->fd < 0) {
    *error = SystemError("open " + path);
    return false;
  }
  port->path = path;
  if (!MakeRaw(port->fd, bps, byteSize, true, error)) {
    port->Close();
    return false;
  }
  return true;
}

namespace {

std::string LinkTarget(const std::string& link) {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool CreateLink(const std::string& link, const std::string& target, std::string* error, std::string* replaced) {
  std::string kept;
  if (replaced == nullptr) replaced = &kept;
  replaced->clear();
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = link + " exists and is not a symbolic link; choose another path";
      return false;
    }
    const std::string old = LinkTarget(link);
    struct stat pointee {};
    // A link to our own terminal is a leftover of a run that was killed.
    if (old != target && (replaced == &kept || stat(link.c_str(), &pointee) == 0)) {
      *error = link + " exists (a link to " + old + "); remove it or choose another path";
      return false;
    }
    if (old != target) *replaced = old;
    if (unlink(link.c_str()) != 0) {
      *error = SystemError("cannot replace " + link);
      return false;
    }
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    *error = errno == ENOENT ? "cannot create " + link + ": its folder does not exist" : SystemError("symlink " + link);
    if (!replaced->empty() && symlink(replaced->c_str(), link.c_str()) == 0) replaced->clear();
    return false;
  }
  return true;
}

void RemoveLink(const std::string& link, const std::string& target, const std::string& replaced) {
  if (LinkTarget(link) != target || unlink(link.c_str()) != 0) return;
  if (!replaced.empty() && symlink(replaced.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "zevasim: cannot put back %s -> %s: %s\n", link.c_str(), replaced.c_str(), std::strerror(errno));
  }
}

}  // namespace zeva::zevasim
