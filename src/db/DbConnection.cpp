#include "db/DbConnection.h"

#include <cstdio>
#include <cstring>

namespace DbConnection {

int32_t StatementStatus = 0;
Diagnostic LastDiagnostic = {};
SQLLEN sharedIndicator = 0;

namespace {

SQLHENV environment = SQL_NULL_HENV;
SQLHDBC connection = SQL_NULL_HDBC;

}  // namespace

SQLHDBC connectionHandle() {
  return connection;
}

// The connection is never closed: it ends with the process. A repeated call
// only drops the handles of the earlier one.
//
// The login timeout is the one attribute set: without it a server that
// accepts the TCP connection and never answers blocks the pass for good,
// and with it every later scheduled pass.
int connect(const std::string& user, const std::string& password,
            const std::string& dataSourceName) {
  if (connection != SQL_NULL_HDBC) {
    SQLFreeHandle(SQL_HANDLE_DBC, connection);
    connection = SQL_NULL_HDBC;
  }
  if (environment != SQL_NULL_HENV) {
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
    environment = SQL_NULL_HENV;
  }
  if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment) == SQL_ERROR) {
    return -1;
  }
  SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                SQL_IS_INTEGER);
  if (SQLAllocHandle(SQL_HANDLE_DBC, environment, &connection) == SQL_ERROR) {
    return -1;
  }
  SQLSetConnectAttr(connection, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), SQL_IS_UINTEGER);
  // ODBC takes non-const pointers; the strings are not written through them.
  std::string dsn = dataSourceName;
  std::string userName = user;
  std::string secret = password;
  SQLRETURN result = SQLConnect(connection, reinterpret_cast<SQLCHAR*>(dsn.data()), SQL_NTS,
                                reinterpret_cast<SQLCHAR*>(userName.data()), SQL_NTS,
                                reinterpret_cast<SQLCHAR*>(secret.data()), SQL_NTS);
  explicit_bzero(secret.data(), secret.size());
  if (result == SQL_ERROR) {
    captureDiagnostic(SQL_HANDLE_DBC, connection);
    return -1;
  }
  return 0;
}

int allocateStatement(SQLHSTMT& statement) {
  statement = SQL_NULL_HSTMT;
  if (SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement) == SQL_ERROR ||
      statement == SQL_NULL_HSTMT) {
    captureDiagnostic(SQL_HANDLE_DBC, connection);
    statement = SQL_NULL_HSTMT;
    return -1;
  }
  SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                 reinterpret_cast<SQLPOINTER>(kQueryTimeoutSeconds), SQL_IS_UINTEGER);
  return 0;
}

std::string describeLastDiagnostic() {
  if (LastDiagnostic.state[0] == '\0' && LastDiagnostic.message[0] == '\0') {
    return "the driver gave no diagnostic";
  }
  char head[300];
  std::snprintf(head, sizeof head, "SQLSTATE %.5s, native error %d: ", LastDiagnostic.state,
                LastDiagnostic.nativeError);
  return head + std::string(LastDiagnostic.message,
                            strnlen(LastDiagnostic.message, sizeof LastDiagnostic.message));
}

void captureDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle) {
  std::memset(&LastDiagnostic, 0, sizeof LastDiagnostic);
  SQLINTEGER nativeError = 0;
  SQLSMALLINT messageLength = 0;
  SQLGetDiagRec(handleType, handle, 1, reinterpret_cast<SQLCHAR*>(LastDiagnostic.state),
                &nativeError, reinterpret_cast<SQLCHAR*>(LastDiagnostic.message),
                sizeof LastDiagnostic.message, &messageLength);
  LastDiagnostic.nativeError = nativeError;
}

}  // namespace DbConnection
