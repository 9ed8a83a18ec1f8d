#ifndef QUELVARN_DRIVER_STANDARD_OUTPUT_H_
#define QUELVARN_DRIVER_STANDARD_OUTPUT_H_

/// Sets standard output up the way the Windows C runtime has it, before the
/// first text: on a character device (a console) every text is out before
/// the next step, to a file or pipe the texts gather in one 4096-byte buffer
/// written at exit; and a write that fails changes neither the flow nor the
/// exit status.
void PrepareStandardOutput();

#endif  // QUELVARN_DRIVER_STANDARD_OUTPUT_H_
