#include "port/lock_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The PID as the FHS writes it ("%10d\n"), or -1 when the text is not that.
long long DecimalPid(const char* text, size_t size) {
  size_t i = 0;
  while (i < size && text[i] == ' ') {
    ++i;
  }
  const size_t first_digit = i;
  long long pid = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9' && pid <= INT_MAX; ++i) {
    pid = pid * 10 + (text[i] - '0');
  }
  const bool whole =
      i > first_digit && (i == size || (i + 1 == size && text[i] == '\n'));
  return whole ? pid : -1;
}

}  // namespace

long long LockFilePid(const char* text, size_t size) {
  if (size == 0 || size > LOCK_FILE_LONGEST) {
    return 0;
  }
  long long pid = DecimalPid(text, size);
  int binary = 0;
  if (pid < 0 && size == sizeof binary) {
    memcpy(&binary, text, sizeof binary);
    pid = binary;
  }
  return pid > 0 && pid <= INT_MAX ? pid : 0;
}

bool LockFileNamesALiveProcess(const char* device) {
  static constexpr char kPrefix[] = "/var/lock/LCK..";
  char path[sizeof kPrefix + NAME_MAX];
  const size_t length = strlen(device);
  if (length == 0 || length > NAME_MAX) {
    return false;
  }
  memcpy(path, kPrefix, sizeof kPrefix - 1);
  memcpy(path + sizeof kPrefix - 1, device, length + 1);
  // O_NOFOLLOW: a link planted here would have us open whatever it names
  // (another port, whose modem lines the open would toggle, or a file only
  // root may read); the kernel's protected_symlinks is not on everywhere.
  // O_NONBLOCK: a FIFO standing here must not keep us waiting.
  const int fd =
      open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  // One byte more than the longest lock file, to tell a longer one apart.
  char text[LOCK_FILE_LONGEST + 1];
  struct stat status {};
  ssize_t size = -1;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    size = read(fd, text, sizeof text);
  }
  close(fd);
  if (size <= 0) {
    return false;
  }
  const long long pid = LockFilePid(text, static_cast<size_t>(size));
  // EPERM: the process runs, as another user.
  return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}
