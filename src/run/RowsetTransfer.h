#pragma once

#include <string>
#include <vector>

#include "db/BookingRow.h"

// The bookings of one rowset of the booking cursor, from their era codes
// to their markings. With the journal of written bookings the rowset goes
// to the transfer file with one append and one sync, its lines to the
// archive of sent lines, and its bookings to the server with one marking
// request; without it the row loop hands over one booking at a
// time, so that a failure between a line and its marking can export one
// booking twice, not a rowset.
//
// Every output stays booking by booking what a pass that marks one at a
// time writes: the line, the count, the run-log entry and the console line
// of each exported booking, then its marking's echo and reports; only the
// console lines of a rowset come once its markings are done.
namespace RowsetTransfer {

// A line of the rowset could not be written: the bookings before it are
// durable, marked and reported, and it and those after it stay
// untransferred.
inline constexpr int kLineNotWritten = -1;

// passTime: the server time of the pass, as its run log shows it; the
// journal and the archive of sent lines file the rowset's lines under it.
// Returns 0, or kLineNotWritten.
int transferRowset(const std::vector<BookingRow>& rows, const std::string& transferPath,
                   const std::string& passTime);

}  // namespace RowsetTransfer
