#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/BookingCursor.h"
#include "db/BookingRow.h"
#include "db/OdbcHeaders.h"

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

// A request of markings is one batch and one transaction, so that the
// server flushes its log once for the request, not once per booking:
//   SET NOCOUNT OFF          (a server-wide NOCOUNT would hide every count)
//   SET XACT_ABORT ON
//   BEGIN TRANSACTION
//   UPDATE ...               (one per booking, as markingStatement gives it)
//   COMMIT TRANSACTION
//   SELECT @@TRANCOUNT
// XACT_ABORT stays on for the rest of the connection: the fetches of the
// booking cursor and the purge run under it too, which they bear, as a
// failed fetch or purge ends the same way either way. The booking cursor
// survives the COMMIT and a ROLLBACK inside a batch (ODBC logins turn
// CURSOR_CLOSE_ON_COMMIT off); SQLEndTran or the autocommit attribute
// would close it, so neither is ever used.
std::string requestText(const std::vector<std::string>& updates);

// What the answer to a request told.
struct RequestAnswer {
  std::vector<SQLLEN> counts;  // the UPDATEs' row counts, in the order they came
  bool failed = false;         // a statement reported an error, or the link or driver failed
  long transactionCount = -1;  // what the closing SELECT @@TRANCOUNT read; -1: no answer
  std::string cause;           // the driver's records of the first failure
};

// Sends the request with these UPDATEs and reads its whole answer.
RequestAnswer runRequest(const std::vector<std::string>& updates);

// Whether the answer told every UPDATE's outcome, with nothing left open.
bool toldEveryOutcome(const RequestAnswer& answer, size_t updates);

// What an answer that did not tell lacked: the driver's records of its
// failure, or what did not come.
std::string describeDoubt(const RequestAnswer& answer, size_t updates);

inline constexpr const char kRollbackOpenTransactionText[] = "IF @@TRANCOUNT > 0 ROLLBACK";

// Rolls back a transaction a request left open (one that ended before its
// COMMIT); never leaves one behind. Returns 0, or the status of a failure.
int rollbackOpenTransaction();

// Marks the bookings of one request (a single one goes as markOne; past
// kMostMarkingsPerRequest, which inRequests never gives, none is decided).
// Each booking's count decides its outcome only when the whole answer told
// every count, no error and no open transaction; otherwise every booking
// stays kUndecided, an open transaction is rolled back, and endCause says
// why (the driver's records of the failure, or what the answer lacked).
std::vector<MarkingOutcome> sendRequest(const std::vector<MarkingKey>& keys, std::string& endCause);

}  // namespace TransferMarking
