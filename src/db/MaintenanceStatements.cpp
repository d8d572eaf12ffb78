#include "db/MaintenanceStatements.h"

#include "db/DbConnection.h"

using DbConnection::StatementStatus;

namespace MaintenanceStatements {

namespace {

SQLRETURN execute(SQLHSTMT statement, const char* text) {
  return SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text)), SQL_NTS);
}

bool allocateStatement(SQLHSTMT& statement) {
  return DbConnection::allocateStatement(statement) == 0;
}

}  // namespace

int serverTime(std::string& out) {
  SQLHSTMT statement;
  if (!allocateStatement(statement)) {
    StatementStatus = SQL_ERROR;
    return StatementStatus;
  }
  if (execute(statement, kServerTimeText) == SQL_ERROR) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    StatementStatus = SQL_ERROR;
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

int purge() {
  SQLHSTMT statement;
  if (!allocateStatement(statement)) {
    StatementStatus = SQL_ERROR;
    return StatementStatus;
  }
  SQLRETURN result = execute(statement, kPurgeText);
  if (result == SQL_ERROR) {
    StatementStatus = DbConnection::captureStatementFailure(statement);
  } else if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO) {
    StatementStatus = 0;
  } else {
    StatementStatus = result;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return StatementStatus;
}

}  // namespace MaintenanceStatements
