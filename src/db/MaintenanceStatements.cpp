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

int markTransferred(const BookingRow& row, SQLLEN* rowsChanged) {
  return markTransferred(markingKeyOf(row), rowsChanged);
}

int markTransferred(const MarkingKey& key, SQLLEN* rowsChanged) {
  StatementStatus = -1;
  SQLLEN changed = -1;
  std::string text = markingStatement(key);
  SQLHSTMT statement;
  if (!allocateStatement(statement)) {
    if (rowsChanged != nullptr) {
      *rowsChanged = changed;
    }
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

namespace {

// Whether the diagnostics of a statement that returned with information
// hold a failure, not only warnings (class 01).
bool reportedAnError(SQLHSTMT statement) {
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER nativeError = 0;
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH] = {};
    SQLSMALLINT length = 0;
    SQLRETURN found = SQLGetDiagRec(SQL_HANDLE_STMT, statement, record, state, &nativeError,
                                    message, sizeof message, &length);
    if (found != SQL_SUCCESS && found != SQL_SUCCESS_WITH_INFO) {
      return false;
    }
    if (std::strncmp(reinterpret_cast<char*>(state), "01", 2) != 0) {
      return true;
    }
  }
}

// A failure of the link or of the driver rather than of the statement: the
// statement may have run or not, and what follows cannot be read.
bool linkOrDriverFailure(const DbConnection::Diagnostic& failure) {
  const char* state = failure.state;
  return std::strncmp(state, "08", 2) == 0 || std::strcmp(state, "HYT00") == 0 ||
         std::strcmp(state, "HYT01") == 0 || std::strcmp(state, "HY008") == 0 ||
         failure.nativeError == 0 || (failure.nativeError >= 20000 && failure.nativeError < 21000);
}

// Whether the outcome of the statement a batch stands at was told, by the
// code of the call that moved there.
enum class Told { kYes, kNot };

// A statement told its outcome when it failed with a server's error, or
// ran with a count: a count the driver does not know (a link that closed
// before the statement's end came, a server that sends no counts) tells
// nothing, nor does a failure of the link or the driver. FreeTDS answers
// SQL_NO_DATA with no count for a whole batch under NOCOUNT.
Told readOutcome(SQLHSTMT statement, SQLRETURN result, MarkingOutcome& outcome) {
  if (result == SQL_ERROR || (result == SQL_SUCCESS_WITH_INFO && reportedAnError(statement))) {
    outcome.status = failureStatus(statement);
    outcome.rowsChanged = -1;
    outcome.cause = DbConnection::describeLastDiagnostic();
    return linkOrDriverFailure(DbConnection::LastDiagnostic) ? Told::kNot : Told::kYes;
  }
  SQLLEN count = -1;
  if (SQLRowCount(statement, &count) == SQL_ERROR || count < 0) {
    outcome.cause = "the driver gave no row count for it";
    return Told::kNot;
  }
  outcome.rowsChanged = count;
  outcome.status = count == 0 ? SQL_NO_DATA : 0;
  return Told::kYes;
}

}  // namespace

// The outcomes read are taken as the statements' own only while they come
// one per statement, each told. A batch that ends after an error (one that
// aborts it; unixODBC passes nothing on after a failed first statement)
// leaves the bookings from that statement on to be marked one by one, the
// failed one included. Where more outcomes come than statements,
// places may have shifted, and the whole batch is marked one by one.
size_t markBatch(const std::vector<MarkingKey>& keys, std::vector<MarkingOutcome>& outcomes,
                 std::string& cause) {
  outcomes.assign(keys.size(), MarkingOutcome());
  cause.clear();
  if (keys.size() == 1) {
    outcomes[0].status = markTransferred(keys[0], &outcomes[0].rowsChanged);
    if (outcomes[0].status != 0 && outcomes[0].status != SQL_NO_DATA) {
      outcomes[0].cause = DbConnection::describeLastDiagnostic();
    }
    return 1;
  }
  size_t told = 0;  // the leading bookings whose outcomes the batch told
  SQLHSTMT statement;
  if (!keys.empty() && allocateStatement(statement)) {
    std::string text;
    for (const MarkingKey& key : keys) {
      if (!text.empty()) {
        text += '\n';
      }
      text += markingStatement(key);
    }
    SQLRETURN result = execute(statement, text);
    while (told < keys.size()) {
      MarkingOutcome& outcome = outcomes[told];
      if (readOutcome(statement, result, outcome) == Told::kNot) {
        break;
      }
      ++told;
      result = SQLMoreResults(statement);
      if (result == SQL_NO_DATA && told < keys.size()) {
        told -= outcome.status != 0 && outcome.status != SQL_NO_DATA ? 1 : 0;
        break;
      }
    }
    if (told == keys.size() && result != SQL_NO_DATA) {
      told = 0;
    }
    if (told < keys.size()) {
      cause = outcomes[told].cause;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
  } else if (!keys.empty()) {
    cause = DbConnection::describeLastDiagnostic();
  }
  for (size_t index = told; index < keys.size(); ++index) {
    MarkingOutcome& outcome = outcomes[index];
    outcome = MarkingOutcome();
    outcome.status = markTransferred(keys[index], &outcome.rowsChanged);
    if (outcome.status != 0 && outcome.status != SQL_NO_DATA) {
      outcome.cause = DbConnection::describeLastDiagnostic();
    }
  }
  return told;
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
