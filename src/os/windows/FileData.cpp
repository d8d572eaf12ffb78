#include "os/FileData.h"

#include <algorithm>

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// One ReadFile or WriteFile moves at most this much.
constexpr size_t kLargestTransfer = size_t{1} << 30;

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

}  // namespace

// An explicit offset: the handle's own position is never used by the layer,
// so moving it does no harm. Past the end is no error.
int readAt(const FileHandle& file, int64_t offset, char* buffer, size_t count, size_t& got,
           Error& error) {
  got = 0;
  OVERLAPPED position = at(static_cast<uint64_t>(offset));
  DWORD read = 0;
  DWORD wanted = static_cast<DWORD>(std::min(count, kLargestTransfer));
  if (!ReadFile(nativeOf(file), buffer, wanted, &read, &position)) {
    if (GetLastError() == ERROR_HANDLE_EOF) {
      return 0;
    }
    error = lastWindowsError();
    return -1;
  }
  got = read;
  return 0;
}

// Every write of the layer goes to the file's end, as O_APPEND does on
// POSIX: the shared files are appended to under the writers' lock, and the
// files written whole are written from their start by one writer, whose end
// is where the next byte belongs. An offset of all ones is Windows' "end of
// file"; a pipe or a device takes no offset.
int writeAll(const FileHandle& file, std::string_view bytes, size_t& written, Error& error) {
  written = 0;
  HANDLE handle = nativeOf(file);
  bool disk = GetFileType(handle) == FILE_TYPE_DISK;
  while (written < bytes.size()) {
    OVERLAPPED end = at(~uint64_t{0});
    DWORD wrote = 0;
    DWORD count = static_cast<DWORD>(std::min(bytes.size() - written, kLargestTransfer));
    if (!WriteFile(handle, bytes.data() + written, count, &wrote, disk ? &end : nullptr)) {
      error = lastWindowsError();
      return -1;
    }
    if (wrote == 0) {
      error = Error{ErrorKind::kOther, "the file took no more bytes"};
      return -1;
    }
    written += wrote;
  }
  return 0;
}

int truncate(const FileHandle& file, int64_t length, Error& error) {
  LARGE_INTEGER end;
  end.QuadPart = length;
  if (!SetFilePointerEx(nativeOf(file), end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(nativeOf(file))) {
    error = lastWindowsError();
    return -1;
  }
  return 0;
}

// Windows flushes a file only through a handle that may write it, where
// POSIX syncs through any: a file opened for reading (a transfer file that a
// killed pass may have left in memory) is opened again for writing for it.
int syncData(const FileHandle& file, Error& error) {
  if (FlushFileBuffers(nativeOf(file))) {
    return 0;
  }
  DWORD failure = GetLastError();
  if (failure == ERROR_ACCESS_DENIED) {
    FileHandle writable = handleOf(ReOpenFile(nativeOf(file), GENERIC_WRITE, kShareAll, 0));
    if (writable.isOpen() && FlushFileBuffers(nativeOf(writable))) {
      return 0;
    }
    failure = GetLastError();
  }
  error = windowsError(failure);
  return -1;
}

}  // namespace Os
