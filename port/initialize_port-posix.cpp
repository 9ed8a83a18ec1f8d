#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "port/initialize_port.h"

namespace {

// Win32 resolves "COM1" to "COM9" as serial devices wherever they appear;
// Linux calls the same ports ttyS0 to ttyS8. Any other name ("COM07",
// "COM10", "COM3abc") is a plain path, relative to the working directory,
// as it is on Windows.
const char* DevicePath(const char* name, char (&device)[sizeof "/dev/ttyS0"]) {
  if (name[0] != 'C' || name[1] != 'O' || name[2] != 'M' || name[3] < '1' ||
      name[3] > '9' || name[4] != '\0') {
    return name;
  }
  memcpy(device, "/dev/ttyS0", sizeof device);
  device[sizeof device - 2] = static_cast<char>(name[3] - 1);
  return device;
}

// glibc declares ioctl's request an unsigned long, musl an int, and
// TIOCGEXCL does not fit an int: take the type from ioctl itself.
template <typename Request>
Request RequestOf(int (*)(int, Request, ...));
using IoctlRequest = decltype(RequestOf(&ioctl));

// Linux has no share mode. The nearest to Win32's "nobody else has it open"
// are the two conventions that Linux serial programs use to claim a port:
// a terminal in exclusive mode (TIOCEXCL), and an exclusive flock on the
// device. TIOCEXCL stops other users' opens but not root's, so the flag is
// asked for rather than left to the open; the flock is taken on our own open
// file and so ends with the close.
bool HeldByAnother(int fd) {
  int exclusive = 0;
  if (ioctl(fd, static_cast<IoctlRequest>(TIOCGEXCL), &exclusive) == 0 &&
      exclusive != 0) {
    return true;
  }
  return flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

}  // namespace

bool InitializePort(const char* name) {
  char device[sizeof "/dev/ttyS0"];
  // No O_CREAT: only what exists opens. O_NOCTTY keeps a terminal from
  // becoming ours, O_NONBLOCK keeps the open from waiting for a modem's
  // carrier (or a FIFO's reader), O_CLOEXEC keeps it from any child.
  const int fd = open(DevicePath(name, device),
                      O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool free = !HeldByAnother(fd);
  // What a failed close could report changes nothing: the device opened.
  close(fd);
  return free;
}
