#ifndef QUELVARN_DRIVER_PORT_NAME_H_
#define QUELVARN_DRIVER_PORT_NAME_H_

#include <stdint.h>

/// Bytes in the port device name buffer, terminator included: "COM" and at
/// most 124 bytes of argument.
constexpr int PORT_NAME_SIZE = 128;

/// Reads the port argument as a 32-bit number, the same on every host and
/// in every locale: skips leading blanks (tab to carriage return, space),
/// takes at most one sign and then decimal digits up to the first non-digit.
/// Wraps modulo 2^32 instead of overflowing. Only zero versus non-zero is
/// used, to accept or refuse the argument.
int32_t ReadArgumentValue(const char* argument);

/// Writes "COM" and the argument, byte for byte, into `name`. Returns false,
/// writing nothing, when the argument is too long to fit.
bool ComposePortName(char (&name)[PORT_NAME_SIZE], const char* argument);

#endif  // QUELVARN_DRIVER_PORT_NAME_H_
