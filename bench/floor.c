/* The floor for one run of "Quelvarn 1" on Linux x86_64: the same system
 * calls and nothing else, with no C library and no start-up code. Built by
 * bench/run with -nostdlib -static; no program can do the job for less. */
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

static long Call(long number, long a, long b, long c) {
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c)
                   : "rcx", "r11", "memory");
  return result;
}

static const char kBanner[] =
    "Quelvarn: Programa para patchear problema de puertos seriales bajo "
    "Windows 98 SE\nCompa\xA4\xA1"
    "a Ketravol\n";
static const char kDone[] = "COM1 inicializado\n";

void _start(void) {
  int exclusive = 0;
  char resolved[4096];
  Call(SYS_write, 1, (long)kBanner, sizeof kBanner - 1);
  long fd = Call(SYS_open, (long)"/dev/ttyS0",
                 O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
  Call(SYS_ioctl, fd, TIOCGEXCL, (long)&exclusive);
  Call(SYS_flock, fd, LOCK_EX | LOCK_NB, 0);
  Call(SYS_open, (long)"/var/lock/LCK..ttyS0",
       O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
  Call(SYS_readlink, (long)"/proc/self/fd/3", (long)resolved,
       sizeof resolved - 1);
  Call(SYS_close, fd, 0, 0);
  Call(SYS_write, 1, (long)kDone, sizeof kDone - 1);
  Call(SYS_exit_group, 0, 0, 0);
}
