#pragma once

#include <cstdint>
#include <string>

// The figures of a pass as a small OpenMetrics file beside the run log, for
// node_exporter's textfile collector, which reads the files in its directory
// that end in ".prom". Every figure is a gauge of the last pass: each pass
// starts its figures from nothing, so none of them is a counter.
namespace PassMetrics {

inline constexpr const char kFileName[] = "morlund_export.prom";

// Beside the run log (RunLog::kLogPath): besides the target directory the
// one place a hardened pass may write.
inline constexpr const char kMetricsPath[] = "../../Vantoreum_php/log/morlund_export.prom";

// Times are Unix seconds.
struct PassFigures {
  int64_t startSeconds = 0;
  int64_t endSeconds = 0;
  int32_t exitStatus = 0;
  int64_t bookingsRead = 0;
  int64_t bookingsExported = 0;
  int64_t bookingsFiltered = 0;  // read, but not accepted for the transfer file
  int64_t bookingsMarked = 0;
  int64_t failedMarkings = 0;  // failed, or changed no row
  int64_t appendedBytes = 0;   // to the transfer file
  // Written to the transfer file and not yet marked, held by the journal at
  // the pass's end; and when the oldest of them entered it (0: none held).
  int64_t bookingsHeld = 0;
  int64_t oldestHeldSeconds = 0;
  // The archive of sent lines at the pass's end: the bytes of its month
  // files, and the time of its oldest pass of this installation, as
  // LineArchive::figures finds them (0: none).
  int64_t archiveBytes = 0;
  int64_t oldestArchivedPassSeconds = 0;
};

// What a metrics file records: the last pass, and the end of the last pass
// that ran to its end (exit status 1; 0 when none is known).
struct RecordedPass {
  PassFigures figures;
  int64_t lastCompleteSeconds = 0;
};

// Writes the file at kMetricsPath; call once at the pass's end, on every
// exit path after the arguments were taken. A pass that did not run to its
// end keeps the last complete pass of the previous file. A failure is said
// on standard error and returns -1; it must never change the exit status.
int32_t writeBesideRunLog(const PassFigures& figures);

// The same at an explicit path.
int32_t writeAt(const std::string& path, const PassFigures& figures);

// The file's text.
std::string render(const RecordedPass& recorded);

// Reads a metrics file (a regular file, at most 64 KiB of it). Returns 0, or
// -1 with cause set.
int32_t readFile(const std::string& path, std::string& text, std::string& cause);

// Reads text back as this tool writes it: every line as render() would give
// it for the values found. Returns 0, or -1 with cause naming the first
// line that differs.
int32_t parse(const std::string& text, RecordedPass& recorded, std::string& cause);

}  // namespace PassMetrics
