/* Test-only: preloaded into Wine so that a pseudo-terminal answers the
 * modem-line query (TIOCMGET) as a real serial port does. Without it, Wine's
 * WaitCommEvent on a pseudo-terminal asks for the modem lines, gets an error,
 * and then ends every wait at once with no event, so the event thread spins.
 * Only that query, only on a terminal, and only when it failed is changed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
