#pragma once

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "db/BookingRow.h"

// What standard error says of the markings of a pass, wherever they run:
// in the row loop, for bookings the journal holds, or at recovery.
namespace MarkingReports {

// Who answers for a booking whose marking failed.
enum class Keeper {
  kNextPassExports,  // no journal: the next pass reads and exports it again
  kJournal,          // the journal holds it: the next pass marks it, never exports it again
  kJournalAgain,     // the journal held it already; its line is from an earlier pass
};

// cause: the driver's records of the failure (unused for 100: no row changed).
void reportFailedMarking(const MarkingKey& key, int32_t status, const std::string& cause,
                         Keeper keeper);

// A marking request whose outcomes the driver told for fewer than all of
// its bookings (told of count); the rest were marked one by one. cause: the
// driver's records of the failure where it ended, if any.
void reportShortBatch(size_t count, size_t told, const std::string& cause);

// The marking finds a booking by its key alone: bookings that share it are
// marked together. Said once per key.
void reportTwins(const MarkingKey& key, SQLLEN rows);

}  // namespace MarkingReports
