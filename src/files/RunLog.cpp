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

void reportFailure(const std::string& logPath, const char* what, int errorNumber) {
  if (failureReported) {
    return;
  }
  failureReported = true;
  ErrorOutput::report(ErrorOutput::Priority::kFailure,
                      "cannot %s the run log %s: %s; its entries of this pass may be missing", what,
                      logPath.c_str(), std::strerror(errorNumber));
}

}  // namespace

void appendEntry(std::string_view text) {
  appendEntryAt(kLogPath, kBackupPath, text);
}

// The log is kept in the reference platform's text-mode form, so the file is
// opened in binary and the CR is added here; the rotation size then counts
// both bytes of every line end, as the payroll side's tools expect.
//
// Each entry goes out in one write, so readers never see half of one; if
// the write comes up short, what did reach the log is taken back, provided
// nothing else was appended after it. Installations whose log directories
// are one take turns on the log, and a writer that waited finds the log
// another one rotated meanwhile under its name, so no log is rotated twice.
void appendEntryAt(const std::string& logPath, const std::string& backupPath,
                   std::string_view text) {
  int fd = -1;
  for (int attempt = 0;; ++attempt) {
    fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      reportFailure(logPath, "open", errno);
      return;
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (DirectoryEntry::namesOpenFile(logPath, fd) || attempt == 3) {
      break;
    }
    ::close(fd);
  }
  std::string stored;
  stored.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') {
      stored += '\r';
    }
    stored += c;
  }
  stored += "\r\n";
  struct stat before {};
  bool sized = ::fstat(fd, &before) == 0;
  ssize_t written;
  do {
    written = ::write(fd, stored.data(), stored.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(stored.size())) {
    int failureErrno = written < 0 ? errno : ENOSPC;
    struct stat now {};
    if (written > 0 && sized && ::fstat(fd, &now) == 0 && now.st_size == before.st_size + written) {
      if (::ftruncate(fd, before.st_size) != 0) {
        failureErrno = errno;
      }
    }
    ::close(fd);
    reportFailure(logPath, "write", failureErrno);
    return;
  }
  off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position > kRotationBytes) {
    std::remove(backupPath.c_str());
    std::rename(logPath.c_str(), backupPath.c_str());
  }
  ::close(fd);
}

}  // namespace RunLog
