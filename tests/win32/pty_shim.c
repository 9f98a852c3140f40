/* Test-only: preloaded into Wine so that a pseudo-terminal behaves as a real
 * serial port does in the two places where Wine's serial layer looks:
 *
 *  - The modem-line query (TIOCMGET). A pty has no modem lines; without an
 *    answer Wine's WaitCommEvent ends every wait at once with no event, and
 *    the event thread spins.
 *  - The line configuration (tcsetattr). A pty drops the parity bits, and
 *    the C library then reports EINVAL, so SetCommState fails (error 87) on
 *    every configuration but a fresh pty's first, and every reopen of the
 *    port fails. Here such a failure is retried without the parity bits, and
 *    tcgetattr reports the bits that were asked for, as a real port keeps
 *    them.
 *
 * Only these calls, only on a terminal, and only after the real call failed
 * are changed. Built for each bitness of Wine (scripts/wine-tests). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#define PARITY_BITS (PARENB | PARODD | CMSPAR)
#define MAX_FDS 4096

/* Parity asked for and kept only here, per descriptor (0: none kept). */
static tcflag_t kept_parity[MAX_FDS];

int ioctl(int fd, unsigned long request, ...) {
  static int (*real_ioctl)(int, unsigned long, ...) = NULL;
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (real_ioctl == NULL) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  int rc = real_ioctl(fd, request, arg);
  if (rc < 0 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && arg != NULL && isatty(fd)) {
    *(int*)arg = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    return 0;
  }
  return rc;
}

int tcsetattr(int fd, int actions, const struct termios* t) {
  static int (*real_tcsetattr)(int, int, const struct termios*) = NULL;
  if (real_tcsetattr == NULL) real_tcsetattr = (int (*)(int, int, const struct termios*))dlsym(RTLD_NEXT, "tcsetattr");
  int rc = real_tcsetattr(fd, actions, t);
  if (fd < 0 || fd >= MAX_FDS) return rc;
  if (rc == 0) {
    kept_parity[fd] = 0;
    return rc;
  }
  if (errno != EINVAL || t == NULL || (t->c_cflag & PARITY_BITS) == 0 || !isatty(fd)) return rc;
  struct termios without = *t;
  without.c_cflag &= ~(tcflag_t)PARITY_BITS;
  rc = real_tcsetattr(fd, actions, &without);
  if (rc == 0) kept_parity[fd] = t->c_cflag & PARITY_BITS;
  return rc;
}

int tcgetattr(int fd, struct termios* t) {
  static int (*real_tcgetattr)(int, struct termios*) = NULL;
  if (real_tcgetattr == NULL) real_tcgetattr = (int (*)(int, struct termios*))dlsym(RTLD_NEXT, "tcgetattr");
  int rc = real_tcgetattr(fd, t);
  if (rc == 0 && fd >= 0 && fd < MAX_FDS && kept_parity[fd] != 0) t->c_cflag |= kept_parity[fd];
  return rc;
}
