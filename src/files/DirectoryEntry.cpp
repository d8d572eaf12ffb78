#include "files/DirectoryEntry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace DirectoryEntry {

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

int syncDirectoryOf(const std::string& path) {
  int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  int result = ::fsync(fd);
  int savedErrno = errno;
  ::close(fd);
  errno = savedErrno;
  return result;
}

}  // namespace DirectoryEntry
