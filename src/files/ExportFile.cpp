#include "files/ExportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ExportFile {

namespace {

bool writeAll(int fd, std::string_view text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// A booking is marked transferred only after its line is here, so the line
// must be on disk before this returns success; anything short of that is a
// failure, and whatever part of the line did reach the file is cut off again.
int appendLine(const std::string& path, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    return -1;
  }
  struct stat before {};
  if (::fstat(fd, &before) != 0) {
    ::close(fd);
    return -1;
  }
  bool durable = writeAll(fd, text) && ::fdatasync(fd) == 0;
  if (!durable) {
    if (::ftruncate(fd, before.st_size) == 0) {
      ::fdatasync(fd);
    }
    ::close(fd);
    return -1;
  }
  // The line is durable; a failing close cannot take it back.
  ::close(fd);
  return 0;
}

int testAppend(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    return -1;
  }
  std::fclose(file);
  return 0;
}

}  // namespace ExportFile
