// The yardsticks for Quelvarn.exe's run time under Wine: a console program
// with the same start-up and C runtime that only returns, or, given a name,
// first opens and closes it the way Quelvarn does and nothing else.

#include <windows.h>

int main(int argc, char* argv[]) {
  if (argc == 2) {
    CloseHandle(CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr));
  }
  return 0;
}
