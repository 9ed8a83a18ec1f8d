#ifndef QUELVARN_DRIVER_EXIT_STATUS_H_
#define QUELVARN_DRIVER_EXIT_STATUS_H_

// Batch files and boot scripts branch on these through ERRORLEVEL or $?, so
// the numbers are part of the interface. Success is a plain 0.

/// The command line was refused: not exactly one argument, an argument whose
/// value reads as zero, or one too long to name a port.
constexpr int EXIT_USAGE = 1;

/// The port device did not open, whatever the reason.
constexpr int EXIT_PORT_NOT_OPENED = 2;

#endif  // QUELVARN_DRIVER_EXIT_STATUS_H_
