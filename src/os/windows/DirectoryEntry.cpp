#include "os/DirectoryEntry.h"

#include "os/windows/WindowsApi.h"

namespace Os {

// Names may be written with "\" or "/". A drive's root keeps its separator:
// "C:" alone would name the drive's working directory.
std::string directoryOf(const std::string& path) {
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) {
    return ".";
  }
  if (separator == 0 || (separator == 2 && path[1] == ':')) {
    return path.substr(0, separator + 1);
  }
  return path.substr(0, separator);
}

// NTFS journals its names: a renamed or created file's name survives a crash
// without a sync, and a directory cannot be synced like a file anyway.
int syncDirectoryOf(const std::string&, Error&) {
  return 0;
}

// A file removed while open stays under its name until its last handle
// closes, as delete pending.
bool namesFile(const std::string& path, const FileHandle& file) {
  FileInfo opened;
  FileInfo named;
  Error ignored;
  FILE_STANDARD_INFO standard{};
  return examine(file, opened, ignored) == 0 &&
         GetFileInformationByHandleEx(nativeOf(file), FileStandardInfo, &standard,
                                      sizeof standard) &&
         !standard.DeletePending && examineName(path, Links::kFollow, named, ignored) == 0 &&
         named.identity == opened.identity;
}

int replaceFile(const std::string& from, const std::string& to, Error& error) {
  if (!MoveFileExW(widePath(from).c_str(), widePath(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = lastWindowsError();
    return -1;
  }
  return 0;
}

// Windows cannot give a name to another file while a handle holds the file
// under it, so the caller's handle goes first. A process that opens the old
// file in between keeps it from being replaced: the rename then fails, and
// nobody is left writing to a file without a name.
int replaceHeldFile(const std::string& from, const std::string& to, FileHandle& held,
                    Error& error) {
  held.close();
  return replaceFile(from, to, error);
}

int moveWithoutReplacing(const std::string& from, const std::string& to, Error& error) {
  if (!MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    error = lastWindowsError();
    return -1;
  }
  return 0;
}

int linkWithoutReplacing(const std::string& existing, const std::string& newName, Error& error) {
  if (!CreateHardLinkW(widePath(newName).c_str(), widePath(existing).c_str(), nullptr)) {
    error = lastWindowsError();
    return -1;
  }
  return 0;
}

// An empty directory in the way goes too, as on POSIX.
int removeFile(const std::string& path, Error& error) {
  std::wstring name = widePath(path);
  if (DeleteFileW(name.c_str())) {
    return 0;
  }
  DWORD failure = GetLastError();
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      RemoveDirectoryW(name.c_str())) {
    return 0;
  }
  error = windowsError(failure);
  return -1;
}

// A directory without entries (a drive's root has not even "." and "..")
// makes FindFirstFileW fail with ERROR_FILE_NOT_FOUND: no failure here.
int listDirectory(const std::string& directory, std::vector<std::string>& names, Error& error) {
  names.clear();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(widePath(directory + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND) {
      return 0;
    }
    error = windowsError(failure);
    return -1;
  }
  for (bool more = true; more; more = FindNextFileW(search, &found) != 0) {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") {
      names.push_back(narrowPath(name));
    }
  }
  DWORD failure = GetLastError();
  FindClose(search);
  if (failure != ERROR_NO_MORE_FILES) {
    names.clear();
    error = windowsError(failure);
    return -1;
  }
  return 0;
}

}  // namespace Os
