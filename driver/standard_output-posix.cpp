#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/standard_output.h"

void PrepareStandardOutput() {
  // A reader that has gone away costs the text, not the exit status: with
  // SIGPIPE's default a caller would see a death by signal, not 0, 1 or 2.
  signal(SIGPIPE, SIG_IGN);

  struct stat status {};
  if (fstat(STDOUT_FILENO, &status) != 0) {
    return;  // No standard output: every write fails quietly anyway.
  }
  if (S_ISCHR(status.st_mode)) {
    // On a terminal the banner must show before the port is opened.
    setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    static char buffer[4096];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
}
