#include "files/PassMetrics.h"

#include <array>
#include <charconv>
#include <iterator>
#include <string_view>

#include "files/ErrorOutput.h"
#include "files/RunLog.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileOpening.h"

namespace PassMetrics {

namespace {

constexpr std::string_view kLogDirectory =
    std::string_view(RunLog::kLogPath).substr(0, std::string_view(RunLog::kLogPath).rfind('/') + 1);
static_assert(std::string_view(kMetricsPath).substr(0, kLogDirectory.size()) == kLogDirectory &&
                  std::string_view(kMetricsPath).substr(kLogDirectory.size()) == kFileName,
              "the metrics file lies beside the run log");

constexpr int32_t kCompleteStatus = 1;
constexpr size_t kMaxReadBytes = 65536;

struct Metric {
  const char* name;
  const char* unit;  // empty: the figure counts things
  const char* help;
};

// Help texts hold no backslash and no double quote: OpenMetrics would need
// them escaped.
constexpr Metric kMetrics[] = {
    {"morlund_export_pass_start_timestamp_seconds", "seconds",
     "When the last pass started, in Unix seconds."},
    {"morlund_export_pass_end_timestamp_seconds", "seconds",
     "When the last pass ended, in Unix seconds."},
    {"morlund_export_pass_exit_status", "",
     "Exit status of the last pass: 1 its normal end, 90 a transfer file that cannot be written, "
     "97 no settings file, 255 no connection."},
    {"morlund_export_last_complete_pass_timestamp_seconds", "seconds",
     "When the last pass that ran to its end (exit status 1) ended, in Unix seconds; 0 when none "
     "is known."},
    {"morlund_export_pass_read_bookings", "", "Bookings the last pass read."},
    {"morlund_export_pass_exported_bookings", "",
     "Bookings the last pass appended to the transfer file."},
    {"morlund_export_pass_filtered_bookings", "",
     "Bookings the last pass read and left out of the transfer file by their booking code."},
    {"morlund_export_pass_marked_bookings", "", "Bookings the last pass marked as transferred."},
    {"morlund_export_pass_failed_markings", "",
     "Markings that failed or changed no row in the last pass; the journal keeps those "
     "bookings, and the next pass marks them."},
    {"morlund_export_pass_appended_bytes", "bytes",
     "Bytes the last pass appended to the transfer file."},
    {"morlund_export_journal_held_bookings", "",
     "Bookings in the transfer file and not yet marked as transferred that the journal held at "
     "the end of the last pass."},
    {"morlund_export_journal_oldest_held_timestamp_seconds", "seconds",
     "When the oldest booking the journal held at the end of the last pass entered it, in Unix "
     "seconds; 0 when it held none."},
    {"morlund_export_archive_bytes", "bytes",
     "Bytes of the archive of sent lines at the end of the last pass, its month files of every "
     "installation that shares the log directory."},
    {"morlund_export_archive_oldest_pass_timestamp_seconds", "seconds",
     "The server time of the oldest pass of this installation in the archive of sent lines, as "
     "its oldest month file begins, read on the local clock, in Unix seconds; 0 when it holds "
     "none."},
};
constexpr size_t kMetricCount = std::size(kMetrics);
constexpr size_t kLastComplete = 3;

using Values = std::array<int64_t, kMetricCount>;

// In the order of kMetrics.
Values valuesOf(const RecordedPass& recorded) {
  const PassFigures& f = recorded.figures;
  return {f.startSeconds,     f.endSeconds,
          f.exitStatus,       recorded.lastCompleteSeconds,
          f.bookingsRead,     f.bookingsExported,
          f.bookingsFiltered, f.bookingsMarked,
          f.failedMarkings,   f.appendedBytes,
          f.bookingsHeld,     f.oldestHeldSeconds,
          f.archiveBytes,     f.oldestArchivedPassSeconds};
}

RecordedPass recordedFrom(const Values& v) {
  RecordedPass recorded;
  PassFigures& f = recorded.figures;
  f.startSeconds = v[0];
  f.endSeconds = v[1];
  f.exitStatus = static_cast<int32_t>(v[2]);
  recorded.lastCompleteSeconds = v[3];
  f.bookingsRead = v[4];
  f.bookingsExported = v[5];
  f.bookingsFiltered = v[6];
  f.bookingsMarked = v[7];
  f.failedMarkings = v[8];
  f.appendedBytes = v[9];
  f.bookingsHeld = v[10];
  f.oldestHeldSeconds = v[11];
  f.archiveBytes = v[12];
  f.oldestArchivedPassSeconds = v[13];
  return recorded;
}

// A whole number as render() writes it: digits, a minus sign at most, and
// within 64 bits.
bool parseWhole(std::string_view text, int64_t& value) {
  if (text.empty() || text.find_first_not_of("-0123456789") != std::string_view::npos) {
    return false;
  }
  int64_t parsed = 0;
  const char* end = text.data() + text.size();
  std::from_chars_result result = std::from_chars(text.data(), end, parsed);
  if (result.ec != std::errc() || result.ptr != end) {
    return false;
  }
  value = parsed;
  return true;
}

// A line of the file as a message shows it: short, and on one line.
std::string quoted(std::string_view line) {
  std::string shown(line.substr(0, 80));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = '?';
    }
  }
  return "'" + shown + (line.size() > 80 ? "...'" : "'");
}

