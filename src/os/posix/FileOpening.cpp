#include "os/FileOpening.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "os/posix/Posix.h"

namespace Os {

int openForReading(const std::string& path, Links links, FileHandle& file, Error& error) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int descriptor = ::open(path.c_str(), links == Links::kFollow ? flags : flags | O_NOFOLLOW);
  if (descriptor < 0) {
    error = lastSystemError();
    return -1;
  }
  file = handleOf(descriptor);
  return 0;
}

int createOrEmpty(const std::string& path, Permissions permissions, FileHandle& file,
                  Error& error) {
  int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                          modeOf(permissions));
  if (descriptor < 0) {
    error = lastSystemError();
    return -1;
  }
  file = handleOf(descriptor);
  return 0;
}

int createTemporaryBeside(const std::string& path, FileHandle& file, std::string& temporaryPath,
                          Error& error) {
  std::string name = path + ".XXXXXX";
  int descriptor = ::mkostemp(name.data(), O_CLOEXEC);
  if (descriptor < 0) {
    error = lastSystemError();
    return -1;
  }
  file = handleOf(descriptor);
  temporaryPath = name;
  return 0;
}

int setPermissions(const FileHandle& file, Permissions permissions, Error& error) {
  if (::fchmod(descriptorOf(file), modeOf(permissions)) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

// The umask can only be read by setting it; it is set back at once, and no
// other thread of this tool creates files meanwhile.
int setPermissionsAsCreated(const FileHandle& file, Permissions permissions, Error& error) {
  mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(descriptorOf(file), modeOf(permissions) & ~mask) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

}  // namespace Os
