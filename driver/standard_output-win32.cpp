#include "driver/standard_output.h"

// The C runtime (msvcrt.dll) already does all of it: stdout opens in text
// mode, is flushed after each call on a console and buffered in 4096 bytes
// otherwise, and a failed write is only an error code that nobody reads.
void PrepareStandardOutput() {}
