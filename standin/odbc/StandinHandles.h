#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "StandinEngine.h"

// The driver's handles and their diagnostics. Every entry point starts by
// clearing the diagnostics of its handle (diagnostic calls excepted), so a
// record stays readable until the next call on that handle.

// Prefix of every message text, as real drivers name themselves and the server.
inline constexpr const char kMessagePrefix[] = "[Standin][SQL Server]";

struct DiagnosticRecord {
  std::string sqlstate;
  SQLINTEGER nativeError = 0;
  std::string message;  // with kMessagePrefix
};

struct Handle {
  explicit Handle(SQLSMALLINT handleType) : type(handleType) {}
  SQLSMALLINT type;
  std::vector<DiagnosticRecord> diagnostics;
  SQLRETURN lastReturn = SQL_SUCCESS;
};

struct Environment : Handle {
  Environment() : Handle(SQL_HANDLE_ENV) {}
  SQLINTEGER odbcVersion = SQL_OV_ODBC3;
};

struct Statement;

struct Connection : Handle {
  explicit Connection(Environment* owner) : Handle(SQL_HANDLE_DBC), environment(owner) {}
  Environment* environment;
  EngineSession session;
  std::string dataSource;
  SQLUINTEGER loginTimeout = 0;
  std::vector<Statement*> statements;
  // Set when an injected 08S01 took the link down.
  bool linkDown = false;
  SQLINTEGER linkDownNativeError = 0;
};

struct ColumnBinding {
  SQLSMALLINT targetType = SQL_C_CHAR;
  SQLPOINTER buffer = nullptr;
  SQLLEN capacity = 0;
  SQLLEN* indicator = nullptr;
};

struct Statement : Handle {
  explicit Statement(Connection* owner) : Handle(SQL_HANDLE_STMT), connection(owner) {}
  Connection* connection;
  std::string preparedText;
  bool prepared = false;
  std::vector<StatementOutcome> outcomes;  // one per statement of the batch
  size_t currentResult = 0;
  bool executed = false;
  long rowPosition = -1;        // index of the current row; -1 before the first
  ResultRow currentRow;         // its values
  bool exhausted = false;       // a fetch returned SQL_NO_DATA
  bool closedByCommit = false;  // cursor_close_on_commit closed its rows
  std::map<SQLUSMALLINT, ColumnBinding> bindings;
  SQLUSMALLINT getDataColumn = 0;  // column of the running SQLGetData, 0: none
  size_t getDataOffset = 0;
  std::map<SQLINTEGER, SQLULEN> attributes;
  // The result of the current statement; nullptr when it failed.
  const ResultSet* current() const {
    return executed && currentResult < outcomes.size() && !outcomes[currentResult].failure
               ? &outcomes[currentResult].result
               : nullptr;
  }
  // Whether the statement holds rows that the application has not read.
  bool hasPendingRows() const {
    const ResultSet* result = current();
    return result != nullptr && result->isQuery() && !exhausted;
  }
};

// Adds a record with kMessagePrefix before message.
void addDiagnostic(Handle* handle, const char* sqlstate, SQLINTEGER nativeError,
                   const std::string& message);

// Clears the diagnostics of a handle at the start of a call.
void beginCall(Handle* handle);

// Records the return code for SQL_DIAG_RETURNCODE and hands it back.
SQLRETURN finishCall(Handle* handle, SQLRETURN code);

// Text of an ODBC (pointer, length) argument; SQL_NTS means NUL-terminated.
std::string textArgument(const SQLCHAR* text, SQLINTEGER length);

// Copies text into an application buffer of `capacity` bytes, NUL-terminated,
// and stores the full length; returns SQL_SUCCESS_WITH_INFO when it was cut.
// Used for names and diagnostics: their length counts in characters.
SQLRETURN copyText(const std::string& text, SQLPOINTER buffer, SQLLEN capacity,
                   SQLSMALLINT* lengthOut);

// The handle as the driver's record of that type; nullptr when the handle is
// null or of another type.
Handle* asHandle(SQLSMALLINT handleType, SQLHANDLE handle);

// After an injected link failure every call that would reach the server
// fails the same way; returns true (with the record added) in that case.
bool reportLinkDown(Handle* handle, const Connection* connection);
