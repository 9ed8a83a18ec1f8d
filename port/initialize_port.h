#ifndef QUELVARN_PORT_INITIALIZE_PORT_H_
#define QUELVARN_PORT_INITIALIZE_PORT_H_

/// Opens the device `name` once, for reading and writing with no sharing,
/// and releases it at once. Returns true when it opened (the device is
/// closed again by then), false when it did not, for whatever reason.
/// Nothing is read, written or configured, and nothing is printed.
bool InitializePort(const char* name);

#endif  // QUELVARN_PORT_INITIALIZE_PORT_H_
