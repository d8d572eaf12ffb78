#include "os/FileHandle.h"

#include "os/windows/WindowsApi.h"

namespace Os {

void FileHandle::close() {
  if (isOpen()) {
    CloseHandle(reinterpret_cast<HANDLE>(release()));
  }
}

int closeFile(FileHandle& file, Error& error) {
  if (file.isOpen() && !CloseHandle(reinterpret_cast<HANDLE>(file.release()))) {
    error = lastWindowsError();
    return -1;
  }
  return 0;
}

}  // namespace Os
