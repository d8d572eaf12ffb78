#include "os/WorkingDirectoryLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "os/SharedFile.h"
#include "os/posix/Posix.h"

namespace Os {

namespace {

// Open until the process ends; closing it would release the lock.
FileHandle heldLock;

// Keeps descriptor (just opened, or -1 with errno set) as the held lock once
// it is locked. Returns whether it is held, else sets error.
bool holdLock(int descriptor, const std::function<void()>& beforeWaiting, Error& error) {
  if (descriptor < 0) {
    error = lastSystemError();
    return false;
  }
  FileHandle file = handleOf(descriptor);
  if (lockForWriters(file, beforeWaiting, error) != 0) {
    return false;
  }
  heldLock = std::move(file);
  return true;
}

// A shared lock for an instant keeps no process waiting. Returns kLockFree,
// kLockHeld, or kLockUnavailable with error set.
int probeLock(int descriptor, Error& error) {
  if (descriptor < 0) {
    error = lastSystemError();
    return kLockUnavailable;
  }
  FileHandle file = handleOf(descriptor);
  if (::flock(descriptor, LOCK_SH | LOCK_NB) == 0) {
    return kLockFree;
  }
  error = lastSystemError();
  return error.kind == ErrorKind::kWouldBlock ? kLockHeld : kLockUnavailable;
}

int openDirectory() {
  return ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

// Where a directory opened for reading cannot be locked exclusively (NFS
// turns the lock into a write lock, which needs a descriptor open for
// writing), the lock file is locked instead.
int lockWorkingDirectory(const char* lockFileName, const std::function<void()>& beforeWaiting,
                         Error& directoryError, Error& lockFileError) {
  if (holdLock(openDirectory(), beforeWaiting, directoryError)) {
    return 0;
  }
  int lockFile = ::open(lockFileName, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                        modeOf(Permissions::kShared));
  return holdLock(lockFile, beforeWaiting, lockFileError) ? 0 : -1;
}

// The lock file is only looked at where the directory cannot be locked, as
// a process taking the lock would. A missing lock file is free where it
// could be created.
int probeWorkingDirectoryLock(const char* lockFileName, Error& directoryError,
                              Error& lockFileError) {
  int directory = probeLock(openDirectory(), directoryError);
  if (directory != kLockUnavailable) {
    return directory;
  }
  int lockFile = ::open(lockFileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (lockFile < 0 && errno == ENOENT && ::access(".", W_OK) == 0) {
    return kLockFileFree;
  }
  int state = probeLock(lockFile, lockFileError);
  return state == kLockFree ? kLockFileFree : state;
}

}  // namespace Os
