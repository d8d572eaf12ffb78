#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>

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
// The length/indicator variable that every column binding passes; never read.
extern SQLLEN sharedIndicator;

// Seconds a login may take before it counts as a failed connect.
inline constexpr SQLULEN kLoginTimeoutSeconds = 15;

// Connects to the data source; returns 0 or -1. On -1 after the driver was
// reached, LastDiagnostic holds the driver's record.
int connect(const std::string& user, const std::string& password,
            const std::string& dataSourceName);

// The connection handle, or SQL_NULL_HDBC before connect.
SQLHDBC connectionHandle();

// Clears LastDiagnostic and fills it from diagnostic record 1 of handle.
void captureDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle);

}  // namespace DbConnection
