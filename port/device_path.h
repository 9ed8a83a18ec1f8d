#ifndef QUELVARN_PORT_DEVICE_PATH_H_
#define QUELVARN_PORT_DEVICE_PATH_H_

/// The device that the port name opens on Linux. Win32 resolves "COM1" to
/// "COM9" as serial devices wherever they appear, and Linux calls the same
/// ports /dev/ttyS0 to /dev/ttyS8; any other name ("COM07", "COM10",
/// "COM3abc") is a plain path, relative to the working directory, as it is
/// on Windows. Returns name itself, or device, which it fills in.
const char* DevicePath(const char* name, char (&device)[sizeof "/dev/ttyS0"]);

#endif  // QUELVARN_PORT_DEVICE_PATH_H_
