#include "os/StandardStreams.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "os/windows/WindowsApi.h"

namespace Os {

namespace {

// The C runtime writes standard output into a file or a pipe as it goes;
// buffered as glibc buffers it, a write that fails does so in
// flushStandardOutput, where GetLastError still tells why. A console keeps
// its own buffering.
const bool standardOutputBuffered = [] {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
         std::setvbuf(stdout, nullptr, _IOFBF, 4096) == 0;
}();

}  // namespace

// In text mode, as the C runtime writes the console: every "\n" as CR LF.
void writeStandardError(std::string_view text) {
  std::string shown;
  shown.reserve(text.size() + 4);
  for (char c : text) {
    if (c == '\n') {
      shown += '\r';
    }
    shown += c;
  }
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), shown.data(), static_cast<DWORD>(shown.size()),
            &written, nullptr);
}

int identifyStandardError(FileIdentity& identity, Error& error) {
  BY_HANDLE_FILE_INFORMATION found{};
  if (!GetFileInformationByHandle(GetStdHandle(STD_ERROR_HANDLE), &found)) {
    error = lastWindowsError();
    return -1;
  }
  identity.device = found.dwVolumeSerialNumber;
  identity.inode = static_cast<uint64_t>(found.nFileIndexHigh) << 32 | found.nFileIndexLow;
  return 0;
}

// The write that failed in the flush left its code for GetLastError; the
// C runtime's errno would give a POSIX text that Windows does not use (a
// pipe without a reader reads as "Invalid argument"). A failure without a
// cause of its own now is told as a plain write error.
int flushStandardOutput(Error& error) {
  (void)standardOutputBuffered;
  SetLastError(NO_ERROR);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    DWORD code = GetLastError();
    error = code != NO_ERROR ? windowsError(code) : Error{ErrorKind::kOther, "write error"};
    return -1;
  }
  return 0;
}

void useBinaryStandardOutput() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace Os
