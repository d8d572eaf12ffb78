#pragma once

#include <functional>

#include "os/Error.h"

// A lock that stands for the working directory, held from when it is taken
// until the process ends: the lock dies with the process, so a process
// killed never leaves it behind. Only processes of this tool take it.
//
// The working directory itself is locked where its file system can lock a
// directory; elsewhere (NFS) a lock file in it is. The choice depends on the
// file system alone, so all processes of one working directory make the
// same one.
namespace Os {

// Takes the lock, waiting for a process that holds it (beforeWaiting, if
// set, is called once first). lockFileName names the lock file, created when
// needed and never removed. Returns 0 when held, or -1 when neither the
// directory nor the lock file can be locked, with each one's error set.
int lockWorkingDirectory(const char* lockFileName, const std::function<void()>& beforeWaiting,
                         Error& directoryError, Error& lockFileError);

// Results of probeWorkingDirectoryLock.
inline constexpr int kLockFree = 0;
inline constexpr int kLockFileFree = 1;  // free; processes here lock the lock file
inline constexpr int kLockHeld = 2;
inline constexpr int kLockUnavailable = -1;

// Whether a process holds the lock now, found without waiting, without
// keeping a process that wants it waiting, and without creating anything.
// On kLockUnavailable, each error says why its lock cannot be had.
int probeWorkingDirectoryLock(const char* lockFileName, Error& directoryError,
                              Error& lockFileError);

}  // namespace Os
