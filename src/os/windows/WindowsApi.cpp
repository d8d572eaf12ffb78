#include "os/windows/WindowsApi.h"

#include <string>

namespace Os {

namespace {

ErrorKind kindOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::kNotFound;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return ErrorKind::kExists;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return ErrorKind::kAccessDenied;
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
      return ErrorKind::kUnsupported;
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return ErrorKind::kWouldBlock;
    default:
      return ErrorKind::kOther;
  }
}

// The system's text in the user's language and the ANSI code page, as an
// operator reads it elsewhere on that machine; its line end goes, so that
// it fits inside a line of standard error.
std::string messageOf(DWORD code) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) {
    message = "Windows error " + std::to_string(code);
  }
  return message;
}

}  // namespace

Error windowsError(DWORD code) {
  return Error{kindOf(code), messageOf(code)};
}

Error lastWindowsError() {
  return windowsError(GetLastError());
}

// The C runtime hands main its arguments in the ANSI code page, so a name
// the operator typed comes back as the same wide name only through that
// code page; the fixed names of the tool are ASCII, the same in any.
std::wstring widePath(const std::string& path) {
  if (path.empty()) {
    return std::wstring();
  }
  int length =
      MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

std::string narrowPath(const std::wstring& path) {
  if (path.empty()) {
    return std::string();
  }
  int length = WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), narrow.data(), length,
                      nullptr, nullptr);
  return narrow;
}

// Directories open too (FILE_FLAG_BACKUP_SEMANTICS), so that a directory
// where a file is expected is told as such instead of as access denied.
HANDLE openFile(const std::string& path, DWORD access, DWORD disposition, Links links) {
  DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
  if (links == Links::kDoNotFollow) {
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  return CreateFileW(widePath(path).c_str(), access, kShareAll, nullptr, disposition, flags,
                     nullptr);
}

bool isReparsePoint(HANDLE handle) {
  FILE_BASIC_INFO basic{};
  return GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

Error symbolicLinkRefused() {
  return Error{ErrorKind::kOther, "a symbolic link, which is not followed here"};
}

namespace {

OVERLAPPED writersByte() {
  OVERLAPPED range{};
  range.OffsetHigh = 0x40000000;
  return range;
}

}  // namespace

bool lockWritersByte(HANDLE handle, DWORD flags) {
  OVERLAPPED range = writersByte();
  return LockFileEx(handle, flags, 0, 1, 0, &range) != 0;
}

void unlockWritersByte(HANDLE handle) {
  OVERLAPPED range = writersByte();
  UnlockFileEx(handle, 0, 1, 0, &range);
}

}  // namespace Os
