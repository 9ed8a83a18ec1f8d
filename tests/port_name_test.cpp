#include "driver/port_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// What the end-to-end table cannot see: the value itself, not only whether
// it is zero, around the edges of 32 bits.
TEST(ReadArgumentValue, WrapsModulo2To32AndSkipsOnlyTheSixBlanks) {
  const struct {
    const char* argument;
    std::int32_t value;
  } cases[] = {
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},
      {"-2147483648", INT32_MIN},
      {"4294967295", -1},
      {"-4294967297", -1},
      {"99999999999999999999999", -159383553},
      {" \t\n\v\f\r9", 9},
      {"\xA0"
       "9",
       0},
      {"\x1C"
       "9",
       0},
      {"-+3", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadArgumentValue(c.argument), c.value)
        << '"' << c.argument << '"';
  }
}

TEST(ComposePortName, NeverWritesPastTheName) {
  for (const std::size_t length : {0U, 124U, 125U, 4096U}) {
    const std::string argument(length, '7');
    char name[PORT_NAME_SIZE + 1];
    std::memset(name, '#', sizeof name);
    const bool fits = ComposePortName(
        *reinterpret_cast<char(*)[PORT_NAME_SIZE]>(name), argument.c_str());
    EXPECT_EQ(fits, length <= 124) << length;
    EXPECT_EQ(name[fits ? 3 + length : 0], fits ? '\0' : '#') << length;
    EXPECT_EQ(name[PORT_NAME_SIZE], '#') << "wrote past the name at " << length;
  }
}

}  // namespace
