#pragma once

#include <windows.h>

#include <string>

#include "os/Error.h"
#include "os/FileHandle.h"
#include "os/FileInfo.h"

// What the Windows implementation of the layer shares among its files.
namespace Os {

// Every handle lets other processes read, write, rename and remove the file
// while it is open: the payroll side and log viewers do all of that with the
// transfer file and the run log.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The Error of a failed call from its GetLastError() code: its kind, and
// FormatMessage's text without its line end as its cause.
Error windowsError(DWORD code);

// The Error of the call that failed last (GetLastError() now).
Error lastWindowsError();

// A name of the layer (the ANSI code page's bytes, as main's arguments
// arrive) as Windows' wide name, and back.
std::wstring widePath(const std::string& path);
std::string narrowPath(const std::wstring& path);

inline HANDLE nativeOf(const FileHandle& file) {
  return reinterpret_cast<HANDLE>(file.native());
}

inline FileHandle handleOf(HANDLE handle) {
  return FileHandle(reinterpret_cast<intptr_t>(handle));
}

// CreateFileW with every share mode; links kDoNotFollow opens a symbolic
// link itself. Returns INVALID_HANDLE_VALUE with the last error set.
HANDLE openFile(const std::string& path, DWORD access, DWORD disposition, Links links);

// Whether an open handle is a symbolic link (or another reparse point)
// rather than the file it leads to.
bool isReparsePoint(HANDLE handle);

// The Error that stands for a symbolic link that is not followed.
Error symbolicLinkRefused();

// Takes (LockFileEx with flags) or releases the byte of the writers' lock.
// Windows' byte-range locks are mandatory: a range one handle locks cannot
// be read or written through another. So the lock is one byte far past any
// data a file of this tool reaches, at 2^62: it excludes writers of this
// tool and never holds up a reader. Returns whether it worked, else the
// last error is set.
bool lockWritersByte(HANDLE handle, DWORD flags);
void unlockWritersByte(HANDLE handle);

}  // namespace Os
