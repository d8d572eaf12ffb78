#include "db/TransferMarking.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "db/DbConnection.h"

using DbConnection::StatementStatus;

namespace TransferMarking {

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
std::string quoted(const std::string& value) {
  std::string text = "'";
  for (char c : value) {
    text += c;
    if (c == '\'') {
      text += '\'';
    }
  }
  return text + "'";
}

// An empty fetched value may stand for NULL, which "=" never matches; such a
// booking would be exported again on every pass.
std::string textCondition(const char* column, const std::string& value, const char* emptyLiteral) {
  if (value.empty()) {
    return std::string("(") + column + " = " + emptyLiteral + " OR " + column + " IS NULL)";
  }
  return std::string(column) + " = " + quoted(value);
}

std::string timestampCondition(const char* column, const std::string& style120) {
  if (style120.empty()) {
    return std::string(column) + " IS NULL";
  }
  return std::string("convert(char(19), ") + column + ", 120) = " + quoted(style120);
}

SQLRETURN execute(SQLHSTMT statement, const std::string& text) {
  return SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                       SQL_NTS);
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

MarkingResult resultOf(int32_t status) {
  if (status == SQL_SUCCESS) {
    return MarkingResult::kMarked;
  }
  return status == SQL_NO_DATA ? MarkingResult::kNoRow : MarkingResult::kFailed;
}

// A failure of the link or of the driver rather than of the statement: the
// statement may have run or not, and what follows cannot be read.
bool linkOrDriverFailure(const DbConnection::Diagnostic& failure) {
  const char* state = failure.state;
  return std::strncmp(state, "08", 2) == 0 || std::strcmp(state, "HYT00") == 0 ||
         std::strcmp(state, "HYT01") == 0 || std::strcmp(state, "HY008") == 0 ||
         failure.nativeError == 0 || (failure.nativeError >= 20000 && failure.nativeError < 21000);
}

// A marking request's answer holds no more results than this: its
// statements and a few the driver may add. A driver that keeps answering
// past it is not read further.
constexpr size_t kResultsBeyondStatements = 8;

// The closing SELECT @@TRANCOUNT of a request: its one row, one column.
void readTransactionCount(SQLHSTMT statement, RequestAnswer& answer) {
  char value[24] = {};
  SQLLEN length = 0;
  if (SQLBindCol(statement, 1, SQL_C_CHAR, value, sizeof value, &length) == SQL_ERROR ||
      SQLFetch(statement) == SQL_ERROR || length == SQL_NULL_DATA || value[0] == '\0') {
    return;
  }
  char* end = nullptr;
  long count = std::strtol(value, &end, 10);
  if (*end == '\0') {
    answer.transactionCount = count;
  }
}

// Reads every result of a request's answer. A result is taken for what it
// is, not for its place: FreeTDS hands on nothing for SET, BEGIN and
// COMMIT, but may hand one of them on with a count of -1 after an
// informational message. So a result of one column is the closing SELECT,
// and any other with a count of 0 or more the next UPDATE's; anything else
// tells nothing. A SELECT may carry a count of its own (FreeTDS gives one
// for some), and while the booking cursor is open FreeTDS reports its 17
// columns for a result that carries only a count, so neither the count nor
// "some columns" alone tells a SELECT; a fetch of a result that is no
// SELECT would swallow the next one. The first result comes with
// SQLExecDirect, whose SQL_NO_DATA is an UPDATE that changed no row, not
// the end. Nothing after the closing SELECT counts: FreeTDS hands on the
// end of a result set whose rows were not all fetched as a result of its
// own, with the SELECT's row count. Reading goes on after a statement's
// error, so that the server runs the batch to its end before the next
// request; a failure of the link or the driver ends it.
void readAnswer(SQLHSTMT statement, SQLRETURN result, size_t updates, RequestAnswer& answer) {
  bool first = true;
  bool closingSelectRead = false;
  for (size_t read = 0; read < updates + kResultsBeyondStatements;
       ++read, result = SQLMoreResults(statement), first = false) {
    if (result == SQL_ERROR || (result == SQL_SUCCESS_WITH_INFO &&
                                DbConnection::holdsErrorRecord(SQL_HANDLE_STMT, statement))) {
      DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
      if (!answer.failed) {
        answer.failed = true;
        answer.cause = DbConnection::describeLastDiagnostic();
      }
      if (result == SQL_ERROR && linkOrDriverFailure(DbConnection::LastDiagnostic)) {
        return;
      }
      continue;
    }
    if (result == SQL_NO_DATA && !first) {
      return;
    }
    if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO && result != SQL_NO_DATA) {
      return;
    }
    SQLSMALLINT columns = 0;
    if (closingSelectRead) {
      continue;
    }
    if (result != SQL_NO_DATA && SQLNumResultCols(statement, &columns) != SQL_ERROR &&
        columns == 1) {
      readTransactionCount(statement, answer);
      closingSelectRead = true;
      continue;
    }
    SQLLEN count = -1;
    if (SQLRowCount(statement, &count) != SQL_ERROR && count >= 0) {
      answer.counts.push_back(count);
    } else if (result == SQL_NO_DATA) {
      answer.counts.push_back(0);
    }
  }
}

}  // namespace

