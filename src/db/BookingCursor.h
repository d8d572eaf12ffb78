#pragma once

#include <string>

#include "db/BookingRow.h"

// The one open SELECT over the bookings not yet transferred. It stays
// positioned while the marking UPDATE runs on the same connection.
namespace BookingCursor {

// The bookings not yet transferred, as the FROM and WHERE of a query: the
// cursor reads them, and a check before the first pass counts them.
inline constexpr const char kUntransferredBookings[] =
    "FROM  KVLSYSTEM.Kvl321Bew WHERE (BewUkz != 4  OR BewUkz IS NULL)";

// The SELECT the cursor runs.
std::string selectText();

// How the cursor meets the terminals that write bookings. A pass locks the
// rows of each rowset until its markings are done: the server cursor that
// lock concurrency asks for is also what lets the marking UPDATE run beside
// it on the same connection. A reader that marks nothing locks nothing.
enum class RowLocks { kLockRowset, kReadOnly };

// Returns 0 when the SELECT runs (or no statement handle could be had: then
// the first fetch fails), -1 when it fails.
int open(RowLocks locks = RowLocks::kLockRowset);

// Returns 0 with the next booking in currentBookingRow, 100 after the last
// row, -1 on failure (the cursor is then gone).
int fetch();

int close();

// Whether every row of the rowset in hand has been handed out, so that the
// next fetch asks the server: the bookings of a rowset are written and
// marked together, while the server still holds their locks.
bool rowsetHandedOut();

// Whether a cursor is open: after a failed open or fetch it is not.
bool isOpen();

}  // namespace BookingCursor
