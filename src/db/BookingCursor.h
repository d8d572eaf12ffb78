#pragma once

#include <cstddef>
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

// Rows the cursor asks the driver for at a time; a driver may grant fewer,
// down to one. The bookings of a rowset are written and marked together, so
// this also bounds a marking request.
//
// The marking costs one request per rowset; 128 rows make the fetches add
// less than 1 % to that, where 64 would still add 1.6 % and more rows would
// win next to nothing. A forward-only cursor with lock concurrency makes the
// server lock every row of the rowset until the next fetch, so a bigger
// rowset would also keep more bookings locked against the terminals that
// write them. The rowset takes 128 x 464 bytes.
inline constexpr size_t kRowsetSize = 128;

// How the cursor meets the terminals that write bookings. A pass locks the
// rows of each rowset until its markings are done: the server cursor that
// lock concurrency asks for is also what lets the marking UPDATE run beside
// it on the same connection. A reader that marks nothing locks nothing.
enum class RowLocks { kLockRowset, kReadOnly };

// Results of open: only kOpened leaves a cursor to fetch from.
inline constexpr int kOpened = 0;
inline constexpr int kSelectFailed = -1;       // LastDiagnostic holds the driver's records
inline constexpr int kNoStatementHandle = -2;  // LastDiagnostic: the connection's records

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

// The cause of a failed open for standard error: the driver's records,
// after "no statement handle: " when there was none.
std::string describeOpenFailure(int openResult);

}  // namespace BookingCursor
