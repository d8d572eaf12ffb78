#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os/Error.h"
#include "os/FileIdentity.h"

// The transfer file that the payroll system reads.
namespace ExportFile {

inline constexpr char kTransferFileName[] = "BEWDATA.dat";

// The longest line this tool writes: 17 fields at their longest, 16 commas
// and the line feed. A torn last line is never longer than this.
inline constexpr size_t kLongestLineBytes = 440;

// Appends one line (it already ends with "\n") in binary, so the file keeps
// LF line ends. Returns 0 when the whole line is durable on disk, -1 when it
// is not; on -1 no part of the line is left behind. Writers of this tool
// take their turns on the file, and the first of them repairs a torn last
// line left by a writer that never finished.
int appendLine(const std::string& path, std::string_view text);

// What the end of the transfer file needs before a line is appended, judged
// from its last bytes (tail: the last min(size, kLongestLineBytes) bytes of
// a file of `size` bytes).
struct TornEnd {
  enum Kind { kWhole, kCutFragment, kCloseForeignText } kind = kWhole;
  size_t keptTailBytes = 0;  // kCutFragment: the bytes of tail that stay
};
TornEnd judgeTornEnd(std::string_view tail, int64_t size);

// Called under the writers' turn, after any repair and before anything is
// written: the file the lines go to and where the first of them will start.
// A non-zero result stops the append with nothing written.
using BeforeAppend = std::function<int(const Os::FileIdentity& file, int64_t start)>;

// Appends lines (each ends with "\n") with one write and one fdatasync, as
// appendLine does for one. Returns how many of them, from the first, are
// durable on disk: all, or fewer after a failure (said on standard error),
// with nothing of the others left behind.
size_t appendLines(const std::string& path, const std::vector<std::string>& lines,
                   const BeforeAppend& beforeAppend);

// Puts the transfer file at path on disk, its data and its name, when path
// still names that file: lines that a pass killed before its sync left there
// may still be only in memory. Returns 0, or -1 with error set
// (kAnotherFileNow when path names another file now).
int syncWrittenFile(const std::string& path, const Os::FileIdentity& file, Os::Error& error);

// Opens the path for appending (creating an empty file) and closes it again.
// Returns 0 when that worked, -1 otherwise.
int testAppend(const std::string& path);

// Results of takeFile besides -1.
inline constexpr int kTaken = 0;
inline constexpr int kNothingToTake = 1;
inline constexpr int kDestinationExists = 2;

// Moves the transfer file at path to destination, between two lines of its
// writers and never over an existing destination; both directories are
// synced. Returns kTaken, kNothingToTake when there is no file at path,
// kDestinationExists, or -1 with cause set (the file stays at path unless
// cause says otherwise).
int takeFile(const std::string& path, const std::string& destination, std::string& cause);

}  // namespace ExportFile