// The key columns are compared as fetched, untrimmed: "=" ignores trailing
// blanks anyway, and a value ending in a tab is found only this way.
MarkingKey markingKeyOf(const BookingRow& row) {
  MarkingKey key;
  key.BewIDN.assign(row.fetchedKey.BewIDN,
                    strnlen(row.fetchedKey.BewIDN, sizeof row.fetchedKey.BewIDN));
  key.BewSto.assign(row.fetchedKey.BewSto,
                    strnlen(row.fetchedKey.BewSto, sizeof row.fetchedKey.BewSto));
  key.BewLfn.assign(row.fetchedKey.BewLfn,
                    strnlen(row.fetchedKey.BewLfn, sizeof row.fetchedKey.BewLfn));
  if (row.BewDtmCompact[0] != '\0') {
    key.BewDtm = style120FromCompact(row.BewDtmCompact);
  }
  if (row.BewUhrCompact[0] != '\0') {
    key.BewUhr = style120FromCompact(row.BewUhrCompact);
  }
  return key;
}

std::string describeKey(const MarkingKey& key) {
  auto trimmed = [](std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
      text.pop_back();
    }
    return text;
  };
  auto compact = [](const std::string& style120) {
    std::string digits;
    for (char c : style120) {
      if (c != '-' && c != ' ' && c != ':') {
        digits += c;
      }
    }
    return digits;
  };
  return "ID '" + trimmed(key.BewIDN) + "', Sto '" + trimmed(key.BewSto) + "', Dtm '" +
         compact(key.BewDtm) + "', Uhr '" + compact(key.BewUhr) + "', Lfn '" + trimmed(key.BewLfn) +
         "'";
}

std::string markingStatement(const BookingRow& row) {
  return markingStatement(markingKeyOf(row));
}

// An empty ID is compared as one blank, which SQL Server finds equal to an
// empty or blank-filled value.
std::string markingStatement(const MarkingKey& key) {
  return std::string(
             "UPDATE  KVLSYSTEM.Kvl321Bew    SET  BewUkz = 4,         BewUdt = CURRENT_TIMESTAMP "
             "WHERE  ") +
         textCondition("BewIDN", key.BewIDN, "' '") + "    AND  " +
         textCondition("BewSto", key.BewSto, "''") + "    AND  " +
         timestampCondition("BewDtm", key.BewDtm) + "    AND  " +
         timestampCondition("BewUhr", key.BewUhr) + "    AND  " +
         textCondition("BewLfn", key.BewLfn, "''");
}

