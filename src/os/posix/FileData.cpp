#include "os/FileData.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/posix/Posix.h"

namespace Os {

int readAt(const FileHandle& file, int64_t offset, char* buffer, size_t count, size_t& got,
           Error& error) {
  got = 0;
  ssize_t result;
  do {
    result = ::pread(descriptorOf(file), buffer, count, static_cast<off_t>(offset));
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    error = lastSystemError();
    return -1;
  }
  got = static_cast<size_t>(result);
  return 0;
}

int writeAll(const FileHandle& file, std::string_view bytes, size_t& written, Error& error) {
  written = 0;
  while (written < bytes.size()) {
    ssize_t result = ::write(descriptorOf(file), bytes.data() + written, bytes.size() - written);
    if (result > 0) {
      written += static_cast<size_t>(result);
    } else if (result == 0) {
      error = Error{ErrorKind::kOther, "the file took no more bytes"};
      return -1;
    } else if (errno != EINTR) {
      error = lastSystemError();
      return -1;
    }
  }
  return 0;
}

int truncate(const FileHandle& file, int64_t length, Error& error) {
  if (::ftruncate(descriptorOf(file), static_cast<off_t>(length)) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

int syncData(const FileHandle& file, Error& error) {
  if (::fdatasync(descriptorOf(file)) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

}  // namespace Os
