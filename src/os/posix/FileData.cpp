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

int readFromStart(const FileHandle& file, size_t longest, std::string& bytes, Error& error) {
  const size_t kChunkBytes = 64 * 1024;
  bytes.clear();
  while (bytes.size() < longest) {
    size_t had = bytes.size();
    bytes.resize(had + std::min(kChunkBytes, longest - had));
    size_t got = 0;
    int result =
        readAt(file, static_cast<int64_t>(had), bytes.data() + had, bytes.size() - had, got, error);
    bytes.resize(had + got);
    if (result != 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
  }
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
