// Quelvarn: opens one serial port once, exclusively, and releases it at
// once, which is what a port left unusable by Windows 98 SE needs to work
// again. One pass: banner, argument, port, one message, exit status.

#include <stdio.h>
#include <stdlib.h>

#include "driver/exit_status.h"
#include "driver/messages.h"
#include "driver/port_name.h"
#include "driver/standard_output.h"
#include "port/initialize_port.h"

int main(int argc, char* argv[]) {
  PrepareStandardOutput();
  fputs(kBanner, stdout);

  // The count is tested first: with any other count argv[1] is never read.
  // Which test refused the argument is not told.
  char name[PORT_NAME_SIZE];
  if (argc != 2 || ReadArgumentValue(argv[1]) == 0 ||
      !ComposePortName(name, argv[1])) {
    fputs(kUsage, stdout);
    exit(EXIT_USAGE);
  }

  if (!InitializePort(name)) {
    fputs(kOpenFailure, stdout);
    exit(EXIT_PORT_NOT_OPENED);
  }

  printf(QUELVARN_CONFIRMATION_FORMAT, name);
  return 0;
}
