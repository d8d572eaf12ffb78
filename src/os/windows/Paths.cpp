#include "os/Paths.h"

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// GetFinalPathNameByHandleW's "\\?\C:\..." and "\\?\UNC\server\..." as
// the names an operator types.
std::wstring withoutLongPrefix(std::wstring name) {
  if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    return L"\\\\" + name.substr(8);
  }
  if (name.rfind(L"\\\\?\\", 0) == 0) {
    return name.substr(4);
  }
  return name;
}

}  // namespace

int resolvePath(const std::string& path, std::string& resolved, Error& error) {
  HANDLE handle = openFile(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, Links::kFollow);
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastWindowsError();
    return -1;
  }
  FileHandle file = handleOf(handle);
  std::wstring name(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      error = lastWindowsError();
      return -1;
    }
    if (length < name.size()) {
      name.resize(length);
      resolved = narrowPath(withoutLongPrefix(name));
      return 0;
    }
    name.assign(length + 1, L'\0');
  }
  error = Error{ErrorKind::kOther, "the name kept growing"};
  return -1;
}

// GetFullPathNameW makes a name absolute and takes "." and ".." out of it,
// whether it exists or not.
std::string absolutePath(const std::string& path) {
  std::string resolved;
  Error ignored;
  if (resolvePath(path, resolved, ignored) == 0) {
    return resolved;
  }
  std::wstring wide = widePath(path);
  DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) {
    return path;
  }
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  full.resize(length);
  return narrowPath(full);
}

bool namesIgnoreCase() {
  return true;
}

}  // namespace Os
