// The lock file's PID, in-process: every shape that the FHS, minicom and lockdev write, and
// what any local user may write instead, which names no process.
#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "port/lock_file.h"

namespace {

std::string Binary(int pid) {
  return std::string(reinterpret_cast<const char*>(&pid), sizeof pid);
}

}  // namespace

TEST_CASE("a lock file names a PID only in the FHS's form or as a binary int") {
  const struct {
    std::string text;
    long long pid;
  } cases[] = {
      {"      4321\n", 4321},  // as the FHS, minicom and lockdev write it
      {"4321", 4321},          // without its newline
      {Binary(4321), 4321},
      {"   1", 1},  // four bytes, read as text first
      {std::string(17, ' ') + "4321\n", 4321},  // as long as a PID's form can be
      {"2147483647\n", 2147483647},
      {"", 0}, {"         0\n", 0}, {Binary(-1), 0}, {"2147483648\n", 0},
      {std::string(18, ' ') + "4321\n", 0},  // a byte longer than any form
      {Binary(4321) + '\0', 0}, {"\t4321\n", 0}, {"      4321x\n", 0},
      {"      4321\r", 0}, {"      4321\nx", 0}, {"-4321\n", 0},
      // 2^32 and 2^64 more than a PID, which a reader that wraps takes for it.
      {"4294971617\n", 0}, {"18446744073709555937\n", 0},
  };
  for (const auto& c : cases) {
    CAPTURE(c.text);
    CHECK(LockFilePid(c.text.data(), c.text.size()) == c.pid);
  }
}
