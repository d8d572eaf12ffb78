#include "files/RunLog.h"

#include "files/ErrorOutput.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileInfo.h"
#include "os/SharedFile.h"

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
  Os::SharedFile log;
  Os::Error error;
  if (Os::openForAppending(logPath, Os::SharedFileOptions(), log, error) != Os::kOpened) {
    reportFailure(logPath, "open", error.cause.c_str());
    return;
  }
  Os::FileInfo info;
  char lastByte = '\n';
  size_t got = 0;
  bool readLastByte = log.readable && Os::examine(log.handle, info, error) == 0 && info.size > 0 &&
                      Os::readAt(log.handle, info.size - 1, &lastByte, 1, got, error) == 0 &&
                      got == 1;
  std::string stored = storedEntry(text, std::string_view(&lastByte, readLastByte ? 1 : 0));
  size_t written = 0;
  if (Os::writeAll(log.handle, stored, written, error) != 0) {
    log.handle.close();
    reportFailure(logPath, "write", error.cause.c_str());
    return;
  }
  // Under the writers' turn the log's size is where this entry ended.
  if (Os::examine(log.handle, info, error) == 0 && info.size > kRotationBytes) {
    Os::removeFile(backupPath, error);
    Os::replaceFile(logPath, backupPath, error);
  }
}

}  // namespace RunLog
