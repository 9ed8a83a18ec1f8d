#include "driver/port_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

struct ValueCase {
  const char* argument;
  std::int32_t value;
};

TEST(ReadArgumentValue, ReadsLikeTheProgramsItReplaces) {
  const ValueCase cases[] = {
      {"3", 3},
      {"07", 7},
      {"3abc", 3},
      {"3%s", 3},
      {"1 2", 1},
      {"+5", 5},
      {"-1", -1},
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},
      {"-2147483648", INT32_MIN},
      // The six blanks, and only those, are skipped.
      {" \t\n\v\f\r9", 9},
      {"\xA0"
       "9",
       0},
      {"\x1C"
       "9",
       0},
      // Nothing is skipped after the sign, and only one sign is taken.
      {"- 3", 0},
      {"+-3", 0},
      {"--3", 0},
      {"-+3", 0},
      // No digits at all.
      {"", 0},
      {"   ", 0},
      {"+", 0},
      {"-", 0},
      {"abc", 0},
      {"x3", 0},
      {"0x10", 0},
      {"0", 0},
      {"00", 0},
      {"+0", 0},
      {"-0", 0},
      // Wrap-around modulo 2^32 instead of overflow.
      {"4294967295", -1},
      {"4294967296", 0},
      {"4294967297", 1},
      {"-4294967297", -1},
      {"8589934592", 0},            // 2 * 2^32
      {"18446744073709551616", 0},  // 2^64
      {"18446744073709551617", 1},
      {"99999999999999999999999", -159383553},
  };
  for (const ValueCase& c : cases) {
    EXPECT_EQ(ReadArgumentValue(c.argument), c.value)
        << '"' << c.argument << '"';
  }
}

TEST(ReadArgumentValue, TakesEveryDigitOfALongArgument) {
  // 1 followed by 300 zeros: 10^300 is a multiple of 2^32 (2^300 divides it).
  std::string digits = "1" + std::string(300, '0');
  EXPECT_EQ(ReadArgumentValue(digits.c_str()), 0);
  digits.back() = '7';
  EXPECT_EQ(ReadArgumentValue(digits.c_str()), 7);
}

TEST(ComposePortName, CopiesTheArgumentByteForByte) {
  const char* const arguments[] = {"3",   "07",    " 3",      "-1",
                                   "1 2", "3%s%n", "a\\b\"c", "\xA4\xFF\x80"};
  for (const char* argument : arguments) {
    char name[PORT_NAME_SIZE];
    ASSERT_TRUE(ComposePortName(name, argument)) << argument;
    EXPECT_EQ(std::string(name), std::string("COM") + argument);
  }
}

TEST(ComposePortName, RefusesAnArgumentThatWouldNotFitAndWritesNothing) {
  for (const std::size_t length : {0U, 1U, 123U, 124U, 125U, 126U, 4096U}) {
    const std::string argument(length, '7');
    char name[PORT_NAME_SIZE + 1];
    std::memset(name, '#', sizeof name);
    const bool fits = ComposePortName(
        *reinterpret_cast<char(*)[PORT_NAME_SIZE]>(name), argument.c_str());
    EXPECT_EQ(fits, length <= 124) << length;
    if (fits) {
      EXPECT_EQ(std::strlen(name), 3 + length);
    } else {
      EXPECT_EQ(name[0], '#') << length;
    }
    EXPECT_EQ(name[PORT_NAME_SIZE], '#')
        << "wrote past the buffer at " << length;
  }
}

}  // namespace
