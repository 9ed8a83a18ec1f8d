#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
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

// Whether /var/lock/LCK..<base> names a process that still runs. The PID is
// ASCII decimal, blanks before and a newline after, as the FHS has it
// ("HDB UUCP"), or the binary int that older programs write. A stale,
// empty, unreadable or malformed lock file holds nothing; it is only read.
bool LockFileNamesALiveProcess(const char* base) {
  static constexpr char kPrefix[] = "/var/lock/LCK..";
  char path[sizeof kPrefix + NAME_MAX];
  const size_t length = strlen(base);
  if (length == 0 || length > NAME_MAX) {
    return false;
  }
  memcpy(path, kPrefix, sizeof kPrefix - 1);
  memcpy(path + sizeof kPrefix - 1, base, length + 1);
  // O_NONBLOCK: a FIFO standing there must not keep us waiting.
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char text[16];
  const ssize_t size = read(fd, text, sizeof text);
  close(fd);
  ssize_t i = 0;
  while (i < size && text[i] == ' ') {
    ++i;
  }
  const ssize_t digits = i;
  long long pid = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9' && pid <= INT_MAX; ++i) {
    pid = pid * 10 + (text[i] - '0');
  }
  const bool decimal =
      i > digits && (i == size || (i + 1 == size && text[i] == '\n'));
  if (!decimal) {
    int binary = 0;
    if (size != sizeof binary) {
      return false;
    }
    memcpy(&binary, text, sizeof binary);
    pid = binary;
  }
  // EPERM: the process runs as another user.
  return pid > 0 && pid <= INT_MAX &&
         (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

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