std::string_view lineAt(std::string_view text, size_t& from) {
  size_t end = text.find('\n', from);
  std::string_view line = text.substr(from, end == std::string_view::npos ? end : end - from);
  from = end == std::string_view::npos ? text.size() : end + 1;
  return line;
}

// Read leniently, so that a file of another version still hands its last
// complete pass on. A file without the line records none: the alert on it
// then fires rather than trust a guess.
int64_t recordedLastComplete(const std::string& path) {
  std::string text;
  std::string cause;
  if (readFile(path, text, cause) != 0) {
    return 0;
  }
  const std::string prefix = std::string(kMetrics[kLastComplete].name) + " ";
  for (size_t from = 0; from < text.size();) {
    std::string_view line = lineAt(text, from);
    int64_t value = 0;
    if (line.substr(0, prefix.size()) == prefix && parseWhole(line.substr(prefix.size()), value)) {
      return value;
    }
  }
  return 0;
}

void reportFailure(const std::string& path, const char* step, const Os::Error& error) {
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "cannot write the metrics file %s: %s: %s; monitoring does not see this "
                      "pass",
                      path.c_str(), step, error.cause.c_str());
}

// Writes text to the new file and closes it. node_exporter reads it as a
// user of its own. It holds figures only, no name and no booking, so it is
// readable by all whatever the umask; and it is synced: after a crash an
// empty file would lose the last complete pass. Returns the step that
// failed, with error set, or nullptr.
const char* writeNewFile(Os::FileHandle& file, const std::string& text, Os::Error& error) {
  size_t written = 0;
  const char* step = nullptr;
  if (Os::setPermissions(file, Os::Permissions::kReadableByAll, error) != 0) {
    step = "setting its mode";
  } else if (Os::writeAll(file, text, written, error) != 0 || Os::syncData(file, error) != 0) {
    step = "writing it";
  }
  Os::Error closeError;
  if (Os::closeFile(file, closeError) != 0 && step == nullptr) {
    step = "writing it";
    error = closeError;
  }
  return step;
}

}  // namespace

std::string render(const RecordedPass& recorded) {
  Values values = valuesOf(recorded);
  std::string text;
  text.reserve(2048);
  for (size_t i = 0; i < kMetricCount; ++i) {
    const Metric& metric = kMetrics[i];
    text.append("# HELP ").append(metric.name).append(" ").append(metric.help).append("\n");
    text.append("# TYPE ").append(metric.name).append(" gauge\n");
    if (metric.unit[0] != '\0') {
      text.append("# UNIT ").append(metric.name).append(" ").append(metric.unit).append("\n");
    }
    text.append(metric.name).append(" ").append(std::to_string(values[i])).append("\n");
  }
  text.append("# EOF\n");
  return text;
}

