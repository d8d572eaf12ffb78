#pragma once

#include <string>
#include <string_view>

// Standard error: what an operator needs beyond the run log's fixed texts
// (the driver's SQLSTATE and message, the system's error texts, waits), one
// line per event. A clean pass writes nothing here, and never a password.
namespace ErrorOutput {

// The syslog priority a line carries when standard error is the journal.
enum class Priority {
  kFailure = 3,  // the pass, or a phase of it, failed
  kWarning = 4,  // a failed marking, twins, a repaired end of the transfer file
  kNotice = 5,   // a wait, a missing lock, lost console output
};

// mingw-w64's printf family is GNU's (%zu and the like), which its g++ checks
// only as gnu_printf; clang (the fuzz build) knows no gnu_printf.
#ifdef __MINGW32__
#define MORLUND_PRINTF_FORMAT gnu_printf
#else
#define MORLUND_PRINTF_FORMAT printf
#endif

// Writes "<program>: " plus the formatted text plus "\n" in one write, the
// password withheld. When JOURNAL_STREAM names standard error, the line
// starts with the priority as "<N>". Every line also goes to the system's
// event log where it keeps one (Os::reportEvent).
void report(Priority priority, const char* format, ...)
    __attribute__((format(MORLUND_PRINTF_FORMAT, 2, 3)));

// Whether a JOURNAL_STREAM value names the stream of this device and inode:
// only in systemd's form, "device:inode" in decimal without sign, white
// space or leading zeros, each number within 64 bits.
bool journalStreamNames(std::string_view text, unsigned long long device, unsigned long long inode);

// Text that stands wherever the password would be shown.
inline constexpr const char kWithheldPassword[] = "(the password; not shown)";

// Makes withholdPassword() hide this password from now on (an empty one
// hides nothing).
void setPassword(const std::string& password);

// text with every occurrence of the password replaced by kWithheldPassword:
// a settings value that is the password, a driver message that repeats it.
std::string withholdPassword(std::string text);

}  // namespace ErrorOutput
