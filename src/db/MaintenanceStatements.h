#pragma once

#include <string>

// The single statements of a pass besides the booking cursor and the
// markings: the server's clock and the purge of old bookings.
namespace MaintenanceStatements {

inline constexpr const char kServerTimeText[] =
    "SELECT ( CONVERT(char(11), CURRENT_TIMESTAMP, 104) +          "
    "CONVERT(char(8), CURRENT_TIMESTAMP, 114)) ";

inline constexpr const char kPurgeText[] =
    "DELETE  FROM Kvlsystem.Kvl321Bew  WHERE  BewDat < DATEADD(month, -3, Current_Timestamp)    "
    "AND  bewUkz = 4";

// Reads the server's clock as dd.mm.yyyy hh:mi:ss into out. Returns 0, or
// the failing status with out unchanged (SQL_NO_DATA: no row).
int serverTime(std::string& out);

// Deletes transferred bookings older than three months by the server clock.
// Returns 0, SQL_NO_DATA when there were none, or the native error of a
// failed statement (SQL_ERROR when the driver gave none).
int purge();

}  // namespace MaintenanceStatements