int32_t writeBesideRunLog(const PassFigures& figures) {
  return writeAt(kMetricsPath, figures);
}

// Written whole beside its place and renamed into it, so that a collector
// reading at any moment finds the previous file or this one, never part of
// one. The temporary name does not end in ".prom": the collector skips it.
int32_t writeAt(const std::string& path, const PassFigures& figures) {
  RecordedPass recorded;
  recorded.figures = figures;
  recorded.lastCompleteSeconds =
      figures.exitStatus == kCompleteStatus ? figures.endSeconds : recordedLastComplete(path);
  std::string text = render(recorded);

  Os::FileHandle file;
  std::string temporary;
  Os::Error error;
  if (Os::createTemporaryBeside(path, file, temporary, error) != 0) {
    reportFailure(path, "creating a file beside it", error);
    return -1;
  }
  const char* step = writeNewFile(file, text, error);
  if (step == nullptr && Os::replaceFile(temporary, path, error) != 0) {
    step = "renaming it into place";
  }
  if (step != nullptr) {
    Os::Error ignored;
    Os::removeFile(temporary, ignored);
    reportFailure(path, step, error);
    return -1;
  }
  return 0;
}

// Only a regular file is read: a FIFO put in its place must not hold up
// the reader.
int32_t readFile(const std::string& path, std::string& text, std::string& cause) {
  Os::FileHandle file;
  Os::Error error;
  if (Os::openRegularFileForReading(path, Os::Links::kFollow, file, error) != 0 ||
      Os::readFromStart(file, kMaxReadBytes, text, error) != 0) {
    cause = error.cause;
    return -1;
  }
  return 0;
}

int32_t parse(const std::string& text, RecordedPass& recorded, std::string& cause) {
  Values values{};
  std::array<bool, kMetricCount> found{};
  size_t lineNumber = 0;
  for (size_t from = 0; from < text.size();) {
    std::string_view line = lineAt(text, from);
    ++lineNumber;
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::string_view name = line.substr(0, line.find(' '));
    for (size_t i = 0; i < kMetricCount; ++i) {
      if (name != kMetrics[i].name || found[i]) {
        continue;
      }
      if (name.size() == line.size() || !parseWhole(line.substr(name.size() + 1), values[i])) {
        cause = "line " + std::to_string(lineNumber) + " " + quoted(line) +
                " has no whole number as its value";
        return -1;
      }
      found[i] = true;
    }
  }
  recorded = recordedFrom(values);

  // What is left to tell apart (a line missing, repeated, foreign or after
  // "# EOF", a value written differently) the text as written shows.
  std::string expected = render(recorded);
  size_t at = 0;
  size_t expectedAt = 0;
  for (lineNumber = 1; at < text.size() || expectedAt < expected.size(); ++lineNumber) {
    if (expectedAt >= expected.size()) {
      cause =
          "line " + std::to_string(lineNumber) + " " + quoted(lineAt(text, at)) + " follows # EOF";
      return -1;
    }
    std::string_view wanted = lineAt(expected, expectedAt);
    std::string wantedShown =
        wanted[0] == '#' ? quoted(wanted)
                         : "the sample of " + std::string(wanted.substr(0, wanted.find(' ')));
    if (at >= text.size()) {
      cause = "the file ends before line " + std::to_string(lineNumber) + ", " + wantedShown;
      return -1;
    }
    bool lineEnded = text.find('\n', at) != std::string::npos;
    std::string_view line = lineAt(text, at);
    if (line != wanted) {
      cause = "line " + std::to_string(lineNumber) + " is " + quoted(line) + " where " +
              wantedShown + " belongs";
      return -1;
    }
    if (!lineEnded) {
      cause = "line " + std::to_string(lineNumber) + " has no line end";
      return -1;
    }
  }
  return 0;
}

}  // namespace PassMetrics
