#include "files/RunLog.h"

#include <cstdio>

namespace RunLog {

void appendEntry(std::string_view text) {
  appendEntryAt(kLogPath, kBackupPath, text);
}

// The log is kept in the reference platform's text-mode form, so the file is
// opened in binary and the CR is added here; the rotation size then counts
// both bytes of every line end, as the payroll side's tools expect.
void appendEntryAt(const std::string& logPath, const std::string& backupPath,
                   std::string_view text) {
  FILE* log = std::fopen(logPath.c_str(), "ab");
  if (log == nullptr) {
    return;
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
  std::fwrite(stored.data(), 1, stored.size(), log);
  long position = std::ftell(log);
  std::fclose(log);
  if (position > kRotationBytes) {
    std::remove(backupPath.c_str());
    std::rename(logPath.c_str(), backupPath.c_str());
  }
}

}  // namespace RunLog
