#include "driver/port_name.h"

#include <stdio.h>
#include <string.h>

#include "driver/messages.h"

int32_t ReadArgumentValue(const char* argument) {
  // Byte tests rather than <cctype>: those follow the locale and, on the
  // Windows C runtime, the code page, and the answer must not.
  const char* p = argument;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Unsigned arithmetic wraps where signed would overflow.
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10U + static_cast<uint32_t>(*p - '0');
  }
  if (negative) {
    value = 0U - value;
  }
  return static_cast<int32_t>(value);
}

bool ComposePortName(char (&name)[PORT_NAME_SIZE], const char* argument) {
  constexpr size_t kLongestArgument = PORT_NAME_SIZE - sizeof "COM";
  if (strlen(argument) > kLongestArgument) {
    return false;
  }
  // The length test above is the bound: snprintf would be nicer, but the
  // Windows 98 C runtime has only _snprintf, which does not terminate.
  // NOLINTNEXTLINE(cert-err33-c,clang-analyzer-security.insecureAPI.DeprecatedOrUnsafeBufferHandling)
  sprintf(name, QUELVARN_PORT_NAME_FORMAT, argument);
  return true;
}
