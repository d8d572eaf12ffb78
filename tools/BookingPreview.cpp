#include "BookingPreview.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "SettingsCheck.h"
#include "db/BookingCursor.h"
#include "db/BookingRow.h"
#include "db/DbConnection.h"
#include "db/MaintenanceStatements.h"
#include "files/BookingJournal.h"
#include "run/EraMapping.h"
#include "run/PassLock.h"
#include "run/TextCase.h"

namespace BookingPreview {

namespace {

struct Counts {
  long read = 0;
  long lines = 0;
  long filtered = 0;
  long held = 0;
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

}  // namespace

// The cursor reads without locks: a preview must not hold up the terminals
// that write bookings, and it marks none. Whatever a pass would echo with
// /D goes to standard error, so that standard output stays the lines.
int run(int argc, char** argv) {
  int consoleEcho = 0;
  for (int i = 1; i < argc; ++i) {
    consoleEcho |= upperAscii(argv[i]) == "/D";
  }
  std::string cause;
  if (PassLock::probe(cause) == PassLock::kHeld) {
    std::fprintf(stderr,
                 "note  a pass runs in this working directory now; what it has not marked yet "
                 "is shown again\n");
  }
  std::string dataSourceName;
  if (SettingsCheck::connectAsThePass(argv[1], dataSourceName) != 0) {
    return 1;
  }
  std::set<MarkingKey> held;
  heldByTheJournal(dataSourceName, held);
  if (consoleEcho) {
    std::string serverTime;
    MaintenanceStatements::serverTime(serverTime);
    std::fprintf(stderr, "Uebergabe am %s gestartet\n\n", serverTime.c_str());
  }
  int opened = BookingCursor::open(BookingCursor::RowLocks::kReadOnly);
  if (!BookingCursor::isOpen()) {
    SettingsCheck::reportCursorFailure(opened);
    return 1;
  }
  Counts counts;
  bool written = true;
  int status = BookingCursor::fetch();
  for (; status == 0; status = BookingCursor::fetch()) {
    ++counts.read;
    if (held.count(MaintenanceStatements::markingKeyOf(currentBookingRow)) != 0) {
      ++counts.held;
    } else if (EraMapping::acceptRow(currentBookingRow)) {
      ++counts.lines;
      written = writeOut(EraMapping::formatTransferLine(currentBookingRow)) && written;
      if (consoleEcho) {
        std::string line = EraMapping::formatConsoleLine(currentBookingRow);
        std::fwrite(line.data(), 1, line.size(), stderr);
      }
    } else {
      ++counts.filtered;
    }
  }
  written = std::fflush(stdout) == 0 && written;
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
    return 1;
  }
  if (!written) {
    std::fprintf(stderr, "Morlund_Settings: cannot write standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace BookingPreview
