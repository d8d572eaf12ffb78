#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "files/BookingJournal.h"
#include "files/PassTime.h"

// The archive of sent lines: every line that reached a transfer file
// durably, with the server time of the pass that wrote it, so that what the
// payroll side lost can be sent again (Morlund_Settings replay). The table
// cannot tell what a pass sent: each marking stamps a booking anew, the
// purge goes by the booking's date, rows change after their transfer, and
// the era code is derived afresh.
//
// It lies beside the journal of written bookings (the one place besides the
// target directory that the hardened service may write), one file per
// month of the local clock, readable by its owner only. Installations whose
// log directories are one share its files: each record names its
// installation, and every reader reads only its own.
//
// Its words, beside the journal's:
//   archive     a line is archived (an Archived record, synced) once its
//               transfer file is synced and before the journal records it
//               durable; or, where a pass died between the two, by the
//               next pass's recovery;
//   month file  the lines archived in one month of the local clock;
//   prune       a month file whose month ended more than kKeptDays ago is
//               removed whole at the end of a pass; no file is rewritten.
namespace LineArchive {

// Beside the run log and the journal, relative to the working directory.
inline constexpr char kDirectory[] = "../../Vantoreum_php/log";
inline constexpr char kFilePrefix[] = "Morlund_MSSQL.archive.";
// A little more than the three months after which the purge deletes
// transferred bookings.
inline constexpr int kKeptDays = 100;

// One line as the archive holds it.
struct ArchivedLine {
  std::string installation;  // as the journal names it (BookingJournal::installationName)
  std::string passTime;      // as the journal recorded it (WrittenBooking::passTime)
  uint64_t archivedAt = 0;   // Unix seconds
  std::string transferPath;  // as the pass used it, from its working directory
  uint64_t device = 0;       // of the transfer file the line went to
  uint64_t inode = 0;
  uint64_t offset = 0;  // where the line starts in that file
  std::string line;     // with its line feed
};

std::string encode(const ArchivedLine& line);

// The line of a booking the journal recorded, as the archive files it.
ArchivedLine fromJournal(const BookingJournal::WrittenBooking& booking);

// Hands one line read on; returns false to stop the reading there.
using EachLine = std::function<bool(ArchivedLine& line)>;

// What a reader met besides whole records.
struct Reading {
  uint64_t damagedBytes = 0;  // bytes that hold no whole record
  uint64_t tornBytes = 0;     // at the end: a record cut short
  bool stopped = false;       // a call of EachLine stopped it
};

// Hands the whole Archived records at the front of bytes to each, in order.
// Returns how many bytes it is done with: all of them at the file's end
// (atEnd), else all but a record that may go on after them.
size_t takeRecords(std::string_view bytes, bool atEnd, Reading& reading, const EachLine& each);

// Reads a month file in blocks, handing each line on: what it holds in
// memory does not grow with the file. Returns 0, or -1 with cause set.
int readFile(const std::string& path, const EachLine& each, Reading& reading, std::string& cause);

// What standard error says of the bytes a reading passed over; empty when
// there were none.
std::string describeSkipped(const std::string& path, const Reading& reading);

// The name of the month file of a month, and the month a name stands for
// (false for any other name).
std::string monthFileName(int year, int month);
bool monthOfFileName(std::string_view name, int& year, int& month);

// Whether a month ended more than kKeptDays before the day `today`.
bool isExpired(int year, int month, const PassTime::CivilTime& today);

// The paths of the month files in directory, months ascending. Returns 0,
// or -1 with cause set.
int listFiles(const std::string& directory, std::vector<std::string>& paths, std::string& cause);

// Where the records of a file's last bytes (tail; fromStart: the whole
// file) stop being whole: tail.size() when they end with a whole record or
// nothing can be told, else the end of the last whole record, which at most
// one record cut short or damaged follows.
size_t wholeEnd(std::string_view tail, bool fromStart);

// What a replay sends: lines of passes whose time lies in [from, to) (to:
// no end when absent), and, when ids are given, only those whose first
// field (up to the first comma) is one of them.
struct Selection {
  int64_t from = 0;  // PassTime::secondsOf
  std::optional<int64_t> to;
  std::set<std::string> ids;
};
// Whether seconds (PassTime::secondsOf) lie in [from, to).
bool inWindow(const Selection& selection, int64_t seconds);
// Whether the selection takes the line; passSeconds is set to its pass
// time's when that can be read (an empty or unreadable one takes no part).
bool selects(const Selection& selection, const ArchivedLine& line, int64_t& passSeconds);

// A pass's archive. Only a pass that keeps the journal keeps it.
//
// Archives this pass's lines in directory as installation's.
void start(const std::string& directory, const std::string& installation);
bool isInUse();

// Archives the lines in the month file of now and syncs it. A torn end
// that a writer who died left there is cut off first (and said). Returns 0,
// or -1 after saying on standard error why; the pass then archives no more.
int append(std::vector<ArchivedLine> lines);

// For recovery: archives those of the lines that the archive does not
// hold yet (same installation, pass time, transfer file, offset and line),
// looking from the month file of `since` (Unix seconds) on. Returns for
// each line whether the archive holds it now.
std::vector<bool> appendMissing(const std::vector<ArchivedLine>& lines, int64_t since);

// Removes the month files whose month ended more than kKeptDays before now
// (Unix seconds), each said on standard error. Only a pass that started
// the archive prunes it.
void prune(int64_t now);

// For the metrics, read without saying anything: the bytes of all month
// files (of every installation), and the time of the oldest pass of
// installation that they hold, as the oldest file holding one begins (Unix
// seconds, the pass time read on the local clock; 0 when none).
struct Figures {
  int64_t bytes = 0;
  int64_t oldestPassSeconds = 0;
};
Figures figures(const std::string& directory, const std::string& installation);

// For a check that changes nothing: all of installation's lines read.
struct Inspection {
  size_t files = 0;
  int64_t bytes = 0;  // of all month files, of every installation
  size_t passes = 0;  // distinct pass times of installation's lines
  size_t lines = 0;
  std::string oldestPass;  // the earliest of those pass times; empty when none
  Reading skipped;         // summed over the files
  bool writable = false;   // a pass could append to the file of this month
  std::string cause;       // why not, or why a file could not be read
};
// Returns 0, or -1 with cause set when a file could not be read.
int inspect(const std::string& directory, const std::string& installation, Inspection& found);

}  // namespace LineArchive
