// The argument reader, in-process: what each argument reads as, the same on every host. It holds
// the tests' main too.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>

#include "driver/port_name.h"

TEST_CASE("an argument reads as a 32-bit number, blanks and one sign first") {
  const struct {
    const char* argument;
    int32_t value;
  } cases[] = {
      {"", 0}, {"0", 0}, {"00", 0}, {"+0", 0}, {"-0", 0}, {"+", 0}, {"-", 0},
      {"abc", 0}, {"x3", 0}, {" \t ", 0}, {"0x10", 0}, {"3abc", 3}, {"07", 7},
      {"-1", -1}, {"+3", 3}, {"-2147483648", INT32_MIN},
      // No blank after the sign, and only one sign.
      {"- 3", 0}, {"+-3", 0}, {"--3", 0},
      // The blanks are tab to carriage return and space, whatever the locale says.
      {" \t\n\v\f\r3", 3}, {"\b3", 0}, {"\x0e" "3", 0}, {"\x1c" "3", 0}, {"\xa0" "3", 0},
      // The bytes on either side of the digits.
      {"/", 0}, {":", 0}, {"9", 9},
      // Wrap-around, modulo 2^32.
      {"2147483648", INT32_MIN}, {"4294967296", 0}, {"4294967297", 1},
      {"18446744073709551616", 0}, {"-4294967297", -1},
  };
  for (const auto& c : cases) {
    CAPTURE(c.argument);
    CHECK(ReadArgumentValue(c.argument) == c.value);
  }
}
