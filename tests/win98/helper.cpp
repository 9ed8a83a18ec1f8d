// Starts PROGRAM with the command line "PROGRAM" TAIL exactly, so that the
// tests reach the C runtime's own splitting; given FILE, holds it open
// meanwhile, as another program holding a port would. The hold shares
// reading and writing, so only the started program's share mode 0 can
// refuse it.
//
//   quelvarn_helper PROGRAM TAIL [FILE]   exits with PROGRAM's status

#include <stdio.h>
#include <windows.h>

int main(int argc, char* argv[]) {
  HANDLE held = argc < 4 ? nullptr
                         : CreateFileA(argv[3], GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
  if (argc < 3 || held == INVALID_HANDLE_VALUE) return 120;
  char line[32768];
  snprintf(line, sizeof line, "\"%s\" %s", argv[1], argv[2]);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD status = 121;
  if (CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr,
                     nullptr, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
  }
  return static_cast<int>(status);
}
