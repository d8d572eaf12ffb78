#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "db/OdbcHeaders.h"

// The one ODBC connection of a transfer pass and the records that every
// statement on it shares.
namespace DbConnection {

struct Diagnostic {
  char state[256];
  char message[1000];
  int32_t nativeError;
};

// Status of the most recent database operation.
extern int32_t StatementStatus;
// The first diagnostic record of the most recent failed call.
extern Diagnostic LastDiagnostic;
// Records a failed call may carry, the first included: the first alone often
// gives only the outcome ("Unable to connect"), a later one the cause.
inline constexpr int kMaxDiagnosticRecords = 5;
// The length/indicator variable that every column binding passes; never read.
extern SQLLEN sharedIndicator;

// The longest data source name the driver manager takes; the settings file
// may carry longer ones, which then fail at the connect.
inline constexpr size_t kMaxRegisteredNameLength = SQL_MAX_DSN_LENGTH;

// Seconds a login may take before it counts as a failed connect.
inline constexpr SQLULEN kLoginTimeoutSeconds = 15;
// Seconds any statement may take. A slow but live server never meets it; a
// server that stopped answering no longer holds the pass, and with it every
// later scheduled pass, for good.
inline constexpr SQLULEN kQueryTimeoutSeconds = 300;

// Connects to the data source; returns 0 or -1. On -1 after the driver was
// reached, LastDiagnostic holds the driver's record.
int connect(const std::string& user, const std::string& password,
            const std::string& dataSourceName);

// The connection handle, or SQL_NULL_HDBC before connect.
SQLHDBC connectionHandle();

// Clears LastDiagnostic and fills it from diagnostic record 1 of handle;
// keeps the records after it, up to kMaxDiagnosticRecords in all, for
// describeLastDiagnostic.
void captureDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle);

// Captures the records of a failed statement and returns its status: the
// native error, or SQL_ERROR when the driver gave none, so that such a
// failure still reads as one.
int32_t captureStatementFailure(SQLHSTMT statement);

// Whether the diagnostics of a call that returned with information hold a
// failure, not only warnings (class 01, such as 01004 for a value cut to its
// buffer).
bool holdsErrorRecord(SQLSMALLINT handleType, SQLHANDLE handle);

// Allocates a statement handle on the connection with the query timeout
// set. Returns 0, or -1 with LastDiagnostic taken from the connection.
int allocateStatement(SQLHSTMT& statement);

// Every captured record as one line for standard error, joined by " | ":
// SQLSTATE, native error and the driver's message of each.
std::string describeLastDiagnostic();

// One key of a section of odbc.ini or odbcinst.ini, as the driver manager
// and its drivers read it; empty when it is not set.
std::string registeredValue(const std::string& section, const char* key,
                            const char* file = "odbc.ini");

// Where a data source leads, as its registration says ("server H, port P"),
// for naming it beside a failed connect; empty when it names no server.
std::string dataSourceAddress(const std::string& dataSourceName);

}  // namespace DbConnection
