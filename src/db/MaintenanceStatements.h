#pragma once

#include <sql.h>

#include <string>

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

// The UPDATE that marks the booking in row as transferred.
std::string markingStatement(const BookingRow& row);

// Marks the booking transferred. Returns 0, 100 when no row changed (by
// SQL_NO_DATA or a row count of 0, whichever the driver gives), or the
// native error of a failed statement (-1 when the driver gave none).
// rowsChanged, when given, receives the rows the UPDATE changed (-1 when
// unknown): more than one when bookings share the key.
int markTransferred(const BookingRow& row, SQLLEN* rowsChanged = nullptr);

// Deletes transferred bookings older than three months by the server clock.
// Returns 0, 100 when there were none, or as markTransferred on failure.
int purge();

}  // namespace MaintenanceStatements
