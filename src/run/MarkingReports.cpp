#include "run/MarkingReports.h"

#include "db/MaintenanceStatements.h"
#include "files/ErrorOutput.h"

namespace MarkingReports {

void reportFailedMarking(const MarkingKey& key, int32_t status, const std::string& cause,
                         Keeper keeper) {
  const char* consequence =
      keeper == Keeper::kNextPassExports
          ? "the next pass exports it again"
          : "the journal keeps it: the next pass marks it and does not export it again";
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "marking booking %s as transferred failed%s with %d (%s); %s%s",
                      MaintenanceStatements::describeKey(key).c_str(),
                      keeper == Keeper::kJournalAgain ? " again" : "", status,
                      status == 100 ? "no row changed" : cause.c_str(),
                      keeper == Keeper::kJournalAgain ? "its line is in the transfer file from an "
                                                        "earlier pass; "
                                                      : "",
                      consequence);
}

// Said once per request: a server that keeps failing batches should show,
// since every one of them costs a request per booking.
void reportShortBatch(size_t count, size_t told, const std::string& cause) {
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "a marking request for %zu bookings told the outcomes of only %zu of them "
                      "(the next: %s); those from there on were marked one by one",
                      count, told, cause.empty() ? "no outcome of its own" : cause.c_str());
}

// One not yet written (its turn still to come when the pass ends early, or
// one the server's cursor then passes over) is never exported. The twins
// come one after the other, so the last key named is enough.
void reportTwins(const MarkingKey& key, SQLLEN rows) {
  static std::string lastKey;
  std::string named = MaintenanceStatements::describeKey(key);
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

}  // namespace MarkingReports
