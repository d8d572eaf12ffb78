#pragma once

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/BookingCursor.h"
#include "db/BookingRow.h"

// The transfer mark of a booking: the UPDATE that sets it, one booking
// marked on its own, and a request that marks the bookings of a rowset
// together and tells each statement's outcome.
namespace TransferMarking {

// What the marking of a booking compares it by.
MarkingKey markingKeyOf(const BookingRow& row);

// A booking named by its key for standard error, as its line shows it:
// ID 'x', Sto 'x', Dtm 'yyyymmddhhmiss', Uhr 'yyyymmddhhmiss', Lfn 'x'.
std::string describeKey(const MarkingKey& key);

// The UPDATE that marks the booking as transferred.
std::string markingStatement(const BookingRow& row);
std::string markingStatement(const MarkingKey& key);

// How the marking of a booking ended.
enum class MarkingResult {
  kMarked,     // the UPDATE changed one row or more
  kNoRow,      // it changed none (SQL_NO_DATA or a row count of 0)
  kFailed,     // the server refused it; status holds its native error
  kUndecided,  // a request did not tell: it is marked one by one
};

struct MarkingOutcome {
  MarkingResult result = MarkingResult::kUndecided;
  // As the console shows a failed marking: 0 marked, SQL_NO_DATA no row, the
  // native error of a refusal (-1 when the driver gave none).
  int32_t status = -1;
  SQLLEN rowsChanged = -1;  // -1 when unknown; more than one when bookings share the key
  std::string cause;        // kFailed: the driver's records, as describeLastDiagnostic gives them
};

// Marks one booking with its own statement.
MarkingOutcome markOne(const MarkingKey& key);

// The markings one request carries: never more than the cursor's rowset,
// so that a rowset's bookings go in one request and the journal's bookings
// in requests of the same size.
inline constexpr size_t kMostMarkingsPerRequest = BookingCursor::kRowsetSize;

// Markings split into requests of at most kMostMarkingsPerRequest, in order.
template <typename Marking>
std::vector<std::vector<Marking>> inRequests(const std::vector<Marking>& markings) {
  std::vector<std::vector<Marking>> requests;
  for (size_t first = 0; first < markings.size(); first += kMostMarkingsPerRequest) {
    size_t end = first + kMostMarkingsPerRequest < markings.size() ? first + kMostMarkingsPerRequest
                                                                   : markings.size();
    requests.emplace_back(markings.begin() + static_cast<std::ptrdiff_t>(first),
                          markings.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return requests;
}

// Marks the bookings of one request (a single one goes as markOne; past
// kMostMarkingsPerRequest, which inRequests never gives, the rest stay
// undecided) with their UPDATEs, one per line, in one
// batch, and reads each statement's outcome in turn. Where the driver
// cannot tell the outcomes from one statement on (the batch ended early: an
// error that aborts it, a lost link, a timeout; or the outcomes do not add
// up to the statements), those bookings stay kUndecided, and endCause says
// why (the driver's records where it ended, else empty).
std::vector<MarkingOutcome> sendRequest(const std::vector<MarkingKey>& keys, std::string& endCause);

}  // namespace TransferMarking
