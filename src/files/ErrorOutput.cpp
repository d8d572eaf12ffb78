#include "files/ErrorOutput.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "os/EventLog.h"
#include "os/Process.h"
#include "os/StandardStreams.h"

namespace ErrorOutput {

namespace {

std::string password;

// The event source the installer registers (Morlund_MSSQL.wxs), for the
// lines of both programs: each line names its program.
const char kEventSource[] = "Morlund_MSSQL";

// Where the event log keeps the line: its level as the syslog priority
// chooses it, and the priority's number as the event ID, so that an operator
// filters the same numbers on both platforms.
void reportAsEvent(Priority priority, const std::string& line) {
  Os::EventLevel level = priority == Priority::kFailure   ? Os::EventLevel::kError
                         : priority == Priority::kWarning ? Os::EventLevel::kWarning
                                                          : Os::EventLevel::kInformation;
  Os::reportEvent(kEventSource, level, static_cast<unsigned>(priority), line);
}

// systemd hands a service's standard error to the journal and says so in
// JOURNAL_STREAM as "device:inode" of that stream. Only then does a "<N>"
// prefix mean a priority; anywhere else it would be noise in the text.
bool standardErrorIsJournal() {
  static const bool isJournal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    Os::FileIdentity standardError;
    Os::Error error;
    return stream != nullptr && Os::identifyStandardError(standardError, error) == 0 &&
           journalStreamNames(stream, standardError.device, standardError.inode);
  }();
  return isJournal;
}

// Reads a decimal number from position on; false for no digit, a leading
// zero before more digits, or more than 64 bits.
bool readDecimal(std::string_view text, size_t& position, unsigned long long& value) {
  size_t start = position;
  value = 0;
  for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
    unsigned digit = static_cast<unsigned>(text[position] - '0');
    if (value > (ULLONG_MAX - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  return position > start && (text[start] != '0' || position == start + 1);
}

}  // namespace

// Read by hand: sscanf's %llu takes leading white space, a sign (a minus
// wrapping the number around) and a number past 64 bits (as the largest
// one), and none of them is what systemd writes.
bool journalStreamNames(std::string_view text, unsigned long long device,
                        unsigned long long inode) {
  size_t position = 0;
  unsigned long long named[2] = {0, 0};
  return readDecimal(text, position, named[0]) && position < text.size() &&
         text[position++] == ':' && readDecimal(text, position, named[1]) &&
         position == text.size() && named[0] == device && named[1] == inode;
}

void setPassword(const std::string& value) {
  password = value;
}

std::string withholdPassword(std::string text) {
  if (password.empty()) {
    return text;
  }
  std::string shown;
  size_t from = 0;
  for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, from)) {
    shown.append(text, from, at - from);
    shown += kWithheldPassword;
    from = at + password.size();
  }
  shown.append(text, from, std::string::npos);
  return shown;
}

// One write per line keeps the lines of passes that share a journal whole. A
// failed write is dropped: standard error never stops a pass.
void report(Priority priority, const char* format, ...) {
  // Formatted whole: a line cut short could end in part of the password,
  // where withholding would no longer find it.
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  std::string event = Os::programName();
  event += ": ";
  event += withholdPassword(text);
  // A driver message or a path may hold line breaks; the event stays one line.
  for (char& c : event) {
    if (static_cast<unsigned char>(c) < 0x20) {
      c = ' ';
    }
  }
  reportAsEvent(priority, event);
  std::string line;
  if (standardErrorIsJournal()) {
    // Appended, not joined with "+": g++ 12 sees a false overlap in
    // operator+(const char*, string&&) at -O2 (-Wrestrict).
    line.append("<").append(std::to_string(static_cast<int>(priority))).append(">");
  }
  line += event;
  line += '\n';
  Os::writeStandardError(line);
}

}  // namespace ErrorOutput
