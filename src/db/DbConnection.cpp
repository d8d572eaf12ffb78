#include "db/DbConnection.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "os/Memory.h"

namespace DbConnection {

int32_t StatementStatus = 0;
Diagnostic LastDiagnostic = {};
SQLLEN sharedIndicator = 0;

namespace {

SQLHENV environment = SQL_NULL_HENV;
SQLHDBC connection = SQL_NULL_HDBC;

// The records after the first of the most recent failed call.
std::vector<Diagnostic> laterDiagnostics;

std::string describe(const Diagnostic& record) {
  char head[300];
  std::snprintf(head, sizeof head, "SQLSTATE %.5s, native error %d: ", record.state,
                record.nativeError);
  return head + std::string(record.message, strnlen(record.message, sizeof record.message));
}

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
  Os::wipeMemory(secret.data(), secret.size());
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
  std::string text = describe(LastDiagnostic);
  for (const Diagnostic& record : laterDiagnostics) {
    text += " | " + describe(record);
  }
  return text;
}

void captureDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle) {
  std::memset(&LastDiagnostic, 0, sizeof LastDiagnostic);
  laterDiagnostics.clear();
  for (SQLSMALLINT number = 1; number <= kMaxDiagnosticRecords; ++number) {
    Diagnostic record = {};
    SQLINTEGER nativeError = 0;
    SQLSMALLINT messageLength = 0;
    SQLRETURN result = SQLGetDiagRec(
        handleType, handle, number, reinterpret_cast<SQLCHAR*>(record.state), &nativeError,
        reinterpret_cast<SQLCHAR*>(record.message), sizeof record.message, &messageLength);
    record.nativeError = nativeError;
    if (number == 1) {
      LastDiagnostic = record;
    }
    if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO) {
      break;
    }
    if (number > 1) {
      laterDiagnostics.push_back(record);
    }
  }
}

int32_t captureStatementFailure(SQLHSTMT statement) {
  captureDiagnostic(SQL_HANDLE_STMT, statement);
  return LastDiagnostic.nativeError != 0 ? LastDiagnostic.nativeError : SQL_ERROR;
}

bool holdsErrorRecord(SQLSMALLINT handleType, SQLHANDLE handle) {
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH] = {};
    SQLSMALLINT length = 0;
    SQLRETURN found = SQLGetDiagRec(handleType, handle, record, state, &nativeError, message,
                                    sizeof message, &length);
    if (found != SQL_SUCCESS && found != SQL_SUCCESS_WITH_INFO) {
      return false;
    }
    if (std::strncmp(reinterpret_cast<char*>(state), "01", 2) != 0) {
      return true;
    }
  }
}

std::string registeredValue(const std::string& section, const char* key, const char* file) {
  char value[1024] = "";
  SQLGetPrivateProfileString(section.c_str(), key, "", value, sizeof value, file);
  return value;
}

// FreeTDS names its server by Server (a host) or by Servername (an entry of
// freetds.conf); other drivers use Server as well.
std::string dataSourceAddress(const std::string& dataSourceName) {
  // An empty section would make the installer library answer from another.
  if (dataSourceName.empty()) {
    return std::string();
  }
  std::string server = registeredValue(dataSourceName, "Server");
  std::string port = registeredValue(dataSourceName, "Port");
  std::string entry = registeredValue(dataSourceName, "Servername");
  std::string address;
  if (!server.empty()) {
    address = "server " + server;
  } else if (!entry.empty()) {
    address = "server " + entry + " of freetds.conf";
  }
  if (!address.empty() && !port.empty()) {
    address += ", port " + port;
  }
  return address;
}

}  // namespace DbConnection
