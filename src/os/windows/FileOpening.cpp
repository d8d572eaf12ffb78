#include "os/FileOpening.h"

#include <random>

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// Keeps handle (just opened, or INVALID_HANDLE_VALUE with the last error
// set) in file, refusing a symbolic link where links are not followed.
int take(HANDLE handle, Links links, FileHandle& file, Error& error) {
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastWindowsError();
    return -1;
  }
  FileHandle opened = handleOf(handle);
  if (links == Links::kDoNotFollow && isReparsePoint(handle)) {
    error = symbolicLinkRefused();
    return -1;
  }
  file = std::move(opened);
  return 0;
}

// Eight letters and digits that no other process is likely to pick.
std::string randomSuffix() {
  static std::mt19937_64 generator(std::random_device{}() ^ GetCurrentProcessId() ^
                                   GetTickCount64());
  const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 8; ++i) {
    suffix += kLetters[generator() % (sizeof kLetters - 1)];
  }
  return suffix;
}

}  // namespace

int openForReading(const std::string& path, Links links, FileHandle& file, Error& error) {
  return take(openFile(path, GENERIC_READ, OPEN_EXISTING, links), links, file, error);
}

// Who may use a file is told by the access control list its directory hands
// down, which the administrator sets there (icacls): Windows has no mode bits
// to give it.
int createOrEmpty(const std::string& path, Permissions, FileHandle& file, Error& error) {
  return take(openFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, Links::kDoNotFollow),
              Links::kDoNotFollow, file, error);
}

int createTemporaryBeside(const std::string& path, FileHandle& file, std::string& temporaryPath,
                          Error& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = path + "." + randomSuffix();
    HANDLE handle = openFile(name, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, Links::kDoNotFollow);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
      continue;
    }
    if (take(handle, Links::kDoNotFollow, file, error) != 0) {
      return -1;
    }
    temporaryPath = name;
    return 0;
  }
  error = Error{ErrorKind::kExists, "no free name for a new file beside it"};
  return -1;
}

// As for a created file, the inherited access control list decides.
int setPermissions(const FileHandle&, Permissions, Error&) {
  return 0;
}

// As setPermissions: the directory's inherited access list decides.
int setPermissionsAsCreated(const FileHandle&, Permissions, Error&) {
  return 0;
}

}  // namespace Os
