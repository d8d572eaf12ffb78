#include "db/BookingCursor.h"

#include "db/DbConnection.h"

using DbConnection::StatementStatus;

namespace BookingCursor {

namespace {

SQLHSTMT cursor = SQL_NULL_HSTMT;
BookingFetchBuffers fetchBuffers;

void dropCursor() {
  SQLFreeHandle(SQL_HANDLE_STMT, cursor);
  cursor = SQL_NULL_HSTMT;
}

}  // namespace

std::string selectText() {
  return std::string(
             "SELECT  BewTID, BewLID, BewIDN, BewSto,  convert(char(19), BewDtm, 120),  "
             "convert(char(19), BewUhr, 120),  BewLfn, BewArt, BewTas, BewEra,  BewKze, BewBer, "
             "BewErq, BewKst,  BewQua, BewSrc, BewRes ") +
         kUntransferredBookings + " ORDER  BY BewIdn, BewDtm, BewUhr, BewLfn ";
}

// A handle that cannot be had is not reported here: the pass then simply
// finds no rows.
int open() {
  cursor = SQL_NULL_HSTMT;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    StatementStatus = 0;
    return StatementStatus;
  }
  cursor = statement;
  // A server-side cursor is what lets the marking UPDATE run beside it.
  SQLSetStmtAttr(cursor, SQL_ATTR_CURSOR_SCROLLABLE,
                 reinterpret_cast<SQLPOINTER>(SQL_NONSCROLLABLE), SQL_IS_INTEGER);
  SQLSetStmtAttr(cursor, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_LOCK),
                 SQL_IS_INTEGER);
  std::string text = selectText();
  SQLRETURN result = SQLExecDirect(cursor, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
  if (result == SQL_SUCCESS_WITH_INFO) {
    StatementStatus = 0;
  } else if (result == SQL_ERROR) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, cursor);
    dropCursor();
    StatementStatus = -1;
  } else {
    StatementStatus = result;
  }
  return StatementStatus;
}

// The columns are bound again before every fetch, all with the one shared
// indicator; NULL is seen only as the empty buffer left by the clearing.
int fetch() {
  StatementStatus = -1;
  if (cursor == SQL_NULL_HSTMT) {
    return StatementStatus;
  }
  clearFetchBuffers(fetchBuffers);
  for (int column = 1; column <= kBookingColumnCount; ++column) {
    FetchColumn target = fetchColumn(fetchBuffers, column);
    StatementStatus =
        SQLBindCol(cursor, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, target.data,
                   static_cast<SQLLEN>(target.capacity), &DbConnection::sharedIndicator);
  }
  SQLRETURN result = SQLFetch(cursor);
  if (result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO) {
    StatementStatus = 0;
  } else if (result == SQL_ERROR) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, cursor);
    dropCursor();
    StatementStatus = -1;
    return StatementStatus;
  } else {
    StatementStatus = result;
    return StatementStatus;
  }
  fillFromFetch(fetchBuffers, currentBookingRow);
  return StatementStatus;
}

bool isOpen() {
  return cursor != SQL_NULL_HSTMT;
}

int close() {
  if (cursor == SQL_NULL_HSTMT) {
    return StatementStatus;
  }
  StatementStatus = SQLFreeHandle(SQL_HANDLE_STMT, cursor);
  cursor = SQL_NULL_HSTMT;
  return StatementStatus;
}

}  // namespace BookingCursor
