#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "port/device_path.h"
#include "port/initialize_port.h"
#include "port/lock_file.h"

const char* DevicePath(const char* name, char (&device)[sizeof "/dev/ttyS0"]) {
  if (name[0] != 'C' || name[1] != 'O' || name[2] != 'M' || name[3] < '1' ||
      name[3] > '9' || name[4] != '\0') {
    return name;
  }
  memcpy(device, "/dev/ttyS0", sizeof device);
  device[sizeof device - 2] = static_cast<char>(name[3] - 1);
  return device;
}

namespace {

// glibc declares ioctl's request an unsigned long, musl an int, and
// TIOCGEXCL does not fit an int: take the type from ioctl itself.
template <typename Request>
Request RequestOf(int (*)(int, Request, ...));
using IoctlRequest = decltype(RequestOf(&ioctl));

// "/proc/self/fd/<fd>", which names what fd opened. Written by hand:
// snprintf would cost more instructions than all the rest of a run.
void OpenedFilePath(int fd, char (&path)[sizeof "/proc/self/fd/2147483647"]) {
  static constexpr char kFds[] = "/proc/self/fd/";
  memcpy(path, kFds, sizeof kFds - 1);
  char* digit = path + sizeof kFds - 1;
  for (int rest = fd / 10; rest != 0; rest /= 10) {
    ++digit;
  }
  digit[1] = '\0';
  for (int rest = fd; digit >= path + sizeof kFds - 1; rest /= 10) {
    *digit-- = static_cast<char>('0' + rest % 10);
  }
}

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Linux has no share mode. The nearest to Win32's "nobody else has it open"
// are the three conventions that Linux serial programs use to claim a port:
// a terminal in exclusive mode (TIOCEXCL, as screen sets it), a flock on the
// device, exclusive or shared (picocom, tio), and a lock file in /var/lock
// (minicom, cu, lockdev), named after the device as given (a link such as
// COM5) or as it resolves (ttyUSB0). TIOCEXCL stops other users' opens but
// not root's, so the flag is asked for rather than left to the open; the
// flock is taken on our own open file and so ends with the close.
bool HeldByAnother(int fd, const char* path) {
  int exclusive = 0;
  if (ioctl(fd, static_cast<IoctlRequest>(TIOCGEXCL), &exclusive) == 0 &&
      exclusive != 0) {
    return true;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return true;
  }
  const char* given = BaseName(path);
  if (LockFileNamesALiveProcess(given)) {
    return true;
  }
  // The kernel's own name for what opened, every link followed; realpath
  // would cost the static program a tenth of its size.
  char opened[sizeof "/proc/self/fd/2147483647"];
  OpenedFilePath(fd, opened);
  char resolved[PATH_MAX];
  const ssize_t length = readlink(opened, resolved, sizeof resolved - 1);
  if (length <= 0) {
    return false;
  }
  resolved[length] = '\0';
  return strcmp(BaseName(resolved), given) != 0 &&
         LockFileNamesALiveProcess(BaseName(resolved));
}

}  // namespace

bool InitializePort(const char* name) {
  char device[sizeof "/dev/ttyS0"];
  // No O_CREAT: only what exists opens. O_NOCTTY keeps a terminal from
  // becoming ours, O_NONBLOCK keeps the open from waiting for a modem's
  // carrier (or a FIFO's reader), O_CLOEXEC keeps it from any child.
  const char* path = DevicePath(name, device);
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool free = !HeldByAnother(fd, path);
  // What a failed close could report changes nothing: the device opened.
  close(fd);
  return free;
}
