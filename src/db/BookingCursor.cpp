#include "db/BookingCursor.h"

#include <cstring>

#include "db/DbConnection.h"

using DbConnection::StatementStatus;

namespace BookingCursor {

namespace {

// Rows per request. The marking costs one round trip per booking anyway;
// 128 rows make the fetches add less than 1 % to that, where 64 would still
// add 1.6 % and more rows would win next to nothing. A forward-only cursor
// with lock concurrency makes the server lock every row of the rowset until
// the next fetch, so a bigger rowset would also keep more bookings locked
// against the terminals that write them. The rowset takes 128 x 464 bytes.
constexpr SQLULEN kRowsetSize = 128;

// What comes after the whole rows of the rowset in hand.
enum class AfterRowset { kNextRowset, kEnd, kFetchError };

SQLHSTMT cursor = SQL_NULL_HSTMT;

// Column-wise: column c's values lie one after the other, each of the
// column's capacity, in the region of that column.
char rowsetStorage[kRowsetSize * sizeof(BookingFetchBuffers)];
// One length/indicator per row, shared by every column and never read:
// NULL is seen only as the empty buffer left by the clearing.
SQLLEN rowsetIndicators[kRowsetSize];
SQLUSMALLINT rowStatuses[kRowsetSize];
SQLULEN rowsFetched = 0;
// What the driver granted of kRowsetSize.
SQLULEN rowsetSize = 1;

SQLULEN wholeRows = 0;     // leading rows of the rowset that arrived whole
SQLULEN nextRowIndex = 0;  // the next of them to hand to the caller
AfterRowset afterRowset = AfterRowset::kNextRowset;
int32_t endStatus = SQL_NO_DATA;

BookingFetchBuffers fetchBuffers;

void dropCursor() {
  SQLFreeHandle(SQL_HANDLE_STMT, cursor);
  cursor = SQL_NULL_HSTMT;
}

// The column's values in the rowset and the capacity of each.
FetchColumn rowsetColumn(int column) {
  static BookingFetchBuffers layout;
  FetchColumn single = fetchColumn(layout, column);
  std::size_t offset = static_cast<std::size_t>(single.data - reinterpret_cast<char*>(&layout));
  return {rowsetStorage + kRowsetSize * offset, single.capacity};
}

void takeRow(SQLULEN row) {
  clearFetchBuffers(fetchBuffers);
  for (int column = 1; column <= kBookingColumnCount; ++column) {
    FetchColumn from = rowsetColumn(column);
    FetchColumn to = fetchColumn(fetchBuffers, column);
    std::memcpy(to.data, from.data + row * from.capacity, to.capacity);
  }
  fillFromFetch(fetchBuffers, currentBookingRow);
}

// Whether the fetch left a record of a failure, not only warnings (class
// 01, such as 01004 for a value cut to its buffer).
bool fetchReportedAnError() {
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH] = {};
    SQLSMALLINT length = 0;
    SQLRETURN found = SQLGetDiagRec(SQL_HANDLE_STMT, cursor, record, state, &nativeError, message,
                                    sizeof message, &length);
    if (found != SQL_SUCCESS && found != SQL_SUCCESS_WITH_INFO) {
      return false;
    }
    if (std::strncmp(reinterpret_cast<char*>(state), "01", 2) != 0) {
      return true;
    }
  }
}

// FreeTDS marks a row cut to its buffers, and every row after it in the
// rowset, SQL_ROW_ERROR; when the fetch reported nothing but warnings those
// rows arrived all the same.
bool arrivedWhole(SQLUSMALLINT status, bool onlyWarnings) {
  return status == SQL_ROW_SUCCESS || status == SQL_ROW_SUCCESS_WITH_INFO ||
         (status == SQL_ROW_ERROR && onlyWarnings);
}

