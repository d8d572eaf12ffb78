#include "os/WorkingDirectoryLock.h"

#include "os/AccessCheck.h"
#include "os/SharedFile.h"
#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// Open until the process ends; closing it would release the lock.
FileHandle heldLock;

// LockFileEx takes files only: on Windows every process of this tool locks
// the lock file, so they all make the same choice.
Error directoryCannotBeLocked() {
  return Error{ErrorKind::kUnsupported, "a directory cannot be locked on Windows"};
}

// The byte of the writers' lock (SharedFile), taken shared for an instant:
// that keeps no process waiting.
int probeLock(HANDLE handle, Error& error) {
  if (lockWritersByte(handle, LOCKFILE_FAIL_IMMEDIATELY)) {
    unlockWritersByte(handle);
    return kLockFileFree;
  }
  error = lastWindowsError();
  return error.kind == ErrorKind::kWouldBlock ? kLockHeld : kLockUnavailable;
}

}  // namespace

int lockWorkingDirectory(const char* lockFileName, const std::function<void()>& beforeWaiting,
                         Error& directoryError, Error& lockFileError) {
  directoryError = directoryCannotBeLocked();
  HANDLE handle =
      openFile(lockFileName, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, Links::kDoNotFollow);
  if (handle == INVALID_HANDLE_VALUE) {
    lockFileError = lastWindowsError();
    return -1;
  }
  FileHandle file = handleOf(handle);
  if (lockForWriters(file, beforeWaiting, lockFileError) != 0) {
    return -1;
  }
  heldLock = std::move(file);
  return 0;
}

// A missing lock file is free where it could be created.
int probeWorkingDirectoryLock(const char* lockFileName, Error& directoryError,
                              Error& lockFileError) {
  directoryError = directoryCannotBeLocked();
  HANDLE handle = openFile(lockFileName, GENERIC_READ, OPEN_EXISTING, Links::kDoNotFollow);
  if (handle == INVALID_HANDLE_VALUE) {
    lockFileError = lastWindowsError();
    if (lockFileError.kind == ErrorKind::kNotFound &&
        checkAccess(".", Access::kCreateFilesIn, lockFileError) == 0) {
      return kLockFileFree;
    }
    return kLockUnavailable;
  }
  FileHandle file = handleOf(handle);
  return probeLock(handle, lockFileError);
}

}  // namespace Os
