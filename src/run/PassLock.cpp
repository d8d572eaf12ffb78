#include "run/PassLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/ErrorOutput.h"

namespace PassLock {

namespace {

// Open until the process ends; closing it would release the lock.
int lockedDirectory = -1;

bool lockDirectory(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

// The working directory stands for the installation: the run log's fixed
// path and the default transfer file both hang off it. Passes of this tool
// are the only ones that lock it.
int acquire() {
  int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "cannot open the working directory to lock it: %s; running without the "
                        "pass lock",
                        std::strerror(errno));
    return -1;
  }
  if (!lockDirectory(fd, LOCK_EX | LOCK_NB)) {
    if (errno != EWOULDBLOCK) {
      ErrorOutput::report(ErrorOutput::Priority::kNotice,
                          "cannot lock the working directory: %s; running without the pass lock",
                          std::strerror(errno));
      ::close(fd);
      return -1;
    }
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "another pass runs in this working directory; waiting for it to end");
    if (!lockDirectory(fd, LOCK_EX)) {
      ErrorOutput::report(ErrorOutput::Priority::kNotice,
                          "cannot lock the working directory: %s; running without the pass lock",
                          std::strerror(errno));
      ::close(fd);
      return -1;
    }
  }
  lockedDirectory = fd;
  return 0;
}

}  // namespace PassLock
