#include "os/SharedFile.h"

#include "os/FileInfo.h"
#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// Opens an existing file for reading and writing, or for what options allow
// instead. Returns the handle, or INVALID_HANDLE_VALUE with the last error
// set.
HANDLE openExisting(const std::string& path, const SharedFileOptions& options, SharedFile& file) {
  file.readable = true;
  HANDLE handle = openFile(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, options.links);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
      options.whenDenied != WhenReadWriteDenied::kFail) {
    file.readable = options.whenDenied == WhenReadWriteDenied::kReadOnly;
    DWORD access = file.readable ? GENERIC_READ : GENERIC_WRITE;
    handle = openFile(path, access, OPEN_EXISTING, options.links);
  }
  return handle;
}

// The file under the name, created if options say so, so that created
// tells whether this call made it. The name may vanish and reappear between
// the attempts to open and to create it.
int openOrCreate(const std::string& path, const SharedFileOptions& options, SharedFile& file,
                 Error& error) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 4 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    handle = openExisting(path, options, file);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND ||
        !options.create) {
      break;
    }
    file.readable = true;
    handle = openFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, options.links);
    file.created = handle != INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastWindowsError();
    return -1;
  }
  file.handle = handleOf(handle);
  if (options.links == Links::kDoNotFollow && isReparsePoint(handle)) {
    error = symbolicLinkRefused();
    return -1;
  }
  return 0;
}

// Windows has no FIFO under a file's name, so acceptFifo changes nothing.
int openByKind(const std::string& path, const SharedFileOptions& options, SharedFile& file,
               Error& error) {
  if (options.regularOnly) {
    FileInfo info;
    if (examineName(path, options.links, info, error) != 0) {
      return -1;
    }
    if (info.kind != FileKind::kRegular) {
      error = Error{ErrorKind::kNotRegularFile, "not a regular file"};
      return -1;
    }
  }
  return openOrCreate(path, options, file, error);
}

}  // namespace

int openShared(const std::string& path, const SharedFileOptions& options, SharedFile& file,
               Error& error) {
  file = SharedFile();
  if (openByKind(path, options, file, error) != 0) {
    file = SharedFile();
    return -1;
  }
  return 0;
}

// The lock ends with the handle, also when the process is killed.
int lockForWriters(const FileHandle& file, const std::function<void()>& beforeWaiting,
                   Error& error) {
  HANDLE handle = nativeOf(file);
  if (lockWritersByte(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) {
    return 0;
  }
  DWORD failure = GetLastError();
  if (failure == ERROR_LOCK_VIOLATION || failure == ERROR_IO_PENDING) {
    if (beforeWaiting) {
      beforeWaiting();
    }
    if (lockWritersByte(handle, LOCKFILE_EXCLUSIVE_LOCK)) {
      return 0;
    }
    failure = GetLastError();
  }
  error = windowsError(failure);
  return -1;
}

}  // namespace Os
