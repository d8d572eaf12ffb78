#pragma once

#include <sql.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/BookingRow.h"

// The single statements of a pass besides the booking cursor: the server's
// clock, the transfer mark of one booking, and the purge of old bookings.
namespace MaintenanceStatements {

inline constexpr const char kServerTimeText[] =
    "SELECT ( CONVERT(char(11), CURRENT_TIMESTAMP, 104) +          "
    "CONVERT(char(8), CURRENT_TIMESTAMP, 114)) ";

inline constexpr const char kPurgeText[] =
    "DELETE  FROM Kvlsystem.Kvl321Bew  WHERE  BewDat < DATEADD(month, -3, Current_Timestamp)    "
    "AND  bewUkz = 4";

// Reads the server's clock as dd.mm.yyyy hh:mi:ss into out. Returns 0, or
// the failing status with out unchanged.
int serverTime(std::string& out);

// What the marking of a booking compares it by.
MarkingKey markingKeyOf(const BookingRow& row);

// A booking named by its key for standard error, as its line shows it:
// ID 'x', Sto 'x', Dtm 'yyyymmddhhmiss', Uhr 'yyyymmddhhmiss', Lfn 'x'.
std::string describeKey(const MarkingKey& key);

// The UPDATE that marks the booking in row as transferred.
std::string markingStatement(const BookingRow& row);
std::string markingStatement(const MarkingKey& key);

// Marks the booking transferred. Returns 0, 100 when no row changed (by
// SQL_NO_DATA or a row count of 0, whichever the driver gives), or the
// native error of a failed statement (-1 when the driver gave none).
// rowsChanged, when given, receives the rows the UPDATE changed (-1 when
// unknown): more than one when bookings share the key.
int markTransferred(const BookingRow& row, SQLLEN* rowsChanged = nullptr);
int markTransferred(const MarkingKey& key, SQLLEN* rowsChanged = nullptr);

// How the marking of one booking of a batch ended: status as
// markTransferred returns it, with the rows it changed (-1 when unknown).
struct MarkingOutcome {
  int32_t status = -1;
  SQLLEN rowsChanged = -1;
  std::string cause;  // the driver's records of a failure, as describeLastDiagnostic gives them
};

// Marks the bookings with one request: their UPDATEs, one per line, in one
// batch. Each statement's outcome is read in turn. Where the driver cannot
// tell the outcomes from one statement on (the batch ended early: an error
// that aborts it, a lost link, a timeout; or the outcomes do not add up to
// the statements), those bookings are marked one by one, so that no
// marking counts as done unless its own outcome said so. Every marking may
// run twice: it changes nothing that a second run would change back.
// outcomes receives one entry per key, in order. Returns how many of them,
// from the first, the batch told; cause says why it told no more (the
// driver's records of the failure where it ended, else empty).
size_t markBatch(const std::vector<MarkingKey>& keys, std::vector<MarkingOutcome>& outcomes,
                 std::string& cause);

// Deletes transferred bookings older than three months by the server clock.
// Returns 0, 100 when there were none, or as markTransferred on failure.
int purge();

}  // namespace MaintenanceStatements
