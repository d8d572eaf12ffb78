#include "os/StandardStreams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "os/posix/Posix.h"

namespace Os {

void writeStandardError(std::string_view text) {
  ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

int identifyStandardError(FileIdentity& identity, Error& error) {
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) {
    error = lastSystemError();
    return -1;
  }
  identity.device = static_cast<uint64_t>(info.st_dev);
  identity.inode = static_cast<uint64_t>(info.st_ino);
  return 0;
}

// The stream's error flag stays set after a failed write while its cause
// may be long overwritten: a failure without a cause of its own now is told
// as a plain write error.
int flushStandardOutput(Error& error) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    error = errno != 0 ? lastSystemError() : Error{ErrorKind::kOther, "write error"};
    return -1;
  }
  return 0;
}

// POSIX streams have no text mode.
void useBinaryStandardOutput() {}

}  // namespace Os
