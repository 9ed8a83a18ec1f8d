#ifndef QUELVARN_TESTS_RUN_PROGRAM_H_
#define QUELVARN_TESTS_RUN_PROGRAM_H_

#include <string>
#include <vector>

// Where the program's standard output goes for one run.
enum class Output {
  kPipe,        // read back whole
  kTerminal,    // a pseudo-terminal in raw mode, read back whole
  kClosed,      // no descriptor 1 at all
  kFull,        // /dev/full: every write fails with ENOSPC
  kBrokenPipe,  // a pipe whose reader is gone before the program starts
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status; 128 + signal when killed; -1 on time-out
};

// Runs `command` (argv[0] looked up in PATH) in `directory` and waits for it,
// killing it after `timeout_seconds`.
Outcome RunProgram(const std::vector<std::string>& command,
                   const std::string& directory, Output output,
                   int timeout_seconds);

#endif  // QUELVARN_TESTS_RUN_PROGRAM_H_
