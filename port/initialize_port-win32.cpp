#include <windows.h>

#include "port/initialize_port.h"

bool InitializePort(const char* name) {
  // Share mode 0 is the exclusivity: the open fails while any other program
  // holds the device. The name goes as composed, with no "\\.\" prefix, so
  // exactly the names Windows itself resolves as devices open as devices.
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    return false;
  }
  // The open was the work; a release that fails has nothing left to undo.
  CloseHandle(port);
  return true;
}
