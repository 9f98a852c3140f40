#include "platform/posix/termios_line.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "platform/posix/last_error.h"
#include "platform/posix/serial_line.h"
#include "platform/posix/serial_port.h"

namespace zeva::posix {
namespace {

struct StandardRate {
  int32_t bps;
  speed_t speed;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
};

bool StandardSpeed(int32_t bps, speed_t* speed) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.bps == bps) {
      *speed = rate.speed;
      return true;
    }
  }
  return false;
}

bool CharacterSize(uint8_t byteSize, tcflag_t* size) {
  switch (byteSize) {
    case 5: *size = CS5; return true;
    case 6: *size = CS6; return true;
    case 7: *size = CS7; return true;
    case 8: *size = CS8; return true;
    default: return false;
  }
}

}  // namespace

// Parity is generated but not checked, so a byte arrives as it came off the
// line and the error shows only in the error counters.
bool MakeRawLine(termios* tio, uint8_t byteSize) {
  tcflag_t size = 0;
  if (!CharacterSize(byteSize, &size)) return false;
  tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                         IXANY | INPCK);
  tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB);
#ifdef CRTSCTS
  tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  tio->c_cflag |= size | PARENB | CLOCAL | CREAD;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  return true;
}

namespace {

// A pseudo-terminal carries bytes, not characters on a wire: it keeps eight
// bits without parity whatever is asked, and the C library then reports the
// whole request as refused. It counts as taken when everything else was.
bool TakenApartFromCharacterFormat(int fd, const termios& wanted) {
  termios got{};
  if (tcgetattr(fd, &got) != 0) return false;
  const tcflag_t format = CSIZE | PARENB | PARODD;
  return (got.c_cflag & format) == CS8 && (got.c_cflag & ~format) == (wanted.c_cflag & ~format) &&
         got.c_iflag == wanted.c_iflag && got.c_oflag == wanted.c_oflag && got.c_lflag == wanted.c_lflag &&
         cfgetospeed(&got) == cfgetospeed(&wanted);
}

}  // namespace

bool ConfigureLine(int fd, const platform::SerialConfig& config) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  if (config.bps <= 0 || !MakeRawLine(&tio, config.byteSize)) return false;
  speed_t speed = B0;
  const bool standard = StandardSpeed(config.bps, &speed);
  if (standard && (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0 && !TakenApartFromCharacterFormat(fd, tio)) return false;
  return standard || SetArbitraryRate(fd, config.bps);
}

// The adapter is not to be driven by the modem lines. Opening a tty raises
// them, so they are lowered again; a pseudo-terminal has none.
void LowerModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ioctl(fd, TIOCMBIC, &lines);
}

// One owner at a time, as for a COM port: the lock keeps out other opens
// through this library, TIOCEXCL other programs that are not privileged.
bool TakeExclusive(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
    SetLastErrorFromCode(EBUSY);
    return false;
  }
  (void)ioctl(fd, TIOCEXCL);
  return true;
}

int64_t CharacterUs(const platform::SerialConfig& config) {
  const int64_t bits = 1 + config.byteSize + 1 + 1;
  return config.bps > 0 ? (bits * 1'000'000 + config.bps - 1) / config.bps : 0;
}

}  // namespace zeva::posix
