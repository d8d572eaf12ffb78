#include "run/MarkingOutcomes.h"

#include <string>

#include "files/BookingJournal.h"
#include "files/ErrorOutput.h"
#include "run/ExportReport.h"

using TransferMarking::MarkingOutcome;
using TransferMarking::MarkingResult;

namespace MarkingOutcomes {

namespace {

void reportFailedMarking(const MarkingKey& key, const MarkingOutcome& outcome, Keeper keeper) {
  const char* consequence =
      keeper == Keeper::kNextPassExports
          ? "the next pass exports it again"
          : "the journal keeps it: the next pass marks it and does not export it again";
  ErrorOutput::report(
      ErrorOutput::Priority::kWarning,
      "marking booking %s as transferred failed%s with %d (%s); %s%s",
      TransferMarking::describeKey(key).c_str(), keeper == Keeper::kJournalAgain ? " again" : "",
      outcome.status,
      outcome.result == MarkingResult::kNoRow ? "no row changed" : outcome.cause.c_str(),
      keeper == Keeper::kJournalAgain ? "its line is in the transfer file from an earlier pass; "
                                      : "",
      consequence);
}

// Said once per request: a server that keeps failing requests should show,
// since every one of them costs a request per booking.
void reportUndecidedRequest(size_t count, const std::string& cause) {
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "a marking request for %zu bookings did not tell that each of them was "
                      "marked (%s); a transaction it left open was rolled back, and they were "
                      "marked one by one",
                      count, cause.empty() ? "no outcome of its own" : cause.c_str());
}

// The marking finds a booking by its key alone: bookings that share it are
// marked together. One not yet written (its turn still to come when the
// pass ends early, or one the server's cursor then passes over) is never
// exported. The twins come one after the other, so the last key named is
// enough to say it once per key.
void reportTwins(const MarkingKey& key, SQLLEN rows) {
  static std::string lastKey;
  std::string named = TransferMarking::describeKey(key);
  if (named == lastKey) {
    return;
  }
  lastKey = named;
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "marking booking %s as transferred changed %ld rows: they share its key "
                      "and are all marked now; any of them not in the transfer file will not be "
                      "exported",
                      named.c_str(), static_cast<long>(rows));
}

// The outcomes of one request, each decided.
std::vector<MarkingOutcome> markRequest(const std::vector<MarkingKey>& keys) {
  std::string endCause;
  std::vector<MarkingOutcome> outcomes = TransferMarking::sendRequest(keys, endCause);
  bool undecided = false;
  for (size_t index = 0; index < keys.size(); ++index) {
    if (outcomes[index].result == MarkingResult::kUndecided) {
      undecided = true;
      outcomes[index] = TransferMarking::markOne(keys[index]);
    }
  }
  if (undecided) {
    reportUndecidedRequest(keys.size(), endCause);
  }
  return outcomes;
}

}  // namespace

std::vector<MarkingOutcome> markAll(const std::vector<Marking>& markings) {
  std::vector<MarkingKey> keys;
  for (const Marking& marking : markings) {
    keys.push_back(marking.key);
  }
  std::vector<MarkingOutcome> outcomes;
  for (const std::vector<MarkingKey>& request : TransferMarking::inRequests(keys)) {
    std::vector<MarkingOutcome> told = markRequest(request);
    outcomes.insert(outcomes.end(), told.begin(), told.end());
  }
  return outcomes;
}

bool apply(const Marking& marking, const MarkingOutcome& outcome) {
  bool marked = outcome.result == MarkingResult::kMarked;
  ExportReport::countMarking(marked);
  if (outcome.rowsChanged > 1) {
    reportTwins(marking.key, outcome.rowsChanged);
  }
  if (marked) {
    return marking.journalSequence != 0;
  }
  if (marking.keeper != Keeper::kJournalAgain) {
    ExportReport::echoFailedMarking(outcome.status);
  }
  reportFailedMarking(marking.key, outcome, marking.keeper);
  if (marking.journalSequence != 0) {
    BookingJournal::noteFailedMarking(marking.journalSequence,
                                      outcome.result == MarkingResult::kNoRow);
  }
  return false;
}

}  // namespace MarkingOutcomes