// Fetches the next rowset into the buffers, cleared beforehand, and notes
// how many of its rows arrived whole and what follows them. A failure inside
// the rowset leaves the rows before it to be handed out first.
void fetchRowset() {
  std::memset(rowsetStorage, 0, sizeof rowsetStorage);
  for (SQLULEN row = 0; row < kRowsetSize; ++row) {
    rowStatuses[row] = SQL_ROW_NOROW;
  }
  rowsFetched = 0;
  wholeRows = 0;
  nextRowIndex = 0;
  for (int column = 1; column <= kBookingColumnCount; ++column) {
    FetchColumn target = rowsetColumn(column);
    StatementStatus = SQLBindCol(cursor, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, target.data,
                                 static_cast<SQLLEN>(target.capacity), rowsetIndicators);
  }
  SQLRETURN result = SQLFetch(cursor);
  if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO && result != SQL_ERROR) {
    afterRowset = AfterRowset::kEnd;
    endStatus = result;
    return;
  }
  bool failed = result == SQL_ERROR || (result == SQL_SUCCESS_WITH_INFO && fetchReportedAnError());
  // After SQL_ERROR the count of rows may be unset; the statuses, preset
  // to "no row", tell what arrived.
  SQLULEN arrived = result == SQL_ERROR ? rowsetSize : rowsFetched;
  while (wholeRows < arrived && wholeRows < rowsetSize &&
         arrivedWhole(rowStatuses[wholeRows], !failed)) {
    ++wholeRows;
  }
  if (failed || wholeRows < arrived) {
    afterRowset = AfterRowset::kFetchError;
  } else if (wholeRows == 0) {
    afterRowset = AfterRowset::kEnd;  // success without a row: nothing more to read
    endStatus = SQL_NO_DATA;
  } else {
    afterRowset = AfterRowset::kNextRowset;
  }
}

// Whether the driver knows the link to the server is gone.
bool connectionLost() {
  SQLUINTEGER dead = SQL_CD_FALSE;
  return SQLGetConnectAttr(DbConnection::connectionHandle(), SQL_ATTR_CONNECTION_DEAD, &dead,
                           SQL_IS_UINTEGER, nullptr) != SQL_ERROR &&
         dead == SQL_CD_TRUE;
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
int open(RowLocks locks) {
  cursor = SQL_NULL_HSTMT;
  wholeRows = 0;
  nextRowIndex = 0;
  afterRowset = AfterRowset::kNextRowset;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    StatementStatus = 0;
    return StatementStatus;
  }
  cursor = statement;
  // A server-side cursor is what lets the marking UPDATE run beside it.
  SQLSetStmtAttr(cursor, SQL_ATTR_CURSOR_SCROLLABLE,
                 reinterpret_cast<SQLPOINTER>(SQL_NONSCROLLABLE), SQL_IS_INTEGER);
  SQLULEN concurrency = locks == RowLocks::kLockRowset ? SQL_CONCUR_LOCK : SQL_CONCUR_READ_ONLY;
  SQLSetStmtAttr(cursor, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(concurrency),
                 SQL_IS_INTEGER);
  SQLSetStmtAttr(cursor, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN),
                 SQL_IS_UINTEGER);
  SQLSetStmtAttr(cursor, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRowsetSize),
                 SQL_IS_UINTEGER);
  SQLSetStmtAttr(cursor, SQL_ATTR_ROWS_FETCHED_PTR, &rowsFetched, SQL_IS_POINTER);
  SQLSetStmtAttr(cursor, SQL_ATTR_ROW_STATUS_PTR, rowStatuses, SQL_IS_POINTER);
  // A driver may grant fewer rows per fetch, down to one.
  rowsetSize = 1;
  SQLULEN granted = 0;
  if (SQLGetStmtAttr(cursor, SQL_ATTR_ROW_ARRAY_SIZE, &granted, SQL_IS_UINTEGER, nullptr) !=
          SQL_ERROR &&
      granted >= 1) {
    rowsetSize = granted < kRowsetSize ? granted : kRowsetSize;
  }
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

// Hands out the rows of a rowset one at a time, in order, and fetches the
// next rowset only when all of them are out. A fetch error ends the rows
// after those of its rowset that arrived whole; the rest are never handed
// out, so they stay unmarked for the next pass. Once the link is gone no
// row in hand is handed out either: it could be exported but not marked,
// and the next pass would export it again. The next fetch then tells the
// driver's own account of the loss.
int fetch() {
  StatementStatus = -1;
  if (cursor == SQL_NULL_HSTMT) {
    return StatementStatus;
  }
  if (nextRowIndex < wholeRows && connectionLost()) {
    wholeRows = nextRowIndex;
  }
  if (nextRowIndex >= wholeRows && afterRowset == AfterRowset::kNextRowset) {
    fetchRowset();
    if (afterRowset == AfterRowset::kFetchError && connectionLost()) {
      wholeRows = 0;
    }
  }
  if (nextRowIndex < wholeRows) {
    takeRow(nextRowIndex++);
    StatementStatus = 0;
    return StatementStatus;
  }
  if (afterRowset == AfterRowset::kFetchError) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, cursor);
    dropCursor();
    StatementStatus = -1;
    return StatementStatus;
  }
  StatementStatus = endStatus;
  return StatementStatus;
}

bool rowsetHandedOut() {
  return nextRowIndex >= wholeRows;
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
