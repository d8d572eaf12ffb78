#include "files/RunLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/DirectoryEntry.h"
#include "files/ErrorOutput.h"

namespace RunLog {

namespace {

// A log that cannot be written is said once per pass, not once per entry.
bool failureReported = false;

void reportFailure(const std::string& logPath, const char* what, const char* cause) {
  if (failureReported) {
    return;
  }
  failureReported = true;
  ErrorOutput::report(ErrorOutput::Priority::kFailure,
                      "cannot %s the run log %s: %s; its entries of this pass may be missing", what,
                      logPath.c_str(), cause);
}

}  // namespace

std::string storedEntry(std::string_view text, std::string_view logEnd) {
  std::string stored;
  stored.reserve(text.size() + 8);
  if (!logEnd.empty() && logEnd.back() != '\n') {
    stored += "\r\n";
  }
  for (char c : text) {
    if (c == '\n') {
      stored += '\r';
    }
    stored += c;
  }
  stored += "\r\n";
  return stored;
}

void appendEntry(std::string_view text) {
  appendEntryAt(kLogPath, kBackupPath, text);
}

// The log is kept in the reference platform's text-mode form, so the file is
// opened in binary and the CR is added here; the rotation size then counts
// both bytes of every line end, as the payroll side's tools expect.
//
// Each entry goes out in one write where the disk takes it whole. What
// a writer that failed or died left of an entry stays in the log; the next
// entry then begins with a line end of its own, so it never joins the
// fragment. Installations whose log directories are one take turns on the
// log, and a writer that waited finds the log another one rotated meanwhile
// under its name, so no log is rotated twice.
void appendEntryAt(const std::string& logPath, const std::string& backupPath,
                   std::string_view text) {
  int fd = -1;
  bool readable = true;
  for (int attempt = 0;; ++attempt) {
    readable = true;
    fd = ::open(logPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) {
      readable = false;
      fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
      reportFailure(logPath, "open", std::strerror(errno));
      return;
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (DirectoryEntry::namesOpenFile(logPath, fd) || attempt == 3) {
      break;
    }
    ::close(fd);
  }
  struct stat before {};
  char lastByte = '\n';
  bool readLastByte = readable && ::fstat(fd, &before) == 0 && before.st_size > 0 &&
                      ::pread(fd, &lastByte, 1, before.st_size - 1) == 1;
  std::string stored = storedEntry(text, std::string_view(&lastByte, readLastByte ? 1 : 0));
  size_t written = 0;
  while (written < stored.size()) {
    ssize_t result = ::write(fd, stored.data() + written, stored.size() - written);
    if (result > 0) {
      written += static_cast<size_t>(result);
    } else if (result == 0 || errno != EINTR) {
      const char* cause = result == 0 ? "the file took no more bytes" : std::strerror(errno);
      ::close(fd);
      reportFailure(logPath, "write", cause);
      return;
    }
  }
  off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position > kRotationBytes) {
    std::remove(backupPath.c_str());
    std::rename(logPath.c_str(), backupPath.c_str());
  }
  ::close(fd);
}

}  // namespace RunLog
