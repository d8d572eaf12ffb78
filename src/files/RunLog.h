#pragma once

#include <string>
#include <string_view>

// The run log: one entry per call, opened and closed around every write so
// that other processes may read, rotate or remove it between two entries.
namespace RunLog {

inline constexpr const char* kLogPath = "../../Vantoreum_php/log/Palvexa#Log.txt";
inline constexpr const char* kBackupPath = "../../Vantoreum_php/log/Palvexa#Log_bak.txt";
inline constexpr long kRotationBytes = 10485760;

// Appends text plus "\n" to the run log at its fixed place; every "\n" is
// stored as CR LF. Failures are silent: a run log that cannot be written
// never stops a transfer pass.
void appendEntry(std::string_view text);

// The same with explicit paths.
void appendEntryAt(const std::string& logPath, const std::string& backupPath,
                   std::string_view text);

// The bytes that go into the log for one entry: text plus "\n", every "\n"
// as CR LF, after a line end of its own when the log ends in an unfinished
// line. logEnd is the log's last byte, empty when the log is empty or
// cannot be read.
std::string storedEntry(std::string_view text, std::string_view logEnd);

}  // namespace RunLog
