// libFuzzer target over what the program does with its argument before it
// touches a device: reading the value and composing the name. Every input
// is checked against an oracle written another way: the digits that the
// reading rules take, reduced modulo 2^32 with 64-bit arithmetic.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/port_name.h"

namespace {

constexpr uint64_t k2To32 = uint64_t{1} << 32;

uint32_t Oracle(const std::string& text) {
  size_t i = std::min(text.find_first_not_of(" \t\n\v\f\r"), text.size());
  const bool negative = text[i] == '-';
  i += text[i] == '+' || negative;
  uint64_t remainder = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    remainder = (remainder * 10 + static_cast<uint64_t>(text[i] - '0')) % k2To32;
  }
  return static_cast<uint32_t>(negative ? (k2To32 - remainder) % k2To32
                                        : remainder);
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An argument never holds a NUL: the input stops at the first one.
  const std::string argument(reinterpret_cast<const char*>(data),
                             strnlen(reinterpret_cast<const char*>(data), size));
  Check(static_cast<uint32_t>(ReadArgumentValue(argument.c_str())) ==
        Oracle(argument));
  char name[PORT_NAME_SIZE];
  const bool composed = ComposePortName(name, argument.c_str());
  Check(composed == (argument.size() <= PORT_NAME_SIZE - 4));
  Check(!composed || std::string(name) == "COM" + argument);
  return 0;
}
