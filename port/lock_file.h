#ifndef QUELVARN_PORT_LOCK_FILE_H_
#define QUELVARN_PORT_LOCK_FILE_H_

#include <stddef.h>

/// Whether /var/lock/LCK..<device> claims the device for a process that
/// still runs. Any local user can write in /var/lock, so what stands there
/// is read as hostile: only a regular file counts, never what a link names,
/// and only a PID that LockFilePid reads. The file is only read.
bool LockFileNamesALiveProcess(const char* device);

/// The PID that a lock file of `size` bytes holds, as the FHS writes it
/// (ASCII decimal, blanks before, at most one newline after) or as a binary
/// int of exactly its size; 0 for anything else, a PID of 0 or less, one
/// past INT_MAX or a file longer than either form included.
long long LockFilePid(const char* text, size_t size);

/// Bytes of the longest lock file that LockFilePid reads: the FHS form of
/// the most negative int, and its newline.
constexpr size_t LOCK_FILE_LONGEST = sizeof "          -2147483648\n" - 1;

#endif  // QUELVARN_PORT_LOCK_FILE_H_
