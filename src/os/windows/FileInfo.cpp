#include "os/FileInfo.h"

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

FileKind kindOf(DWORD type, DWORD attributes) {
  switch (type) {
    case FILE_TYPE_DISK:
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return FileKind::kSymbolicLink;  // only where it was opened as itself
      }
      return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::kDirectory
                                                          : FileKind::kRegular;
    case FILE_TYPE_PIPE:
      return FileKind::kFifo;
    default:
      return FileKind::kOther;  // a character device such as NUL or a console
  }
}

}  // namespace

// The identity is the volume's serial number and the file's index on it,
// which Windows keeps for as long as the file exists. A device or a pipe has
// neither: its kind alone is told.
int examine(const FileHandle& file, FileInfo& info, Error& error) {
  HANDLE handle = nativeOf(file);
  info = FileInfo();
  DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
    error = lastWindowsError();
    return -1;
  }
  if (type != FILE_TYPE_DISK) {
    info.kind = kindOf(type, 0);
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION found{};
  if (!GetFileInformationByHandle(handle, &found)) {
    error = lastWindowsError();
    return -1;
  }
  info.kind = kindOf(type, found.dwFileAttributes);
  info.size =
      static_cast<int64_t>(static_cast<uint64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow);
  info.identity.device = found.dwVolumeSerialNumber;
  info.identity.inode = static_cast<uint64_t>(found.nFileIndexHigh) << 32 | found.nFileIndexLow;
  return 0;
}

// Opened for its attributes only, which no share mode of another process
// refuses.
int examineName(const std::string& path, Links links, FileInfo& info, Error& error) {
  HANDLE handle = openFile(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, links);
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastWindowsError();
    return -1;
  }
  FileHandle file = handleOf(handle);
  return examine(file, info, error);
}

}  // namespace Os
