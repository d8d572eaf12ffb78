#include "db/BookingCursor.h"

#include <cstring>

#include "db/DbConnection.h"

using DbConnection::StatementStatus;

namespace BookingCursor {

namespace {

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
  bool failed = result == SQL_ERROR || (result == SQL_SUCCESS_WITH_INFO &&
                                        DbConnection::holdsErrorRecord(SQL_HANDLE_STMT, cursor));
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
// finds no rows, and says why on standard error.
int open(RowLocks locks) {
  cursor = SQL_NULL_HSTMT;
  wholeRows = 0;
  nextRowIndex = 0;
  afterRowset = AfterRowset::kNextRowset;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    StatementStatus = 0;
    return kNoStatementHandle;
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
  SQLSetStmtAttr(cursor, SQL_ATTR_ROW_ARRAY_SIZE,
                 reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kRowsetSize)), SQL_IS_UINTEGER);
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
  if (result == SQL_ERROR) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, cursor);
    dropCursor();
    StatementStatus = SQL_ERROR;
    return kSelectFailed;
  }
  StatementStatus = result == SQL_SUCCESS_WITH_INFO ? SQL_SUCCESS : result;
  return kOpened;
}

// Hands out the rows of a rowset one at a time, in order, and fetches the
// next rowset only when all of them are out. A fetch error ends the rows
// after those of its rowset that arrived whole; the rest are never handed
// out, so they stay unmarked for the next pass. Once the link is gone no
// row in hand is handed out either: it could be exported but not marked,
// and the next pass would export it again. The next fetch then tells the
// driver's own account of the loss.
int fetch() {
  StatementStatus = SQL_ERROR;
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
    StatementStatus = SQL_ERROR;
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

std::string describeOpenFailure(int openResult) {
  return std::string(openResult == kNoStatementHandle ? "no statement handle: " : "") +
         DbConnection::describeLastDiagnostic();
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
