#include "run/PassLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "files/ErrorOutput.h"

namespace PassLock {

namespace {

// Open until the process ends; closing it would release the lock.
int heldLock = -1;

bool lockWaiting(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Takes the lock on fd, waiting for a pass that holds it. Returns 0 when
// held, else -1 with errno set.
int lockOrWait(int fd) {
  if (lockWaiting(fd, LOCK_EX | LOCK_NB)) {
    return 0;
  }
  if (errno != EWOULDBLOCK) {
    return -1;
  }
  ErrorOutput::report(ErrorOutput::Priority::kNotice,
                      "another pass runs in this working directory; waiting for it to end");
  return lockWaiting(fd, LOCK_EX) ? 0 : -1;
}

// Keeps fd (just opened, or -1 with errno set) as the held lock once it is
// locked; otherwise closes it and says why in cause.
bool holdLock(int fd, std::string& cause) {
  if (fd >= 0 && lockOrWait(fd) == 0) {
    heldLock = fd;
    return true;
  }
  cause = std::strerror(errno);
  if (fd >= 0) {
    ::close(fd);
  }
  return false;
}

}  // namespace

// The working directory stands for the installation: the run log's fixed
// path and the default transfer file both hang off it. Passes of this tool
// are the only ones that lock it.
//
// Where a directory opened for reading cannot be locked exclusively (NFS
// turns the lock into a write lock, which needs a descriptor open for
// writing), the lock file in it is locked instead. The choice depends on the
// file system alone, so all passes of one working directory make the same.
int acquire() {
  std::string directoryCause;
  std::string fileCause;
  if (holdLock(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), directoryCause) ||
      holdLock(::open(kLockFileName, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666),
               fileCause)) {
    return 0;
  }
  ErrorOutput::report(ErrorOutput::Priority::kNotice,
                      "cannot lock the working directory (%s) nor its file %s (%s); running "
                      "without the pass lock",
                      directoryCause.c_str(), kLockFileName, fileCause.c_str());
  return -1;
}

// A shared lock for an instant keeps no pass waiting. The lock file is only
// looked at where the directory cannot be locked, as a pass would.
int probe(std::string& cause) {
  int directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0 && ::flock(directory, LOCK_SH | LOCK_NB) == 0) {
    ::close(directory);
    return kFree;
  }
  bool held = directory >= 0 && errno == EWOULDBLOCK;
  std::string directoryCause = std::strerror(errno);
  if (directory >= 0) {
    ::close(directory);
  }
  if (held) {
    return kHeld;
  }
  int file = ::open(kLockFileName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (file < 0 && errno == ENOENT && ::access(".", W_OK) == 0) {
    return kFileLockFree;
  }
  if (file >= 0 && ::flock(file, LOCK_SH | LOCK_NB) == 0) {
    ::close(file);
    return kFileLockFree;
  }
  held = file >= 0 && errno == EWOULDBLOCK;
  cause = "the directory: " + directoryCause + "; " + kLockFileName + ": " + std::strerror(errno);
  if (file >= 0) {
    ::close(file);
  }
  return held ? kHeld : kUnlockable;
}

}  // namespace PassLock
