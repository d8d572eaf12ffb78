#include "run/RowsetTransfer.h"

#include <cstdio>

#include "db/MaintenanceStatements.h"
#include "files/BookingJournal.h"
#include "files/ExportFile.h"
#include "run/EraMapping.h"
#include "run/JournalRecovery.h"
#include "run/MarkingReports.h"

namespace RowsetTransfer {

namespace {

// What becomes of a booking of the rowset.
enum class Role { kExported, kFiltered, kHeld };

struct Booking {
  Role role = Role::kFiltered;
  MarkingKey key;
  uint64_t sequence = 0;  // its record in the journal, if any
};

// Writes the lines of the exported bookings, recorded in the journal first
// when it is open, and returns how many of them are durable. Sets
// journalFailed when the journal could not take the records: nothing was
// written then.
size_t writeLines(const std::vector<BookingRow>& rows, std::vector<Booking>& bookings,
                  const std::string& transferPath, bool& journalFailed) {
  std::vector<std::string> lines;
  std::vector<size_t> exported;
  for (size_t index = 0; index < rows.size(); ++index) {
    if (bookings[index].role == Role::kExported) {
      lines.push_back(EraMapping::formatTransferLine(rows[index]));
      exported.push_back(index);
    }
  }
  if (lines.empty()) {
    return 0;
  }
  std::vector<BookingJournal::WrittenBooking> records;
  ExportFile::BeforeAppend recordFirst;
  if (BookingJournal::isOpen()) {
    recordFirst = [&](const Os::FileIdentity& file, int64_t start) {
      uint64_t offset = static_cast<uint64_t>(start);
      for (size_t line = 0; line < lines.size(); ++line) {
        BookingJournal::WrittenBooking record;
        record.key = bookings[exported[line]].key;
        record.transferPath = transferPath;
        record.device = file.device;
        record.inode = file.inode;
        record.offset = offset;
        record.line = lines[line];
        offset += lines[line].size();
        records.push_back(std::move(record));
      }
      if (BookingJournal::recordWritten(records) != 0) {
        journalFailed = true;
        return -1;
      }
      return 0;
    };
  }
  size_t durable = ExportFile::appendLines(transferPath, lines, recordFirst);
  if (journalFailed) {
    return 0;
  }
  std::vector<uint64_t> synced;
  for (size_t line = 0; line < records.size(); ++line) {
    bookings[exported[line]].sequence = records[line].sequence;
    if (line < durable) {
      synced.push_back(records[line].sequence);
    }
  }
  BookingJournal::recordDurable(synced);
  return durable;
}

}  // namespace

int transferRowset(std::vector<BookingRow>& rows, const std::string& transferPath, int consoleEcho,
                   int32_t& exportCount, Tally& tally) {
  std::vector<Booking> bookings(rows.size());
  size_t exportedCount = 0;
  for (size_t index = 0; index < rows.size(); ++index) {
    Booking& booking = bookings[index];
    booking.key = MaintenanceStatements::markingKeyOf(rows[index]);
    booking.sequence = JournalRecovery::heldSequence(booking.key);
    if (booking.sequence != 0) {
      booking.role = Role::kHeld;
    } else if (EraMapping::acceptRow(rows[index])) {
      booking.role = Role::kExported;
      ++exportedCount;
    }
  }
  bool journalFailed = false;
  size_t durable = writeLines(rows, bookings, transferPath, journalFailed);
  if (journalFailed) {
    // The rest of the pass goes booking by booking, without the journal.
    for (size_t index = 0; index < rows.size(); ++index) {
      std::vector<BookingRow> single = {rows[index]};
      if (transferRowset(single, transferPath, consoleEcho, exportCount, tally) != 0) {
        return 90;
      }
    }
    return 0;
  }

  // The first booking whose line is not durable stops the pass there.
  size_t stop = rows.size();
  if (durable < exportedCount) {
    size_t seen = 0;
    for (stop = 0; stop < rows.size(); ++stop) {
      if (bookings[stop].role == Role::kExported && seen++ == durable) {
        break;
      }
    }
  }
  tally.read += static_cast<int64_t>(rows.size());
  std::vector<MarkingKey> keys;
  for (size_t index = 0; index < stop; ++index) {
    keys.push_back(bookings[index].key);
  }
  std::vector<MaintenanceStatements::MarkingOutcome> outcomes;
  std::string batchEnd;
  size_t told = MaintenanceStatements::markBatch(keys, outcomes, batchEnd);
  if (told < keys.size()) {
    MarkingReports::reportShortBatch(keys.size(), told, batchEnd);
  }

  std::vector<uint64_t> retired;
  for (size_t index = 0; index < stop; ++index) {
    const Booking& booking = bookings[index];
    const MaintenanceStatements::MarkingOutcome& outcome = outcomes[index];
    bool held = booking.role == Role::kHeld;
    ++(outcome.status == 0 ? tally.marked : tally.failedMarkings);
    if (booking.role == Role::kExported) {
      ++tally.exported;
      tally.appendedBytes +=
          static_cast<int64_t>(EraMapping::formatTransferLine(rows[index]).size());
      EraMapping::reportExported(rows[index], consoleEcho, exportCount);
      if (outcome.status == 0 && booking.sequence != 0) {
        retired.push_back(booking.sequence);
      }
    } else if (held) {
      JournalRecovery::heldMarked(booking.key, outcome.status);
    } else {
      ++tally.filtered;
    }
    if (outcome.rowsChanged > 1) {
      MarkingReports::reportTwins(booking.key, outcome.rowsChanged);
    }
    if (outcome.status != 0) {
      if (consoleEcho && !held) {
        std::printf("\nFehler 'SQL_MarkTranfer: %d\n", outcome.status);
      }
      MarkingReports::Keeper keeper = held ? MarkingReports::Keeper::kJournalAgain
                                      : booking.sequence != 0
                                          ? MarkingReports::Keeper::kJournal
                                          : MarkingReports::Keeper::kNextPassExports;
      MarkingReports::reportFailedMarking(booking.key, outcome.status, outcome.cause, keeper);
    }
  }
  BookingJournal::recordRetired(retired);
  return stop < rows.size() ? 90 : 0;
}

}  // namespace RowsetTransfer
