#include "BookingPreview.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "CompanionExit.h"
#include "SettingsCheck.h"
#include "db/BookingCursor.h"
#include "db/BookingRow.h"
#include "db/DbConnection.h"
#include "db/MaintenanceStatements.h"
#include "files/BookingJournal.h"
#include "os/StandardStreams.h"
#include "run/PassLock.h"
#include "run/RowsetSorting.h"
#include "run/TextCase.h"

namespace BookingPreview {

namespace {

struct Counts {
  long read = 0;
  long lines = 0;
  long filtered = 0;
  long held = 0;
  bool written = true;  // every line reached standard output
};

// The bookings that the next pass marks from its journal before it reads
// any: the cursor would not return them to it. Those it would forget come
// out like any other.
bool heldByTheJournal(const std::string& dataSourceName, std::set<MarkingKey>& held) {
  std::vector<BookingJournal::WrittenBooking> recorded;
  std::string cause;
  if (BookingJournal::readHeld(BookingJournal::kJournalPath,
                               BookingJournal::installationName(dataSourceName), recorded,
                               cause) != 0) {
    std::fprintf(stderr,
                 "note  journal %s: cannot be read (%s); a pass here would mark booking by "
                 "booking\n",
                 BookingJournal::kJournalPath, cause.c_str());
    return false;
  }
  for (const BookingJournal::WrittenBooking& booking : recorded) {
    if (BookingJournal::recoveryState(booking) == BookingJournal::LineState::kInPlace) {
      held.insert(booking.key);
    }
  }
  return true;
}

bool writeOut(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

// Reads the bookings from the open cursor as a pass would sort them and
// prints the lines the pass would write. Returns the status of the fetch
// that ended the reading.
int printLines(const std::set<MarkingKey>& held, bool consoleEcho, Counts& counts) {
  auto heldSequence = [&held](const MarkingKey& key) -> uint64_t { return held.count(key); };
  int status = BookingCursor::fetch();
  for (; status == SQL_SUCCESS; status = BookingCursor::fetch()) {
    ++counts.read;
    RowsetSorting::SortedBooking booking =
        RowsetSorting::sortRowset({currentBookingRow}, heldSequence)[0];
    if (booking.role == RowsetSorting::Role::kHeld) {
      ++counts.held;
    } else if (booking.role == RowsetSorting::Role::kExported) {
      ++counts.lines;
      counts.written = writeOut(booking.forms.transferLine) && counts.written;
      if (consoleEcho) {
        std::fwrite(booking.forms.consoleLine.data(), 1, booking.forms.consoleLine.size(), stderr);
      }
    } else {
      ++counts.filtered;
    }
  }
  counts.written = std::fflush(stdout) == 0 && counts.written;
  return status;
}

}  // namespace

// The cursor reads without locks: a preview must not hold up the terminals
// that write bookings, and it marks none. Whatever a pass would echo with
// /D goes to standard error, so that standard output stays the lines.
int run(int argc, char** argv) {
  bool consoleEcho = false;
  for (int i = 1; i < argc; ++i) {
    consoleEcho = consoleEcho || upperAscii(argv[i]) == "/D";
  }
  std::string cause;
  if (PassLock::probe(cause) == PassLock::kHeld) {
    std::fprintf(stderr,
                 "note  a pass runs in this working directory now; what it has not marked yet "
                 "is shown again\n");
  }
  std::string dataSourceName;
  if (SettingsCheck::connectAsThePass(argv[1], dataSourceName) != 0) {
    return CompanionExit::kFailed;
  }
  std::set<MarkingKey> held;
  heldByTheJournal(dataSourceName, held);
  if (consoleEcho) {
    std::string serverTime;
    MaintenanceStatements::serverTime(serverTime);
    std::fprintf(stderr, "Uebergabe am %s gestartet\n\n", serverTime.c_str());
  }
  int opened = BookingCursor::open(BookingCursor::RowLocks::kReadOnly);
  if (opened != BookingCursor::kOpened) {
    SettingsCheck::reportCursorFailure(opened);
    return CompanionExit::kFailed;
  }
  // The lines must equal the transfer file's bytes: no text mode's CR.
  Os::useBinaryStandardOutput();
  Counts counts;
  int status = printLines(held, consoleEcho, counts);
  BookingCursor::close();
  if (consoleEcho) {
    std::fprintf(stderr, "\nAnzahl uebergebener Buchungen : %ld\n", counts.lines);
  }
  std::fprintf(stderr,
               "Morlund_Settings: preview: %ld bookings read, %ld lines, %ld filtered, %ld held "
               "by the journal\n",
               counts.read, counts.lines, counts.filtered, counts.held);
  if (status != SQL_NO_DATA) {
    std::fprintf(stderr, "FAIL  booking cursor: reading failed after %ld bookings: %s\n",
                 counts.read, DbConnection::describeLastDiagnostic().c_str());
    return CompanionExit::kFailed;
  }
  if (!counts.written) {
    std::fprintf(stderr, "Morlund_Settings: cannot write standard output\n");
    return CompanionExit::kFailed;
  }
  return CompanionExit::kDone;
}

}  // namespace BookingPreview
