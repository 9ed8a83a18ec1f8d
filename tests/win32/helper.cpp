// Starts a program with a command line exactly as given, so that the tests
// reach the C runtime's own splitting, optionally while holding a file open
// as another program holding a port would. The hold shares reading and
// writing, so only the started program's own share mode 0 can refuse it.
//
//   quelvarn_helper [--hold FILE] PROGRAM TAIL
//
// Runs "PROGRAM TAIL" and exits with its exit status.

#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char* argv[]) {
  int next = 1;
  HANDLE held = INVALID_HANDLE_VALUE;
  if (argc == 5 && strcmp(argv[1], "--hold") == 0) {
    held = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 120;
    next = 3;
  }
  if (argc != next + 2) return 121;

  char line[32768];
  snprintf(line, sizeof line, "\"%s\" %s", argv[next], argv[next + 1]);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return 122;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 123;
  GetExitCodeProcess(process.hProcess, &status);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return static_cast<int>(status);
}
