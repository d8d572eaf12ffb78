#include "os/AccessCheck.h"

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

DWORD rightsOf(Access access, bool directory) {
  if (directory) {
    return access == Access::kCreateFilesIn ? FILE_ADD_FILE | FILE_TRAVERSE : FILE_ADD_FILE;
  }
  return access == Access::kReadAndWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
}

}  // namespace

// Asked by opening the name with those rights and closing it again, which
// changes nothing: Windows checks the access control list, the read-only
// attribute and the share modes of the handles others hold, as it will for
// the pass.
int checkAccess(const std::string& path, Access access, Error& error) {
  DWORD attributes = GetFileAttributesW(widePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error = lastWindowsError();
    return -1;
  }
  bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  HANDLE handle = openFile(path, rightsOf(access, directory), OPEN_EXISTING, Links::kFollow);
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastWindowsError();
    return -1;
  }
  CloseHandle(handle);
  return 0;
}

}  // namespace Os
