// Statement entry points. A batch runs completely at execute time and the
// rows of its queries are kept in tables of the session's result store:
// SQLite then holds no read lock while the application fetches, so other
// statements of the connection (the marking UPDATE between two fetches) can
// write and commit, and the cursor goes on unchanged, across the COMMIT and
// the ROLLBACK of a transaction too. The application's process holds one
// row at a time, however long the result.
//
// The results of a batch are those FreeTDS hands on for the same batch
// against the TDS server: one for each statement with a count, rows, a
// failure or an informational message. SET, BEGIN TRANSACTION, COMMIT,
// ROLLBACK and statements under SET NOCOUNT ON give none (their DONE tokens
// carry no count), so that
//   SET NOCOUNT OFF  SET XACT_ABORT ON  BEGIN TRANSACTION
//   UPDATE ... (n times)  COMMIT TRANSACTION  SELECT @@TRANCOUNT
// gives n counts and then the SELECT's row, through either front end. A
// statement with a message but no count (PRINT, an info.* switch on a
// COMMIT) is a result with SQLRowCount -1 and SQL_SUCCESS_WITH_INFO, as in
// FreeTDS. A batch without any result gives one with SQLRowCount -1. Where
// the two differ: a failed statement that the batch runs on after is
// SQL_SUCCESS_WITH_INFO here, as ODBC 3 says, and SQL_ERROR in FreeTDS; a
// first UPDATE that changed no row is SQL_NO_DATA here and SQL_SUCCESS in
// FreeTDS; a batch without a result is SQL_SUCCESS here and SQL_NO_DATA in
// FreeTDS.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "StandinHandles.h"
#include "StandinValues.h"

