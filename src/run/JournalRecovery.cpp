#include "run/JournalRecovery.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "db/TransferMarking.h"
#include "files/BookingJournal.h"
#include "files/ErrorOutput.h"
#include "files/ExportFile.h"
#include "files/LineArchive.h"
#include "run/MarkingOutcomes.h"

using BookingJournal::WrittenBooking;

namespace JournalRecovery {

namespace {

std::string named(const WrittenBooking& booking) {
  return TransferMarking::describeKey(booking.key);
}

// A line found in place may still be only in memory, left by a pass killed
// before its sync; its file is synced (once) before the booking is marked.
// Returns how that sync failed (kind kNone when it did not).
using SyncedFiles = std::map<std::tuple<std::string, uint64_t, uint64_t>, Os::Error>;

Os::Error syncedOnce(const WrittenBooking& booking, SyncedFiles& files) {
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

// Why a booking whose line is not (or not verifiably) in place is retired:
// a line that went to a file taken away before it was recorded as synced
// may be with the payroll side, or may have been lost with a power
// failure, and so may one whose file cannot be synced now.
void reportNotInPlace(const WrittenBooking& booking, BookingJournal::LineState state,
                      const Os::Error& syncError) {
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

// The held bookings whose lines are in place, synced; the others are
// retired.
std::vector<WrittenBooking> inPlaceOrRetired(const std::vector<WrittenBooking>& held) {
  std::vector<WrittenBooking> inPlace;
  std::vector<uint64_t> retired;
  SyncedFiles syncedFiles;
  for (const WrittenBooking& booking : held) {
    BookingJournal::LineState state = BookingJournal::recoveryState(booking);
    Os::Error syncError;
    if (state == BookingJournal::LineState::kInPlace && !booking.durable) {
      syncError = syncedOnce(booking, syncedFiles);
      if (syncError.kind == Os::ErrorKind::kAnotherFileNow) {
        state = BookingJournal::LineState::kUnknown;
      }
    }
    if (state == BookingJournal::LineState::kInPlace && syncError.kind == Os::ErrorKind::kNone) {
      inPlace.push_back(booking);
      continue;
    }
    retired.push_back(booking.sequence);
    reportNotInPlace(booking, state, syncError);
  }
  BookingJournal::recordRetired(retired);
  return inPlace;
}

// A line in place that its pass did not record durable was synced just now;
// that pass may have died before its archive's sync or after it. The
// archive is asked, and takes the line under that pass's time where it does
// not hold it; once it does, the journal records the line durable, so that
// no later pass asks again. A line recorded durable is archived already.
void archiveInPlace(const std::vector<WrittenBooking>& inPlace) {
  std::vector<LineArchive::ArchivedLine> lines;
  std::vector<uint64_t> sequences;
  int64_t since = INT64_MAX;
  for (const WrittenBooking& booking : inPlace) {
    if (!booking.durable) {
      lines.push_back(LineArchive::fromJournal(booking));
      sequences.push_back(booking.sequence);
      since = std::min(since, static_cast<int64_t>(booking.recordedAt));
    }
  }
  if (lines.empty()) {
    return;
  }
  std::vector<bool> archived = LineArchive::appendMissing(lines, since);
  std::vector<uint64_t> durable;
  for (size_t index = 0; index < sequences.size(); ++index) {
    if (archived[index]) {
      durable.push_back(sequences[index]);
    }
  }
  BookingJournal::recordDurable(durable);
}

}  // namespace

// The marking runs before anything else of the pass's reading, so that the
// cursor does not even return a booking whose line is already out there.
// Each request's bookings are retired as soon as it is done.
void recover() {
  std::vector<WrittenBooking> inPlace = inPlaceOrRetired(BookingJournal::heldBookings());
  archiveInPlace(inPlace);
  for (const std::vector<WrittenBooking>& request : TransferMarking::inRequests(inPlace)) {
    std::vector<MarkingOutcomes::Marking> markings;
    for (const WrittenBooking& booking : request) {
      markings.push_back({booking.key, booking.sequence, MarkingOutcomes::Keeper::kJournalAgain});
    }
    std::vector<TransferMarking::MarkingOutcome> outcomes = MarkingOutcomes::markAll(markings);
    std::vector<uint64_t> retired;
    for (size_t index = 0; index < request.size(); ++index) {
      if (MarkingOutcomes::apply(markings[index], outcomes[index])) {
        retired.push_back(request[index].sequence);
        ErrorOutput::report(ErrorOutput::Priority::kNotice,
                            "marked booking %s as transferred: its line from an earlier pass "
                            "is in the transfer file %s",
                            named(request[index]).c_str(), request[index].transferPath.c_str());
      }
    }
    BookingJournal::recordRetired(retired);
  }
}

void finish(bool cursorReadToEnd) {
  if (!cursorReadToEnd) {
    return;
  }
  std::vector<uint64_t> retired;
  for (const WrittenBooking& booking : BookingJournal::vanishedBookings()) {
    retired.push_back(booking.sequence);
    ErrorOutput::report(ErrorOutput::Priority::kNotice,
                        "no booking has the key %s any more, and none was read with it; the "
                        "journal forgets it",
                        named(booking).c_str());
  }
  BookingJournal::recordRetired(retired);
}

}  // namespace JournalRecovery
