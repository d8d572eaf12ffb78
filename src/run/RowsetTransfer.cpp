#include "run/RowsetTransfer.h"

#include "files/BookingJournal.h"
#include "files/ExportFile.h"
#include "files/LineArchive.h"
#include "run/ExportReport.h"
#include "run/MarkingOutcomes.h"
#include "run/RowsetSorting.h"

using MarkingOutcomes::Keeper;
using MarkingOutcomes::Marking;
using RowsetSorting::Role;
using RowsetSorting::SortedBooking;

namespace RowsetTransfer {

namespace {

// Where the lines of a rowset go: the transfer file, and the server time of
// the pass that the journal and the archive file them under.
struct Destination {
  const std::string& transferPath;
  const std::string& passTime;
};

struct WrittenLines {
  size_t durable = 0;          // lines, from the first, that are durable
  bool journalFailed = false;  // the journal could not take the records: nothing was written
  // The journal's records of the exported bookings' lines, in order.
  std::vector<BookingJournal::WrittenBooking> records;
};

// The journal's records of the lines about to be appended at start of the
// transfer file; gives each exported booking its sequence. Returns 0, or -1
// when the journal could not take them.
int recordLines(std::vector<SortedBooking>& bookings, const Destination& destination,
                const Os::FileIdentity& file, uint64_t start,
                std::vector<BookingJournal::WrittenBooking>& records) {
  for (const SortedBooking& booking : bookings) {
    if (booking.role != Role::kExported) {
      continue;
    }
    BookingJournal::WrittenBooking record;
    record.key = booking.key;
    record.transferPath = destination.transferPath;
    record.passTime = destination.passTime;
    record.device = file.device;
    record.inode = file.inode;
    record.offset = start;
    record.line = booking.forms.transferLine;
    start += record.line.size();
    records.push_back(std::move(record));
  }
  if (BookingJournal::recordWritten(records) != 0) {
    return -1;
  }
  size_t next = 0;
  for (SortedBooking& booking : bookings) {
    if (booking.role == Role::kExported) {
      booking.journalSequence = records[next++].sequence;
    }
  }
  return 0;
}

// Appends the lines of the exported bookings with one write and one sync,
// recorded in the journal first when it is open; then archives the durable
// ones (synced) and only then records them durable in the journal: a line
// recorded durable is always archived, and a line archived was synced.
// An archive that cannot be written changes nothing of the journal.
WrittenLines writeLines(std::vector<SortedBooking>& bookings, const Destination& destination) {
  WrittenLines written;
  std::vector<std::string> lines;
  for (const SortedBooking& booking : bookings) {
    if (booking.role == Role::kExported) {
      lines.push_back(booking.forms.transferLine);
    }
  }
  if (lines.empty()) {
    return written;
  }
  ExportFile::BeforeAppend recordFirst;
  if (BookingJournal::isOpen()) {
    recordFirst = [&](const Os::FileIdentity& file, int64_t start) {
      written.journalFailed = recordLines(bookings, destination, file, static_cast<uint64_t>(start),
                                          written.records) != 0;
      return written.journalFailed ? -1 : 0;
    };
  }
  written.durable = ExportFile::appendLines(destination.transferPath, lines, recordFirst);
  std::vector<uint64_t> synced;
  std::vector<LineArchive::ArchivedLine> archived;
  for (size_t index = 0; index < written.records.size() && index < written.durable; ++index) {
    synced.push_back(written.records[index].sequence);
    archived.push_back(LineArchive::fromJournal(written.records[index]));
  }
  LineArchive::append(std::move(archived));
  BookingJournal::recordDurable(synced);
  return written;
}

// The bookings handled now: all, or those before the first exported one
// whose line is not durable, which stops the pass there.
size_t handledCount(const std::vector<SortedBooking>& bookings, size_t durable) {
  size_t exported = 0;
  for (size_t index = 0; index < bookings.size(); ++index) {
    if (bookings[index].role == Role::kExported && exported++ == durable) {
      return index;
    }
  }
  return bookings.size();
}

std::vector<Marking> markingsOf(const std::vector<SortedBooking>& bookings, size_t count) {
  std::vector<Marking> markings;
  for (size_t index = 0; index < count; ++index) {
    const SortedBooking& booking = bookings[index];
    Keeper keeper = booking.role == Role::kHeld    ? Keeper::kJournalAgain
                    : booking.journalSequence != 0 ? Keeper::kJournal
                                                   : Keeper::kNextPassExports;
    markings.push_back({booking.key, booking.journalSequence, keeper});
  }
  return markings;
}

// The journal failed on this rowset: it and the rest of the pass go
// booking by booking, without it.
int transferOneByOne(const std::vector<BookingRow>& rows, const std::string& transferPath,
                     const std::string& passTime) {
  for (const BookingRow& row : rows) {
    if (transferRowset({row}, transferPath, passTime) != 0) {
      return kLineNotWritten;
    }
  }
  return 0;
}

}  // namespace

int transferRowset(const std::vector<BookingRow>& rows, const std::string& transferPath,
                   const std::string& passTime) {
  std::vector<SortedBooking> bookings =
      RowsetSorting::sortRowset(rows, BookingJournal::heldFromEarlierPass);
  for (const SortedBooking& booking : bookings) {
    if (booking.role == Role::kHeld) {
      BookingJournal::noteReturnedByCursor(booking.journalSequence);
    }
  }
  WrittenLines written = writeLines(bookings, {transferPath, passTime});
  if (written.journalFailed) {
    return transferOneByOne(rows, transferPath, passTime);
  }
  ExportReport::countRead(static_cast<int64_t>(rows.size()));
  size_t handled = handledCount(bookings, written.durable);
  std::vector<Marking> markings = markingsOf(bookings, handled);
  std::vector<TransferMarking::MarkingOutcome> outcomes = MarkingOutcomes::markAll(markings);
  std::vector<uint64_t> retired;
  for (size_t index = 0; index < handled; ++index) {
    if (bookings[index].role == Role::kExported) {
      ExportReport::reportExported(bookings[index].forms);
    } else if (bookings[index].role == Role::kFiltered) {
      ExportReport::countFiltered();
    }
    if (MarkingOutcomes::apply(markings[index], outcomes[index])) {
      retired.push_back(markings[index].journalSequence);
    }
  }
  BookingJournal::recordRetired(retired);
  return handled < rows.size() ? kLineNotWritten : 0;
}

}  // namespace RowsetTransfer