namespace {

Statement* asStatement(SQLHSTMT handle) {
  return static_cast<Statement*>(asHandle(SQL_HANDLE_STMT, handle));
}

// How long a stalled call waits when no query timeout ends it sooner.
constexpr long kStallMilliseconds = 3600L * 1000;

const char kQueryTimeoutMessage[] = "Query timeout expired";

// Whether the statement's query timeout ends a wait this long first.
bool outlastsQueryTimeout(const Statement* statement, long milliseconds) {
  auto timeout = statement->attributes.find(SQL_ATTR_QUERY_TIMEOUT);
  return timeout != statement->attributes.end() && timeout->second > 0 &&
         static_cast<SQLULEN>(milliseconds) > timeout->second * 1000;
}

// Waits as a server that takes this long to answer. A statement whose query
// timeout is shorter gets HYT00 at once instead of after the wait, as the
// client would see it, so tests of timeouts stay fast.
bool answerAfter(Statement* statement, long milliseconds) {
  if (milliseconds <= 0) {
    return true;
  }
  if (outlastsQueryTimeout(statement, milliseconds)) {
    addDiagnostic(statement, "HYT00", 0, kQueryTimeoutMessage);
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return true;
}

// A stalled statement of a batch: true when the query timeout gives up on
// it; its HYT00 comes when the application reaches that statement.
bool givesUpOnStall(const Statement* statement) {
  if (outlastsQueryTimeout(statement, kStallMilliseconds)) {
    return true;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kStallMilliseconds));
  return false;
}

void closeCursor(Statement* statement) {
  statement->closedByCommit = false;
  statement->outcomes.clear();
  statement->currentResult = 0;
  statement->executed = false;
  statement->rowPosition = -1;
  statement->currentRow.clear();
  statement->exhausted = false;
  statement->getDataColumn = 0;
}

// With cursor_close_on_commit, a batch that committed or rolled back closes
// the rows the connection's other statements hold, as a server cursor closes.
void closeCursorsAtCommit(Statement* statement, const BatchRun& run) {
  Connection* connection = statement->connection;
  if (!connection->session.switches.cursorCloseOnCommit) {
    return;
  }
  for (const StatementOutcome& outcome : run.outcomes) {
    if (outcome.transaction == TransactionChange::kCommitted ||
        outcome.transaction == TransactionChange::kRolledBack) {
      for (Statement* other : connection->statements) {
        if (other != statement && other->hasPendingRows()) {
          other->closedByCommit = true;
        }
      }
      return;
    }
  }
}

const char kLinkFailureMessage[] = "Communication link failure";

// The server's end of the link goes with it, and so does its transaction.
void takeLinkDown(Connection* connection, SQLINTEGER nativeError) {
  connection->linkDown = true;
  connection->linkDownNativeError = nativeError;
  rollBackForLostLink(connection->session);
}

// Counts a fetch; when a stall switch hits it, waits (or times out); when
// a fault switch hits it, adds the injected record. An injected 08S01 takes
// the connection's link down for good. Returns true when the fetch fails.
bool injectFetchFault(Statement* statement) {
  Connection* connection = statement->connection;
  SwitchHit hit = countSwitchedCall(connection->session, SwitchedCall::kFetch);
  if (hit.stall && !answerAfter(statement, kStallMilliseconds)) {
    return true;
  }
  if (hit.fault == nullptr) {
    return false;
  }
  const InjectedFault& fault = *hit.fault;
  addDiagnostic(statement, fault.sqlstate.c_str(), fault.nativeError,
                fault.losesLink() ? kLinkFailureMessage : "Injected failure");
  if (fault.losesLink()) {
    takeLinkDown(connection, fault.nativeError);
  }
  return true;
}

void reportEngineError(Statement* statement, const EngineError& error) {
  addDiagnostic(statement, error.sqlstate.c_str(), error.nativeError, error.message);
}

// The outcomes of a batch as the application moves through them. A stall
// that the query timeout gave up on, and a lost link, are the outcome of
// the statement they hit: the results before it stay readable.
void keepOutcomes(Statement* statement, BatchRun& run) {
  statement->outcomes.clear();
  for (StatementOutcome& outcome : run.outcomes) {
    if (outcome.handedOn()) {
      statement->outcomes.push_back(std::move(outcome));
    }
  }
  if (run.end == BatchEnd::kStalled) {
    statement->outcomes.emplace_back().failure = EngineError{"HYT00", 0, kQueryTimeoutMessage};
  } else if (run.end == BatchEnd::kLinkLost) {
    StatementOutcome& lost = statement->outcomes.emplace_back();
    lost.failure = {run.lostLink->sqlstate, run.lostLink->nativeError, kLinkFailureMessage};
    lost.injected = true;
    lost.losesLink = true;
  }
  statement->currentResult = 0;
  statement->executed = true;
}

// Makes the current outcome the statement's. A failed statement answers
// SQL_SUCCESS_WITH_INFO with its record when the batch went on after it,
// SQL_ERROR when it was the batch's last; ODBC 3 gives a searched UPDATE or
// DELETE that touched no row no data, when it comes first.
SQLRETURN enterOutcome(Statement* statement, bool first) {
  statement->rowPosition = -1;
  statement->exhausted = false;
  statement->getDataColumn = 0;
  if (statement->currentResult >= statement->outcomes.size()) {
    return SQL_SUCCESS;  // an empty batch
  }
  const StatementOutcome& outcome = statement->outcomes[statement->currentResult];
  if (outcome.info) {
    reportEngineError(statement, *outcome.info);
  }
  if (outcome.failure) {
    reportEngineError(statement, *outcome.failure);
    if (outcome.losesLink) {
      takeLinkDown(statement->connection, outcome.failure->nativeError);
    }
    bool last = statement->currentResult + 1 == statement->outcomes.size();
    return last ? SQL_ERROR : SQL_SUCCESS_WITH_INFO;
  }
  const ResultSet& result = outcome.result;
  if (first && result.counted && result.rowsAffected == 0 &&
      (result.kind == StatementKind::kUpdate || result.kind == StatementKind::kDelete)) {
    return SQL_NO_DATA;
  }
  return outcome.info ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN execute(Statement* statement, const std::string& sql) {
  Connection* connection = statement->connection;
  closeCursor(statement);
  if (connection->session.db == nullptr) {
    addDiagnostic(statement, "08003", 0, "Connection not open");
    return SQL_ERROR;
  }
  if (reportLinkDown(statement, connection)) {
    return SQL_ERROR;
  }
  if (!answerAfter(statement, connection->session.switches.latencyMilliseconds)) {
    return SQL_ERROR;
  }
  if (connection->session.switches.refuseSecondActiveStatement) {
    for (const Statement* other : connection->statements) {
      if (other != statement && other->hasPendingRows()) {
        addDiagnostic(statement, "HY000", 0, "Connection is busy with results for another command");
        return SQL_ERROR;
      }
    }
  }
  BatchRun run;
  runBatch(
      connection->session, translateSqlServerText(sql), RowStorage::kResultStore,
      [statement] { return givesUpOnStall(statement); }, run);
  closeCursorsAtCommit(statement, run);
  keepOutcomes(statement, run);
  return enterOutcome(statement, true);
}

bool isCharacterTarget(SQLSMALLINT type) {
  return type == SQL_C_CHAR || type == SQL_C_DEFAULT || type == SQL_C_BINARY;
}

bool isNumericTarget(SQLSMALLINT type) {
  switch (type) {
    case SQL_C_LONG:
    case SQL_C_SLONG:
    case SQL_C_ULONG:
    case SQL_C_SHORT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
    case SQL_C_DOUBLE:
    case SQL_C_FLOAT:
      return true;
    default:
      return false;
  }
}

// Stores a numeric value in a C variable of the target type; false when the
// text is no number.
bool storeNumber(const std::string& text, SQLSMALLINT type, SQLPOINTER buffer, SQLLEN* indicator) {
  std::string trimmed = text.substr(0, text.find_last_not_of(' ') + 1);
  char* end = nullptr;
  double real = std::strtod(trimmed.c_str(), &end);
  if (trimmed.empty() || *end != '\0') {
    return false;
  }
  long long integer = std::strtoll(trimmed.c_str(), &end, 10);
  if (*end != '\0') {
    integer = static_cast<long long>(real);
  }
  SQLLEN size = 0;
  switch (type) {
    case SQL_C_DOUBLE:
      *static_cast<double*>(buffer) = real;
      size = sizeof(double);
      break;
    case SQL_C_FLOAT:
      *static_cast<float*>(buffer) = static_cast<float>(real);
      size = sizeof(float);
      break;
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
      *static_cast<long long*>(buffer) = integer;
      size = sizeof(long long);
      break;
    case SQL_C_SHORT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
      *static_cast<short*>(buffer) = static_cast<short>(integer);
      size = sizeof(short);
      break;
    default:
      *static_cast<SQLINTEGER*>(buffer) = static_cast<SQLINTEGER>(integer);
      size = sizeof(SQLINTEGER);
  }
  if (indicator != nullptr) {
    *indicator = size;
  }
  return true;
}

// Hands one value to the application. Character data is NUL-terminated and
// cut to capacity - 1 with 01004; `offset` carries piecewise SQLGetData on.
// NULL sets the indicator and leaves the buffer as it was.
SQLRETURN deliverValue(Statement* statement, const std::optional<std::string>& value,
                       SQLSMALLINT targetType, SQLPOINTER buffer, SQLLEN capacity,
                       SQLLEN* indicator, size_t& offset) {
  if (!value) {
    if (indicator == nullptr) {
      addDiagnostic(statement, "22002", 0, "Indicator variable required but not supplied");
      return SQL_ERROR;
    }
    *indicator = SQL_NULL_DATA;
    return SQL_SUCCESS;
  }
  if (isNumericTarget(targetType)) {
    if (buffer == nullptr || !storeNumber(*value, targetType, buffer, indicator)) {
      addDiagnostic(statement, "22018", 0, "Invalid character value for a numeric cast");
      return SQL_ERROR;
    }
    return SQL_SUCCESS;
  }
  if (!isCharacterTarget(targetType)) {
    addDiagnostic(statement, "07006", 0, "Restricted data type attribute violation");
    return SQL_ERROR;
  }
  size_t remaining = value->size() - std::min(offset, value->size());
  if (indicator != nullptr) {
    *indicator = static_cast<SQLLEN>(remaining);
  }
  size_t room = targetType == SQL_C_BINARY ? static_cast<size_t>(std::max<SQLLEN>(capacity, 0))
                                           : static_cast<size_t>(std::max<SQLLEN>(capacity - 1, 0));
  size_t copied = std::min(remaining, room);
  if (buffer != nullptr && capacity > 0) {
    std::memcpy(buffer, value->data() + offset, copied);
    if (targetType != SQL_C_BINARY) {
      static_cast<char*>(buffer)[copied] = '\0';
    }
  }
  offset += copied;
  if (copied < remaining) {
    addDiagnostic(statement, "01004", 0, "String data, right truncation");
    return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

SQLULEN statementAttribute(Statement* statement, SQLINTEGER attribute, SQLULEN fallback) {
  auto found = statement->attributes.find(attribute);
  return found == statement->attributes.end() ? fallback : found->second;
}

// Where row `slot` of a rowset goes: column-wise the values of a column lie
// one after the other, row-wise each row is a structure of the bound size.
ColumnBinding bindingForSlot(const ColumnBinding& binding, SQLULEN slot, SQLULEN bindType) {
  ColumnBinding target = binding;
  SQLULEN step = bindType == SQL_BIND_BY_COLUMN ? static_cast<SQLULEN>(binding.capacity) : bindType;
  if (target.buffer != nullptr) {
    target.buffer = static_cast<char*>(target.buffer) + slot * step;
  }
  if (target.indicator != nullptr) {
    target.indicator = bindType == SQL_BIND_BY_COLUMN
                           ? target.indicator + slot
                           : reinterpret_cast<SQLLEN*>(reinterpret_cast<char*>(target.indicator) +
                                                       slot * bindType);
  }
  return target;
}

// One row into one slot of the bound buffers; its row status.
SQLUSMALLINT deliverRow(Statement* statement, const ResultRow& row, SQLULEN slot,
                        SQLULEN bindType) {
  SQLUSMALLINT status = SQL_ROW_SUCCESS;
  for (const auto& [column, binding] : statement->bindings) {
    if (column > row.size()) {
      continue;
    }
    ColumnBinding target = bindingForSlot(binding, slot, bindType);
    size_t offset = 0;
    SQLRETURN delivered = deliverValue(statement, row[column - 1], target.targetType, target.buffer,
                                       target.capacity, target.indicator, offset);
    if (delivered == SQL_ERROR) {
      status = SQL_ROW_ERROR;
    } else if (delivered == SQL_SUCCESS_WITH_INFO && status == SQL_ROW_SUCCESS) {
      status = SQL_ROW_SUCCESS_WITH_INFO;
    }
  }
  return status;
}

// Fills a rowset of SQL_ATTR_ROW_ARRAY_SIZE rows. Every row read counts as a
// fetch for the switches, and so does the answer that there is none left;
// a switch that hits inside a rowset fails that row, after the rows before
// it arrived, as a server's error in the middle of its answer does.
SQLRETURN fetchNext(Statement* statement) {
  Connection* connection = statement->connection;
  if (reportLinkDown(statement, connection)) {
    return SQL_ERROR;
  }
  if (statement->closedByCommit) {
    addDiagnostic(statement, "HY000", 16950,
                  "The variable @cursor does not currently have a cursor allocated.");
    return SQL_ERROR;
  }
  const ResultSet* result = statement->current();
  if (result == nullptr || !result->isQuery()) {
    addDiagnostic(statement, "24000", 0, "Invalid cursor state");
    return SQL_ERROR;
  }
  if (!answerAfter(statement, connection->session.switches.latencyMilliseconds)) {
    return SQL_ERROR;
  }
  SQLULEN arraySize = statementAttribute(statement, SQL_ATTR_ROW_ARRAY_SIZE, 1);
  SQLULEN bindType = statementAttribute(statement, SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN);
  auto* rowsFetched =
      reinterpret_cast<SQLULEN*>(statementAttribute(statement, SQL_ATTR_ROWS_FETCHED_PTR, 0));
  auto* rowStatus =
      reinterpret_cast<SQLUSMALLINT*>(statementAttribute(statement, SQL_ATTR_ROW_STATUS_PTR, 0));
  if (rowsFetched != nullptr) {
    *rowsFetched = 0;
  }
  for (SQLULEN slot = 0; rowStatus != nullptr && slot < arraySize; ++slot) {
    rowStatus[slot] = SQL_ROW_NOROW;
  }
  long rowCount = result->rowCount;
  if (statement->exhausted || statement->rowPosition + 1 >= rowCount) {
    if (injectFetchFault(statement)) {
      return SQL_ERROR;
    }
    statement->exhausted = true;
    return SQL_NO_DATA;
  }
  statement->getDataColumn = 0;
  SQLULEN filled = 0;
  SQLULEN failedRows = 0;
  bool anyInfo = false;
  bool linkLost = false;
  while (filled < arraySize && statement->rowPosition + 1 < rowCount) {
    if (injectFetchFault(statement)) {
      linkLost = connection->linkDown;
      if (rowStatus != nullptr) {
        rowStatus[filled] = SQL_ROW_ERROR;
      }
      ++filled;
      ++failedRows;
      break;
    }
    EngineError error;
    if (!readResultRow(*result, statement->rowPosition + 1, statement->currentRow, error)) {
      reportEngineError(statement, error);
      if (rowStatus != nullptr) {
        rowStatus[filled] = SQL_ROW_ERROR;
      }
      ++filled;
      ++failedRows;
      break;
    }
    ++statement->rowPosition;
    SQLUSMALLINT status = deliverRow(statement, statement->currentRow, filled, bindType);
    if (rowStatus != nullptr) {
      rowStatus[filled] = status;
    }
    failedRows += status == SQL_ROW_ERROR ? 1 : 0;
    anyInfo = anyInfo || status == SQL_ROW_SUCCESS_WITH_INFO;
    ++filled;
  }
  if (rowsFetched != nullptr) {
    *rowsFetched = filled;
  }
  if (linkLost || failedRows == filled) {
    return SQL_ERROR;
  }
  return failedRows > 0 || anyInfo ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

struct OdbcColumnShape {
  SQLSMALLINT sqlType;
  SQLULEN size;
  SQLLEN displaySize;
  const char* typeName;
};

OdbcColumnShape odbcColumnShape(const ResultSet& result, size_t column) {
  ColumnShape shape = describeColumn(result, column);
  switch (shape.kind) {
    case ColumnKind::kBigInteger:
      return {SQL_BIGINT, 19, 20, "bigint"};
    case ColumnKind::kInteger:
      return {SQL_INTEGER, 10, 11, "int"};
    case ColumnKind::kReal:
      return {SQL_DOUBLE, 15, 24, "float"};
    default:
      return {SQL_VARCHAR, shape.size, static_cast<SQLLEN>(shape.size), "varchar"};
  }
}

// The current result and a valid 1-based column number, or an error record.
const ResultSet* resultColumn(Statement* statement, SQLUSMALLINT column) {
  const ResultSet* result = statement->current();
  if (result == nullptr || !result->isQuery()) {
    addDiagnostic(statement, "07005", 0, "Prepared statement returns no result set");
    return nullptr;
  }
  if (column < 1 || column > result->columnNames.size()) {
    addDiagnostic(statement, "07009", 0, "Invalid descriptor index");
    return nullptr;
  }
  return result;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  statement->prepared = false;
  return finishCall(statement, execute(statement, textArgument(text, length)));
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  closeCursor(statement);
  if (reportLinkDown(statement, statement->connection)) {
    return finishCall(statement, SQL_ERROR);
  }
  statement->preparedText = textArgument(text, length);
  statement->prepared = true;
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT handle) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  if (!statement->prepared) {
    addDiagnostic(statement, "HY010", 0, "Function sequence error");
    return finishCall(statement, SQL_ERROR);
  }
  return finishCall(statement, execute(statement, statement->preparedText));
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute, SQLPOINTER value,
                                 SQLINTEGER) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  SQLULEN number = reinterpret_cast<SQLULEN>(value);
  // The cursor is always forward-only; anything else is answered with
  // "option value changed", as ODBC asks.
  bool changed = (attribute == SQL_ATTR_CURSOR_SCROLLABLE && number != SQL_NONSCROLLABLE) ||
                 (attribute == SQL_ATTR_CURSOR_TYPE && number != SQL_CURSOR_FORWARD_ONLY) ||
                 (attribute == SQL_ATTR_ROW_ARRAY_SIZE && number == 0);
  if (changed) {
    addDiagnostic(statement, "01S02", 0, "Option value changed");
    return finishCall(statement, SQL_SUCCESS_WITH_INFO);
  }
  statement->attributes[attribute] = number;
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute, SQLPOINTER value,
                                 SQLINTEGER, SQLINTEGER* length) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  SQLULEN number = 0;
  switch (attribute) {
    case SQL_ATTR_APP_ROW_DESC:
    case SQL_ATTR_APP_PARAM_DESC:
    case SQL_ATTR_IMP_ROW_DESC:
    case SQL_ATTR_IMP_PARAM_DESC:
      addDiagnostic(statement, "HYC00", 0, "Descriptors are not implemented");
      return finishCall(statement, SQL_ERROR);
    case SQL_ATTR_ROW_ARRAY_SIZE:
      number = statementAttribute(statement, attribute, 1);
      break;
    case SQL_ATTR_CONCURRENCY:
      number = statement->attributes.count(attribute) ? statement->attributes[attribute]
                                                      : SQL_CONCUR_READ_ONLY;
      break;
    case SQL_ATTR_ROW_NUMBER:
      number = statement->hasPendingRows() ? statement->rowPosition + 1 : 0;
      break;
    default:
      number = statement->attributes.count(attribute) ? statement->attributes[attribute] : 0;
  }
  if (value != nullptr) {
    *static_cast<SQLULEN*>(value) = number;
  }
  if (length != nullptr) {
    *length = sizeof(SQLULEN);
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT handle, SQLUSMALLINT column, SQLSMALLINT targetType,
                             SQLPOINTER buffer, SQLLEN capacity, SQLLEN* indicator) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  if (column == 0) {
    addDiagnostic(statement, "07009", 0, "Invalid descriptor index");
    return finishCall(statement, SQL_ERROR);
  }
  if (buffer == nullptr) {
    statement->bindings.erase(column);
    return SQL_SUCCESS;
  }
  if (!isCharacterTarget(targetType) && !isNumericTarget(targetType)) {
    addDiagnostic(statement, "HY003", 0, "Invalid application buffer type");
    return finishCall(statement, SQL_ERROR);
  }
  if (capacity < 0) {
    addDiagnostic(statement, "HY090", 0, "Invalid string or buffer length");
    return finishCall(statement, SQL_ERROR);
  }
  statement->bindings[column] = {targetType, buffer, capacity, indicator};
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT handle) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  return finishCall(statement, fetchNext(statement));
}

SQLRETURN SQL_API SQLFetchScroll(SQLHSTMT handle, SQLSMALLINT orientation, SQLLEN) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  if (orientation != SQL_FETCH_NEXT) {
    addDiagnostic(statement, "HY106", 0, "Fetch type out of range");
    return finishCall(statement, SQL_ERROR);
  }
  return finishCall(statement, fetchNext(statement));
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT handle, SQLUSMALLINT column, SQLSMALLINT targetType,
                             SQLPOINTER buffer, SQLLEN capacity, SQLLEN* indicator) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  if (reportLinkDown(statement, statement->connection)) {
    return finishCall(statement, SQL_ERROR);
  }
  const ResultSet* result = statement->current();
  if (result == nullptr || statement->rowPosition < 0 || statement->exhausted) {
    addDiagnostic(statement, "24000", 0, "Invalid cursor state");
    return finishCall(statement, SQL_ERROR);
  }
  if (resultColumn(statement, column) == nullptr) {
    return finishCall(statement, SQL_ERROR);
  }
  const auto& value = statement->currentRow[column - 1];
  if (statement->getDataColumn != column) {
    statement->getDataColumn = column;
    statement->getDataOffset = 0;
  } else if (value && statement->getDataOffset >= value->size()) {
    return finishCall(statement, SQL_NO_DATA);  // everything was handed out already
  }
  SQLRETURN code = deliverValue(statement, value, targetType, buffer, capacity, indicator,
                                statement->getDataOffset);
  if (!value || isNumericTarget(targetType)) {
    statement->getDataOffset = value ? value->size() : 0;
    if (!value) {
      statement->getDataColumn = column;
    }
  }
  return finishCall(statement, code);
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT handle, SQLSMALLINT* count) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  const ResultSet* result = statement->current();
  if (count != nullptr) {
    *count = result == nullptr ? 0 : static_cast<SQLSMALLINT>(result->columnNames.size());
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT handle, SQLUSMALLINT column, SQLCHAR* name,
                                 SQLSMALLINT nameCapacity, SQLSMALLINT* nameLength,
                                 SQLSMALLINT* dataType, SQLULEN* columnSize,
                                 SQLSMALLINT* decimalDigits, SQLSMALLINT* nullable) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  const ResultSet* result = resultColumn(statement, column);
  if (result == nullptr) {
    return finishCall(statement, SQL_ERROR);
  }
  OdbcColumnShape shape = odbcColumnShape(*result, column - 1);
  if (dataType != nullptr) {
    *dataType = shape.sqlType;
  }
  if (columnSize != nullptr) {
    *columnSize = shape.size;
  }
  if (decimalDigits != nullptr) {
    *decimalDigits = 0;
  }
  if (nullable != nullptr) {
    *nullable = SQL_NULLABLE_UNKNOWN;
  }
  SQLRETURN code = copyText(result->columnNames[column - 1], name, nameCapacity, nameLength);
  if (code == SQL_SUCCESS_WITH_INFO) {
    addDiagnostic(statement, "01004", 0, "String data, right truncation");
  }
  return finishCall(statement, code);
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT handle, SQLUSMALLINT column, SQLUSMALLINT field,
                                  SQLPOINTER characterAttribute, SQLSMALLINT capacity,
                                  SQLSMALLINT* length, SQLLEN* numericAttribute) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  if (field == SQL_DESC_COUNT || field == SQL_COLUMN_COUNT) {
    const ResultSet* result = statement->current();
    if (numericAttribute != nullptr) {
      *numericAttribute = result == nullptr ? 0 : static_cast<SQLLEN>(result->columnNames.size());
    }
    return SQL_SUCCESS;
  }
  const ResultSet* result = resultColumn(statement, column);
  if (result == nullptr) {
    return finishCall(statement, SQL_ERROR);
  }
  OdbcColumnShape shape = odbcColumnShape(*result, column - 1);
  const std::string& name = result->columnNames[column - 1];
  std::optional<std::string> text;
  SQLLEN number = 0;
  switch (field) {
    case SQL_DESC_NAME:
    case SQL_DESC_LABEL:
    case SQL_COLUMN_NAME:
    case SQL_DESC_BASE_COLUMN_NAME:
      text = name;
      break;
    case SQL_DESC_TYPE_NAME:
    case SQL_DESC_LOCAL_TYPE_NAME:
      text = shape.typeName;
      break;
    case SQL_DESC_TABLE_NAME:
    case SQL_DESC_BASE_TABLE_NAME:
    case SQL_DESC_SCHEMA_NAME:
    case SQL_DESC_CATALOG_NAME:
    case SQL_DESC_LITERAL_PREFIX:
    case SQL_DESC_LITERAL_SUFFIX:
      text = std::string();
      break;
    case SQL_DESC_TYPE:
    case SQL_DESC_CONCISE_TYPE:
      number = shape.sqlType;
      break;
    case SQL_DESC_LENGTH:
    case SQL_DESC_PRECISION:
    case SQL_DESC_OCTET_LENGTH:
    case SQL_COLUMN_LENGTH:
    case SQL_COLUMN_PRECISION:
      number = static_cast<SQLLEN>(shape.size);
      break;
    case SQL_DESC_DISPLAY_SIZE:
      number = shape.displaySize;
      break;
    case SQL_DESC_NULLABLE:
      number = SQL_NULLABLE_UNKNOWN;
      break;
    case SQL_DESC_UNSIGNED:
      number = shape.sqlType == SQL_VARCHAR ? SQL_TRUE : SQL_FALSE;
      break;
    case SQL_DESC_SEARCHABLE:
      number = SQL_PRED_SEARCHABLE;
      break;
    case SQL_DESC_UPDATABLE:
      number = SQL_ATTR_READWRITE_UNKNOWN;
      break;
    case SQL_DESC_UNNAMED:
      number = name.empty() ? SQL_UNNAMED : SQL_NAMED;
      break;
    case SQL_DESC_SCALE:
    case SQL_COLUMN_SCALE:
    case SQL_DESC_AUTO_UNIQUE_VALUE:
    case SQL_DESC_CASE_SENSITIVE:
    case SQL_DESC_FIXED_PREC_SCALE:
      number = 0;
      break;
    default:
      addDiagnostic(statement, "HY091", 0, "Invalid descriptor field identifier");
      return finishCall(statement, SQL_ERROR);
  }
  if (text) {
    SQLRETURN code = copyText(*text, characterAttribute, capacity, length);
    if (code == SQL_SUCCESS_WITH_INFO) {
      addDiagnostic(statement, "01004", 0, "String data, right truncation");
    }
    return finishCall(statement, code);
  }
  if (numericAttribute != nullptr) {
    *numericAttribute = number;
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT handle, SQLLEN* count) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  const ResultSet* result = statement->current();
  if (count != nullptr) {
    *count = result == nullptr || !result->counted ? -1 : result->rowsAffected;
  }
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT handle) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  if (reportLinkDown(statement, statement->connection)) {
    return finishCall(statement, SQL_ERROR);
  }
  if (!statement->executed || statement->currentResult + 1 >= statement->outcomes.size()) {
    closeCursor(statement);
    return SQL_NO_DATA;
  }
  ++statement->currentResult;
  return finishCall(statement, enterOutcome(statement, false));
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT handle) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  closeCursor(statement);
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT handle) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  return SQL_SUCCESS;  // every call has finished before it returns
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT handle, SQLUSMALLINT option) {
  Statement* statement = asStatement(handle);
  if (statement == nullptr) {
    return SQL_INVALID_HANDLE;
  }
  beginCall(statement);
  switch (option) {
    case SQL_CLOSE:
      closeCursor(statement);
      return SQL_SUCCESS;
    case SQL_UNBIND:
      statement->bindings.clear();
      return SQL_SUCCESS;
    case SQL_RESET_PARAMS:
      return SQL_SUCCESS;
    case SQL_DROP:
      return SQLFreeHandle(SQL_HANDLE_STMT, handle);
    default:
      addDiagnostic(statement, "HY092", 0, "Invalid attribute/option identifier");
      return finishCall(statement, SQL_ERROR);
  }
}

}  // extern "C"
