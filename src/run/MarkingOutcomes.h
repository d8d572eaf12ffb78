#pragma once

#include <cstdint>
#include <vector>

#include "db/BookingRow.h"
#include "db/TransferMarking.h"

// The markings of a pass and what becomes of each, wherever they run: in
// the row loop for the bookings of a rowset, or at recovery for the
// bookings the journal holds.
namespace MarkingOutcomes {

// Who answers for a booking whose marking failed.
enum class Keeper {
  kNextPassExports,  // no journal: the next pass reads and exports it again
  kJournal,          // the journal holds it: the next pass marks it, never exports it again
  kJournalAgain,     // the journal held it already; its line is from an earlier pass
};

// A booking to mark.
struct Marking {
  MarkingKey key;
  uint64_t journalSequence = 0;  // its record in the journal, if any
  Keeper keeper = Keeper::kNextPassExports;
};

// Marks the bookings, in requests of at most a rowset each; what a request
// left undecided is marked one by one, and standard error says so once per
// request. Every outcome is decided: one per booking, in order.
std::vector<TransferMarking::MarkingOutcome> markAll(const std::vector<Marking>& markings);

// Applies one booking's outcome: counts it, says twins and a failure on
// standard error (and echoes a failure of a booking this pass read), and
// tells the journal of a failure. Returns whether the journal may retire
// the booking now: it holds it, and its marking succeeded.
bool apply(const Marking& marking, const TransferMarking::MarkingOutcome& outcome);

}  // namespace MarkingOutcomes
