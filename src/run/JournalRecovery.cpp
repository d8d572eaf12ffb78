#include "run/JournalRecovery.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "db/MaintenanceStatements.h"
#include "files/BookingJournal.h"
#include "files/ErrorOutput.h"
#include "files/ExportFile.h"
#include "run/MarkingReports.h"

namespace JournalRecovery {

namespace {

// The bookings per marking request, as the row loop sends them.
constexpr size_t kMarkingsPerRequest = 128;

struct HeldBooking {
  uint64_t sequence = 0;
  int32_t lastStatus = -1;
  bool returnedByCursor = false;
};

std::map<MarkingKey, HeldBooking> held;

std::string named(const BookingJournal::WrittenBooking& booking) {
  return MaintenanceStatements::describeKey(booking.key);
}

// A line found in place may still be only in memory, left by a pass killed
// before its sync; its file is synced (once) before the booking is marked.
// Returns how that sync failed (kind kNone when it did not).
using SyncedFiles = std::map<std::tuple<std::string, uint64_t, uint64_t>, Os::Error>;

Os::Error syncedOnce(const BookingJournal::WrittenBooking& booking, SyncedFiles& files) {
  auto file = std::make_tuple(booking.transferPath, booking.device, booking.inode);
  auto found = files.find(file);
  if (found == files.end()) {
    Os::Error error;
    int result =
        ExportFile::syncWrittenFile(booking.transferPath, {booking.device, booking.inode}, error);
    found = files.emplace(file, result == 0 ? Os::Error() : error).first;
  }
  return found->second;
}

// Forgets the bookings whose lines are not (or not verifiably) in place; a
// line that went to a file taken away before it was recorded as synced may
// be with the payroll side, or may have been lost with a power failure, and
// so may one whose file cannot be synced now.
void sortOut(const std::vector<BookingJournal::WrittenBooking>& recorded,
             std::vector<BookingJournal::WrittenBooking>& toMark) {
  std::vector<uint64_t> forgotten;
  SyncedFiles syncedFiles;
  for (const BookingJournal::WrittenBooking& booking : recorded) {
    BookingJournal::LineState state = BookingJournal::recoveryState(booking);
    Os::Error syncError;
    if (state == BookingJournal::LineState::kInPlace && !booking.durable) {
      syncError = syncedOnce(booking, syncedFiles);
      if (syncError.kind == Os::ErrorKind::kAnotherFileNow) {
        state = BookingJournal::LineState::kUnknown;
      }
    }
    if (state == BookingJournal::LineState::kInPlace && syncError.kind == Os::ErrorKind::kNone) {
      toMark.push_back(booking);
      continue;
    }
    forgotten.push_back(booking.sequence);
    if (state == BookingJournal::LineState::kMissing) {
      ErrorOutput::report(ErrorOutput::Priority::kNotice,
                          "booking %s is not in the transfer file %s any more (its line was "
                          "removed unfinished, or the file emptied); the journal forgets it and "
                          "it is exported again",
                          named(booking).c_str(), booking.transferPath.c_str());
    } else if (state == BookingJournal::LineState::kInPlace) {
      ErrorOutput::report(ErrorOutput::Priority::kWarning,
                          "booking %s may reach the payroll side twice: its line is in the "
                          "transfer file %s, which cannot be synced (%s); the journal forgets it, "
                          "and if it is still untransferred it is exported again",
                          named(booking).c_str(), booking.transferPath.c_str(),
                          syncError.cause.c_str());
    } else {
      ErrorOutput::report(ErrorOutput::Priority::kWarning,
                          "booking %s may reach the payroll side twice: its line went to the "
                          "transfer file %s, which was taken away before the line was synced; "
                          "the journal forgets it, and if it is still untransferred it is "
                          "exported again",
                          named(booking).c_str(), booking.transferPath.c_str());
    }
  }
  BookingJournal::recordRetired(forgotten);
}

}  // namespace

// The marking runs before anything else of the pass's reading, so that the
// cursor does not even return a booking whose line is already out there.
void recover(RowsetTransfer::Tally& tally) {
  held.clear();
  std::vector<BookingJournal::WrittenBooking> toMark;
  sortOut(BookingJournal::heldBookings(), toMark);
  for (size_t first = 0; first < toMark.size(); first += kMarkingsPerRequest) {
    size_t count = std::min(kMarkingsPerRequest, toMark.size() - first);
    std::vector<MarkingKey> keys;
    for (size_t index = first; index < first + count; ++index) {
      keys.push_back(toMark[index].key);
    }
    std::vector<MaintenanceStatements::MarkingOutcome> outcomes;
    std::string batchEnd;
    size_t told = MaintenanceStatements::markBatch(keys, outcomes, batchEnd);
    if (told < keys.size()) {
      MarkingReports::reportShortBatch(keys.size(), told, batchEnd);
    }
    std::vector<uint64_t> marked;
    for (size_t index = 0; index < count; ++index) {
      const BookingJournal::WrittenBooking& booking = toMark[first + index];
      const MaintenanceStatements::MarkingOutcome& outcome = outcomes[index];
      if (outcome.rowsChanged > 1) {
        MarkingReports::reportTwins(booking.key, outcome.rowsChanged);
      }
      ++(outcome.status == 0 ? tally.marked : tally.failedMarkings);
      if (outcome.status == 0) {
        marked.push_back(booking.sequence);
        ErrorOutput::report(ErrorOutput::Priority::kNotice,
                            "marked booking %s as transferred: its line from an earlier pass is "
                            "in the transfer file %s",
                            named(booking).c_str(), booking.transferPath.c_str());
        continue;
      }
      held[booking.key] = {booking.sequence, outcome.status, false};
      MarkingReports::reportFailedMarking(booking.key, outcome.status, outcome.cause,
                                          MarkingReports::Keeper::kJournalAgain);
    }
    BookingJournal::recordRetired(marked);
  }
}

uint64_t heldSequence(const MarkingKey& key) {
  auto found = held.find(key);
  if (found == held.end()) {
    return 0;
  }
  found->second.returnedByCursor = true;
  return found->second.sequence;
}

void heldMarked(const MarkingKey& key, int32_t status) {
  auto found = held.find(key);
  if (found == held.end()) {
    return;
  }
  if (status == 0) {
    BookingJournal::recordRetired({found->second.sequence});
    held.erase(found);
  } else {
    found->second.lastStatus = status;
  }
}

void finish(bool cursorReadToEnd) {
  if (!cursorReadToEnd) {
    return;
  }
  std::vector<uint64_t> gone;
  for (const BookingJournal::WrittenBooking& booking : BookingJournal::heldBookings()) {
    auto found = held.find(booking.key);
    if (found == held.end() || found->second.returnedByCursor || found->second.lastStatus != 100) {
      continue;
    }
    gone.push_back(booking.sequence);
    held.erase(found);
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "no booking has the key %s any more, and none was read with it; the "
                        "journal forgets it",
                        named(booking).c_str());
  }
  BookingJournal::recordRetired(gone);
}

size_t heldCount(int64_t& oldestRecordedAt) {
  oldestRecordedAt = 0;
  std::vector<BookingJournal::WrittenBooking> recorded = BookingJournal::heldBookings();
  for (const BookingJournal::WrittenBooking& booking : recorded) {
    int64_t at = static_cast<int64_t>(booking.recordedAt);
    if (oldestRecordedAt == 0 || at < oldestRecordedAt) {
      oldestRecordedAt = at;
    }
  }
  return recorded.size();
}

}  // namespace JournalRecovery