MarkingOutcome markOne(const MarkingKey& key) {
  MarkingOutcome outcome;
  outcome.result = MarkingResult::kFailed;
  StatementStatus = SQL_ERROR;
  std::string text = markingStatement(key);
  SQLHSTMT statement;
  if (DbConnection::allocateStatement(statement) == 0) {
    SQLRETURN result = execute(statement, text);
    if (result == SQL_ERROR) {
      StatementStatus = DbConnection::captureStatementFailure(statement);
    } else if ((outcome.rowsChanged = changedRows(statement, result)) == 0) {
      StatementStatus = SQL_NO_DATA;
      outcome.result = MarkingResult::kNoRow;
    } else {
      StatementStatus = result == SQL_SUCCESS_WITH_INFO ? SQL_SUCCESS : result;
      outcome.result = resultOf(StatementStatus);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
  }
  outcome.status = StatementStatus;
  if (outcome.result == MarkingResult::kFailed) {
    outcome.cause = DbConnection::describeLastDiagnostic();
  }
  return outcome;
}

std::string requestText(const std::vector<std::string>& updates) {
  std::string text = "SET NOCOUNT OFF\nSET XACT_ABORT ON\nBEGIN TRANSACTION\n";
  for (const std::string& update : updates) {
    text += update + "\n";
  }
  return text + "COMMIT TRANSACTION\nSELECT @@TRANCOUNT";
}

RequestAnswer runRequest(const std::vector<std::string>& updates) {
  RequestAnswer answer;
  SQLHSTMT statement;
  if (DbConnection::allocateStatement(statement) != 0) {
    answer.failed = true;
    answer.cause = DbConnection::describeLastDiagnostic();
    return answer;
  }
  readAnswer(statement, execute(statement, requestText(updates)), updates.size(), answer);
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return answer;
}

bool toldEveryOutcome(const RequestAnswer& answer, size_t updates) {
  return !answer.failed && answer.counts.size() == updates && answer.transactionCount == 0;
}

std::string describeDoubt(const RequestAnswer& answer, size_t updates) {
  if (answer.failed) {
    return answer.cause;
  }
  if (answer.counts.size() != updates) {
    return "it told " + std::to_string(answer.counts.size()) + " counts for " +
           std::to_string(updates) + " UPDATEs";
  }
  if (answer.transactionCount < 0) {
    return "no answer to its closing SELECT @@TRANCOUNT";
  }
  return "its transaction was still open after its COMMIT (@@TRANCOUNT " +
         std::to_string(answer.transactionCount) + ")";
}

int rollbackOpenTransaction() {
  SQLHSTMT statement;
  if (DbConnection::allocateStatement(statement) != 0) {
    return SQL_ERROR;
  }
  int status = SQL_SUCCESS;
  if (execute(statement, kRollbackOpenTransactionText) == SQL_ERROR) {
    status = DbConnection::captureStatementFailure(statement);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return status;
}

// A request's bookings count as marked only when its whole answer told so:
// the UPDATEs' counts, each read, no error, and no transaction left open.
// Anything less may mean nothing was committed (XACT_ABORT rolled back,
// or the COMMIT was never reached), everything was (a trigger's RAISERROR
// lets the batch go on to its COMMIT), or either (a COMMIT whose answer was
// lost). Then an open transaction is rolled back and every booking is left
// undecided: marked again one by one, it changes nothing that a second
// marking would change back.
std::vector<MarkingOutcome> sendRequest(const std::vector<MarkingKey>& keys,
                                        std::string& endCause) {
  endCause.clear();
  if (keys.size() == 1) {
    return {markOne(keys[0])};
  }
  std::vector<MarkingOutcome> outcomes(keys.size());
  if (keys.empty()) {
    return outcomes;
  }
  std::vector<std::string> updates;
  for (size_t index = 0; index < keys.size() && index < kMostMarkingsPerRequest; ++index) {
    updates.push_back(markingStatement(keys[index]));
  }
  RequestAnswer answer = runRequest(updates);
  if (updates.size() < keys.size() || !toldEveryOutcome(answer, updates.size())) {
    endCause = updates.size() < keys.size() ? "more bookings than a request carries"
                                            : describeDoubt(answer, updates.size());
    rollbackOpenTransaction();
    return outcomes;
  }
  for (size_t index = 0; index < keys.size(); ++index) {
    MarkingOutcome& outcome = outcomes[index];
    outcome.rowsChanged = answer.counts[index];
    outcome.status = answer.counts[index] == 0 ? SQL_NO_DATA : SQL_SUCCESS;
    outcome.result = resultOf(outcome.status);
  }
  return outcomes;
}

}  // namespace TransferMarking
