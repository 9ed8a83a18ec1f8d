// Which device a port name opens on Linux, in-process.
#include <doctest/doctest.h>

#include <string>

#include "port/device_path.h"

TEST_CASE("COM1 to COM9 open /dev/ttyS0 to /dev/ttyS8, any other name itself") {
  const struct {
    const char* name;
    const char* opened;
  } cases[] = {
      {"COM1", "/dev/ttyS0"}, {"COM9", "/dev/ttyS8"}, {"COM0", "COM0"}, {"COM10", "COM10"},
      {"COM1x", "COM1x"}, {"COM07", "COM07"}, {"com1", "com1"}, {"CON1", "CON1"},
  };
  for (const auto& c : cases) {
    CAPTURE(c.name);
    char device[sizeof "/dev/ttyS0"];
    CHECK(std::string(DevicePath(c.name, device)) == c.opened);
  }
}
