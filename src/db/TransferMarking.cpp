#include "db/TransferMarking.h"

#include <algorithm>
#include <cstddef>
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

// The outcome of the statement a batch stands at, by the code of the call
// that moved there; false when it tells nothing. A statement told its
// outcome when it failed with a server's error, or ran with a count: a
// count the driver does not know (a link that closed before the
// statement's end came, a server that sends no counts) tells nothing, nor
// does a failure of the link or the driver. FreeTDS answers SQL_NO_DATA
// with no count for a whole batch under NOCOUNT.
bool readOutcome(SQLHSTMT statement, SQLRETURN result, MarkingOutcome& outcome) {
  if (result == SQL_ERROR || (result == SQL_SUCCESS_WITH_INFO &&
                              DbConnection::holdsErrorRecord(SQL_HANDLE_STMT, statement))) {
    outcome.status = DbConnection::captureStatementFailure(statement);
    outcome.result = MarkingResult::kFailed;
    outcome.rowsChanged = -1;
    outcome.cause = DbConnection::describeLastDiagnostic();
    return !linkOrDriverFailure(DbConnection::LastDiagnostic);
  }
  SQLLEN count = -1;
  if (SQLRowCount(statement, &count) == SQL_ERROR || count < 0) {
    outcome.cause = "the driver gave no row count for it";
    return false;
  }
  outcome.rowsChanged = count;
  outcome.status = count == 0 ? SQL_NO_DATA : SQL_SUCCESS;
  outcome.result = resultOf(outcome.status);
  return true;
}

std::string batchText(const std::vector<MarkingKey>& keys) {
  std::string text;
  for (const MarkingKey& key : keys) {
    if (!text.empty()) {
      text += '\n';
    }
    text += markingStatement(key);
  }
  return text;
}

// Reads the outcomes of the batch on statement and returns how many of
// them, from the first, it told. They are taken as the statements' own only
// while they come one per statement, each told. A batch that ends after an
// error (one that aborts it; unixODBC passes nothing on after a failed first
// statement) leaves the bookings from that statement on undecided, the
// failed one included. Where more outcomes come than statements, places may
// have shifted, and none is taken.
size_t readBatch(SQLHSTMT statement, SQLRETURN result, std::vector<MarkingOutcome>& outcomes) {
  size_t told = 0;
  while (told < outcomes.size()) {
    MarkingOutcome& outcome = outcomes[told];
    if (!readOutcome(statement, result, outcome)) {
      break;
    }
    ++told;
    result = SQLMoreResults(statement);
    if (result == SQL_NO_DATA && told < outcomes.size()) {
      told -= outcome.result == MarkingResult::kFailed ? 1 : 0;
      break;
    }
  }
  return told == outcomes.size() && result != SQL_NO_DATA ? 0 : told;
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

// Every marking may run twice: it changes nothing that a second run would
// change back, so an undecided one is simply marked again on its own.
std::vector<MarkingOutcome> sendRequest(const std::vector<MarkingKey>& keys,
                                        std::string& endCause) {
  endCause.clear();
  if (keys.size() == 1) {
    return {markOne(keys[0])};
  }
  std::vector<MarkingOutcome> outcomes(keys.size());
  SQLHSTMT statement;
  if (keys.empty() || DbConnection::allocateStatement(statement) != 0) {
    endCause = keys.empty() ? std::string() : DbConnection::describeLastDiagnostic();
    return outcomes;
  }
  std::vector<MarkingKey> sent(
      keys.begin(),
      keys.begin() + static_cast<std::ptrdiff_t>(std::min(keys.size(), kMostMarkingsPerRequest)));
  outcomes.resize(sent.size());
  size_t told = readBatch(statement, execute(statement, batchText(sent)), outcomes);
  outcomes.resize(keys.size());
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (told < keys.size()) {
    endCause = outcomes[told].cause;
  }
  for (size_t index = told; index < keys.size(); ++index) {
    outcomes[index] = MarkingOutcome();
  }
  return outcomes;
}

}  // namespace TransferMarking
