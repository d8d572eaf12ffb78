#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/BookingRow.h"

// The bookings of one rowset of the booking cursor, from their era codes
// to their markings. With the journal of written bookings the rowset goes
// to the transfer file with one append and one sync, and to the server with
// one marking request; without it the row loop hands over one booking at a
// time, so that a failure between a line and its marking can export one
// booking twice, not a rowset.
//
// Every output stays booking by booking what a pass that marks one at a
// time writes: the line, the count, the run-log entry and the console line
// of each exported booking, then its marking's echo and reports; only the
// console lines of a rowset come once its markings are done.
namespace RowsetTransfer {

// What a pass did with bookings, for its metrics; markings of bookings the
// journal held count with the others.
struct Tally {
  int64_t read = 0;
  int64_t exported = 0;
  int64_t filtered = 0;
  int64_t marked = 0;
  int64_t failedMarkings = 0;  // failed, or changed no row
  int64_t appendedBytes = 0;
};

// Returns 0, or 90 when a line could not be written: then the bookings
// before it are durable, marked and reported, and it and those after it
// stay untransferred.
int transferRowset(std::vector<BookingRow>& rows, const std::string& transferPath, int consoleEcho,
                   int32_t& exportCount, Tally& tally);

}  // namespace RowsetTransfer
