#include "db/MaintenanceStatements.h"

#include <cstring>

#include "db/DbConnection.h"

using DbConnection::StatementStatus;

namespace MaintenanceStatements {

namespace {

// yyyymmddhhmiss back to the style-120 form the SELECT compared with.
std::string style120FromCompact(const char* compact) {
  std::string digits(compact, strnlen(compact, 14));
  std::string text = digits.substr(0, 4);
  const char separators[] = "-- ::";
  for (size_t piece = 0; piece < 5; ++piece) {
    text += separators[piece];
    size_t start = 4 + 2 * piece;
    if (start < digits.size()) {
      text += digits.substr(start, 2);
    }
  }
  return text;
}

// Doubled, a quote stays inside its literal instead of changing which rows
// the UPDATE touches.
std::string quoted(const char* value) {
  std::string text = "'";
  for (const char* c = value; *c != '\0'; ++c) {
    text += *c;
    if (*c == '\'') {
      text += '\'';
    }
  }
  return text + "'";
}

// An empty fetched value may stand for NULL, which "=" never matches; such a
// booking would be exported again on every pass.
std::string textCondition(const char* column, const char* value, const char* emptyLiteral) {
  if (*value == '\0') {
    return std::string("(") + column + " = " + emptyLiteral + " OR " + column + " IS NULL)";
  }
  return std::string(column) + " = " + quoted(value);
}

std::string timestampCondition(const char* column, const char* compact) {
  if (*compact == '\0') {
    return std::string(column) + " IS NULL";
  }
  return std::string("convert(char(19), ") + column +
         ", 120) = " + quoted(style120FromCompact(compact).c_str());
}

// A failed statement reports its native error; one without a native error
// must still read as a failure.
int32_t failureStatus(SQLHSTMT statement) {
  DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
  int32_t nativeError = DbConnection::LastDiagnostic.nativeError;
  return nativeError != 0 ? nativeError : -1;
}

SQLRETURN execute(SQLHSTMT statement, const std::string& text) {
  return SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                       SQL_NTS);
}

bool allocateStatement(SQLHSTMT& statement) {
  return DbConnection::allocateStatement(statement) == 0;
}

// The rows an UPDATE changed. ODBC 3 drivers answer one that touched no row
// with SQL_NO_DATA; FreeTDS answers SQL_SUCCESS with a row count of 0. Both
// mean the same. -1 when the driver cannot tell.
SQLLEN changedRows(SQLHSTMT statement, SQLRETURN result) {
  if (result == SQL_NO_DATA) {
    return 0;
  }
  SQLLEN count = -1;
  return SQLRowCount(statement, &count) != SQL_ERROR ? count : -1;
}

}  // namespace

int serverTime(std::string& out) {
  SQLHSTMT statement;
  if (!allocateStatement(statement)) {
    StatementStatus = -1;
    return StatementStatus;
  }
  if (execute(statement, kServerTimeText) == SQL_ERROR) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    StatementStatus = -1;
    return StatementStatus;
  }
  char received[20] = {};
  SQLBindCol(statement, 1, SQL_C_CHAR, received, sizeof received, &DbConnection::sharedIndicator);
  StatementStatus = SQLFetch(statement);
  if (StatementStatus == SQL_ERROR) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (StatementStatus != SQL_SUCCESS && StatementStatus != SQL_SUCCESS_WITH_INFO) {
    return StatementStatus;
  }
  out = received;
  StatementStatus = 0;
  return StatementStatus;
}

// The key columns are compared as fetched, untrimmed: "=" ignores trailing
// blanks anyway, and a value ending in a tab is found only this way.
std::string markingStatement(const BookingRow& row) {
  // An empty ID is compared as one blank, which SQL Server finds equal to an
  // empty or blank-filled value.
  return std::string(
             "UPDATE  KVLSYSTEM.Kvl321Bew    SET  BewUkz = 4,         BewUdt = CURRENT_TIMESTAMP "
             "WHERE  ") +
         textCondition("BewIDN", row.fetchedKey.BewIDN, "' '") + "    AND  " +
         textCondition("BewSto", row.fetchedKey.BewSto, "''") + "    AND  " +
         timestampCondition("BewDtm", row.BewDtmCompact) + "    AND  " +
         timestampCondition("BewUhr", row.BewUhrCompact) + "    AND  " +
         textCondition("BewLfn", row.fetchedKey.BewLfn, "''");
}

int markTransferred(const BookingRow& row, SQLLEN* rowsChanged) {
  StatementStatus = -1;
  SQLLEN changed = -1;
  std::string text = markingStatement(row);
  SQLHSTMT statement;
  if (!allocateStatement(statement)) {
    return StatementStatus;
  }
  SQLRETURN result = execute(statement, text);
  if (result == SQL_ERROR) {
    StatementStatus = failureStatus(statement);
  } else if ((changed = changedRows(statement, result)) == 0) {
    StatementStatus = SQL_NO_DATA;
  } else if (result == SQL_SUCCESS_WITH_INFO) {
    StatementStatus = 0;
  } else {
    StatementStatus = result;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (rowsChanged != nullptr) {
    *rowsChanged = changed;
  }
  return StatementStatus;
}

int purge() {
  SQLHSTMT statement;
  if (!allocateStatement(statement)) {
    StatementStatus = -1;
    return StatementStatus;
  }
  SQLRETURN result = execute(statement, kPurgeText);
  if (result == SQL_ERROR) {
    StatementStatus = failureStatus(statement);
  } else if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO) {
    StatementStatus = 0;
  } else {
    StatementStatus = result;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return StatementStatus;
}

}  // namespace MaintenanceStatements
