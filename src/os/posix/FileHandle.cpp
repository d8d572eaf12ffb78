#include "os/FileHandle.h"

#include <unistd.h>

#include "os/posix/Posix.h"

namespace Os {

void FileHandle::close() {
  if (isOpen()) {
    ::close(static_cast<int>(release()));
  }
}

int closeFile(FileHandle& file, Error& error) {
  if (file.isOpen() && ::close(static_cast<int>(file.release())) != 0) {
    error = lastSystemError();
    return -1;
  }
  return 0;
}

}  // namespace Os
