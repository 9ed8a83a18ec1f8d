#ifndef QUELVARN_PORT_LOCK_FILE_H_
#define QUELVARN_PORT_LOCK_FILE_H_

/// Whether /var/lock/LCK..<device> claims the device for a process that
/// still runs. Any local user can write in /var/lock, so what stands there
/// is read as hostile: only a regular file counts, never what a link names,
/// and only a PID as the FHS writes it (ASCII decimal, blanks before, at
/// most one newline after) or as a binary int of exactly its size. Anything
/// else, a stale PID or 0 included, holds nothing. The file is only read.
bool LockFileNamesALiveProcess(const char* device);

#endif  // QUELVARN_PORT_LOCK_FILE_H_
