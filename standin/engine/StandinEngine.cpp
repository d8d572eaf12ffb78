#include "StandinEngine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "StandinSchema.h"
#include "StandinValues.h"

// The rows of a query in a table of its session's result store.
struct KeptRows {
  sqlite3* db;
  std::string table;
  sqlite3_stmt* reader;
};

void KeptRowsRelease::operator()(KeptRows* kept) const {
  sqlite3_finalize(kept->reader);
  // No statement runs between two calls of a front end, so the drop
  // succeeds; if not, the table goes with the session.
  std::string drop = "DROP TABLE " + kept->table;
  sqlite3_exec(kept->db, drop.c_str(), nullptr, nullptr, nullptr);
  delete kept;
}

namespace {

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Splits at the first `count` commas; the last piece keeps any further commas.
std::vector<std::string> splitFields(const std::string& text, size_t count) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (fields.size() < count) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      break;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  fields.push_back(text.substr(start));
  for (std::string& field : fields) {
    size_t first = field.find_first_not_of(' ');
    size_t last = field.find_last_not_of(' ');
    field = first == std::string::npos ? std::string() : field.substr(first, last - first + 1);
  }
  return fields;
}

bool parseNumber(const std::string& text, long& out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, 10);
  return *end == '\0';
}

// "n,native,SQLSTATE" into a fault; false when malformed.
bool parseFault(const std::string& value, InjectedFault& fault) {
  std::vector<std::string> fields = splitFields(value, 2);
  long callNumber, nativeError;
  if (fields.size() != 3 || !parseNumber(fields[0], callNumber) || callNumber < 0 ||
      !parseNumber(fields[1], nativeError) || fields[2].size() != 5) {
    return false;
  }
  fault = {callNumber, static_cast<int32_t>(nativeError), fields[2]};
  return true;
}

// "n,native" of lose_link_after.*: SQLSTATE 08S01, and a reset for 10054.
bool parseLinkLoss(const std::string& value, InjectedFault& fault) {
  std::vector<std::string> fields = splitFields(value, 1);
  long callNumber, nativeError;
  if (fields.size() != 2 || !parseNumber(fields[0], callNumber) || callNumber < 0 ||
      !parseNumber(fields[1], nativeError)) {
    return false;
  }
  fault = {callNumber, static_cast<int32_t>(nativeError), "08S01"};
  return true;
}

// "n,native,message" of info.*; the message may hold commas of its own.
bool parseInfo(const std::string& value, InjectedInfo& info) {
  std::vector<std::string> fields = splitFields(value, 2);
  long callNumber, nativeError;
  if (fields.size() != 3 || !parseNumber(fields[0], callNumber) || callNumber < 0 ||
      !parseNumber(fields[1], nativeError) || fields[2].empty()) {
    return false;
  }
  info = {callNumber, {"01000", static_cast<int32_t>(nativeError), fields[2]}};
  return true;
}

// "PATTERN,native,SQLSTATE"; the pattern may hold commas of its own.
bool parseUpdateTrigger(const std::string& value, UpdateTrigger& trigger) {
  size_t stateComma = value.rfind(',');
  size_t nativeComma = stateComma == std::string::npos || stateComma == 0
                           ? std::string::npos
                           : value.rfind(',', stateComma - 1);
  long nativeError = 0;
  if (nativeComma == std::string::npos || nativeComma == 0 ||
      !parseNumber(value.substr(nativeComma + 1, stateComma - nativeComma - 1), nativeError) ||
      value.size() - stateComma - 1 != 5) {
    return false;
  }
  trigger.pattern = value.substr(0, nativeComma);
  trigger.error = {value.substr(stateComma + 1), static_cast<int32_t>(nativeError),
                   nativeError == 3609
                       ? "The transaction ended in the trigger. The batch has been aborted."
                       : "The trigger on KVLSYSTEM.Kvl321Bew refused the change."};
  return true;
}

// standin_trancount(): @@TRANCOUNT of the session whose counter it has.
void tranCountFunction(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_int64(context, *static_cast<const long*>(sqlite3_user_data(context)));
}

// An error raised with RAISERROR: user-defined messages start at 50000.
bool raisedWithRaiserror(int32_t nativeError) {
  return nativeError >= 50000;
}

// Index of a switch suffix (select, update, delete, fetch, commit), or -1.
int switchedCallIndex(const std::string& suffix) {
  static const char* const kNames[kSwitchedCallCount] = {"select", "update", "delete", "fetch",
                                                         "commit"};
  for (int index = 0; index < kSwitchedCallCount; ++index) {
    if (suffix == kNames[index]) {
      return index;
    }
  }
  return -1;
}

// Reads the switches of StandinControl. A malformed value refuses the login
// with a message naming it: a test that sets a switch wrongly must not pass
// silently.
bool readSwitches(EngineSession& session, EngineError& error) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(session.db, "SELECT Name, Value FROM StandinControl", -1, &statement,
                         nullptr) != SQLITE_OK) {
    error = {"08001", 0, std::string("Cannot read StandinControl: ") + sqlite3_errmsg(session.db)};
    return false;
  }
  StandinSwitches& switches = session.switches;
  switches = StandinSwitches();
  bool ok = true;
  error = EngineError();
  while (ok && sqlite3_step(statement) == SQLITE_ROW) {
    const char* nameText = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    const char* valueText = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    std::string name = nameText == nullptr ? "" : nameText;
    std::string value = valueText == nullptr ? "" : valueText;
    long number = 0;
    size_t dot = name.find('.');
    int call = dot == std::string::npos ? -1 : switchedCallIndex(name.substr(dot + 1));
    const int fetchCall = static_cast<int>(SwitchedCall::kFetch);
    std::string family = dot == std::string::npos ? name : name.substr(0, dot);
    if (name == "fail.connect") {
      std::vector<std::string> fields = splitFields(value, 2);
      if (fields.size() == 3 && parseNumber(fields[0], number) && fields[1].size() == 5) {
        error = {fields[1], static_cast<int32_t>(number), fields[2]};
      }
      ok = false;
    } else if (family == "fail" && call >= 0) {
      ok = parseFault(value, switches.fail[call]);
    } else if (family == "lose_link_after" && call >= 0 && call != fetchCall) {
      ok = parseLinkLoss(value, switches.loseLinkAfter[call]);
    } else if (family == "info" && call >= 0 && call != fetchCall) {
      ok = parseInfo(value, switches.info[call]);
    } else if (name == "commit_cost_ms") {
      ok = parseNumber(value, number) && number >= 0;
      switches.commitCostMilliseconds = number;
    } else if (family == "stall" && call >= 0) {
      ok = parseNumber(value, number) && number >= 0;
      switches.stall[call] = number;
    } else if (name == "busy") {
      ok = parseNumber(value, number);
      switches.refuseSecondActiveStatement = number != 0;
    } else if (name == "cursor_close_on_commit") {
      ok = parseNumber(value, number);
      switches.cursorCloseOnCommit = number != 0;
    } else if (name == "latency_ms") {
      ok = parseNumber(value, number) && number >= 0;
      switches.latencyMilliseconds = number;
    } else if (name == "wire_latency_ms") {
      ok = parseNumber(value, number) && number >= 0;
      switches.wireLatencyMilliseconds = number;
    } else if (name == "trigger.update") {
      ok = parseUpdateTrigger(value, switches.updateTrigger);
    }
    if (!ok && error.sqlstate.empty()) {
      error = {"HY000", 0, "Malformed StandinControl value for " + name + ": '" + value + "'"};
    }
  }
  sqlite3_finalize(statement);
  return ok;
}

// Whether a StandinLogin row has this login (any letter case) and password
// (exactly).
bool loginAccepted(sqlite3* db, const std::string& user, const std::string& password) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT 1 FROM StandinLogin WHERE Login = ?1 COLLATE NOCASE "
                         "AND Password = ?2 COLLATE BINARY",
                         -1, &statement, nullptr) != SQLITE_OK) {
    return false;
  }
  sqlite3_bind_text(statement, 1, user.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(statement, 2, password.c_str(), -1, SQLITE_TRANSIENT);
  bool accepted = sqlite3_step(statement) == SQLITE_ROW;
  sqlite3_finalize(statement);
  return accepted;
}

// SQLSTATE and SQL Server's error number for a failure of SQLite.
EngineError engineError(sqlite3* db) {
  struct Mapping {
    const char* messageStart;
    const char* sqlstate;
    int32_t nativeError;
  };
  static const Mapping kByMessage[] = {
      {"no such table", "42S02", 208},
      {"no such column", "42S22", 207},
      {"Conversion failed when converting date", "22007", 241},
      {"Conversion failed", "22018", 245},
      {"Arithmetic overflow", "22003", 8115},
  };
  const char* message = sqlite3_errmsg(db);
  int code = sqlite3_extended_errcode(db);
  EngineError error{"HY000", code, message};
  if ((code & 0xff) == SQLITE_ERROR) {
    error.sqlstate = "42000";
    error.nativeError = 102;
    for (const Mapping& mapping : kByMessage) {
      if (std::strncmp(message, mapping.messageStart, std::strlen(mapping.messageStart)) == 0) {
        error.sqlstate = mapping.sqlstate;
        error.nativeError = mapping.nativeError;
        break;
      }
    }
  } else if ((code & 0xff) == SQLITE_CONSTRAINT) {
    error.sqlstate = "23000";
    error.nativeError = code == SQLITE_CONSTRAINT_NOTNULL ? 515
                        : code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY
                            ? 2627
                            : 547;
  } else if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED) {
    error.sqlstate = "HYT00";
    error.nativeError = 1222;
  }
  return error;
}

// What the stand-in's trigger raises in SQLite; SQLite's own triggers in a
// database file raise other texts.
const char kUpdateTriggerMessage[] = "StandinUpdateTrigger";

// The trigger.update switch as a temporary trigger of the session: SQLite
// aborts the UPDATE at the first row it names and undoes what the
// statement changed.
bool armUpdateTrigger(EngineSession& session, EngineError& error) {
  const UpdateTrigger& trigger = session.switches.updateTrigger;
  if (trigger.pattern.empty()) {
    return true;
  }
  std::string pattern;
  for (char c : trigger.pattern) {
    pattern += c;
    pattern += c == '\'' ? "'" : "";
  }
  std::string create =
      "CREATE TEMP TRIGGER StandinUpdateTrigger BEFORE UPDATE ON main.Kvl321Bew WHEN "
      "OLD.BewIDN LIKE '" +
      pattern + "' BEGIN SELECT RAISE(ABORT, '" + kUpdateTriggerMessage + "'); END";
  if (sqlite3_exec(session.db, create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = {"08001", 0, std::string("Cannot arm trigger.update: ") + sqlite3_errmsg(session.db)};
    return false;
  }
  return true;
}

// Why a statement failed, and where: its failure reaches as far as that
// says (see scopeOf).
struct StatementFailure {
  EngineError error;
  bool compiled = true;    // false: it did not compile as it ran (208)
  bool byTrigger = false;  // the stand-in's trigger raised it
};

// A failure of SQLite as SQL Server reports it; the stand-in's trigger
// raises the error its switch names.
void noteStatementError(const EngineSession& session, StatementFailure& failure) {
  failure.byTrigger = sqlite3_extended_errcode(session.db) == SQLITE_CONSTRAINT_TRIGGER &&
                      std::strcmp(sqlite3_errmsg(session.db), kUpdateTriggerMessage) == 0;
  failure.error =
      failure.byTrigger ? session.switches.updateTrigger.error : engineError(session.db);
}

// Name of a result column as SQL Server gives it: an expression without an
// alias has none, which also keeps the translated text out of sight.
std::string resultColumnName(sqlite3_stmt* prepared, int column) {
  const char* name = sqlite3_column_name(prepared, column);
  std::string text = name == nullptr ? "" : name;
  if (sqlite3_column_table_name(prepared, column) == nullptr &&
      (text.find('(') != std::string::npos || text.find(' ') != std::string::npos)) {
    return std::string();
  }
  return text;
}

// A value as the front ends hand it out: numbers as their text, blobs as
// their bytes. `type` is the column's type before any conversion.
std::optional<std::string> valueText(sqlite3_stmt* prepared, int column, int type) {
  if (type == SQLITE_NULL) {
    return std::nullopt;
  }
  const char* text =
      reinterpret_cast<const char*>(type == SQLITE_BLOB ? sqlite3_column_blob(prepared, column)
                                                        : sqlite3_column_text(prepared, column));
  return std::string(text == nullptr ? "" : text, sqlite3_column_bytes(prepared, column));
}

// Opens the session's result store on first use: a private file that SQLite
// deletes when it closes, with a small page cache and its journal in memory.
bool openResultStore(EngineSession& session) {
  if (session.resultStore != nullptr) {
    return true;
  }
  if (sqlite3_open_v2("", &session.resultStore, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) == SQLITE_OK &&
      sqlite3_exec(session.resultStore,
                   "PRAGMA cache_size = -256; PRAGMA journal_mode = MEMORY; "
                   "PRAGMA synchronous = OFF",
                   nullptr, nullptr, nullptr) == SQLITE_OK) {
    return true;
  }
  sqlite3_close(session.resultStore);
  session.resultStore = nullptr;
  return false;
}

const char kKeptRowsSavepoint[] = "standin_result";

// Opens a savepoint around the copy of the query's rows, so that the copy
// commits once, and creates the table: its columns have no type and so no
// affinity, and every value comes back as it went in. The reader finds a
// row by rowid, which counts the rows from 1 in their order.
bool beginKeptRows(EngineSession& session, int columns, std::string& table, sqlite3_stmt*& inserter,
                   sqlite3_stmt*& reader) {
  if (!openResultStore(session)) {
    return false;
  }
  sqlite3* store = session.resultStore;
  table = "StandinResult" + std::to_string(++session.keptResults);
  std::string create =
      std::string("SAVEPOINT ") + kKeptRowsSavepoint + "; CREATE TABLE " + table + " (";
  std::string insert = "INSERT INTO " + table + " VALUES (";
  for (int column = 0; column < columns; ++column) {
    create += (column == 0 ? "c" : ", c") + std::to_string(column);
    insert += column == 0 ? "?" : ", ?";
  }
  create += ")";
  insert += ")";
  std::string read = "SELECT * FROM " + table + " WHERE rowid = ?1";
  return sqlite3_exec(store, create.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(store, insert.c_str(), -1, &inserter, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(store, read.c_str(), -1, &reader, nullptr) == SQLITE_OK;
}

// Commits the copy and hands the table to the result, or takes it back.
bool finishKeptRows(sqlite3* store, const std::string& table, sqlite3_stmt* reader, bool copied,
                    ResultSet& result, EngineError& error) {
  std::string release = std::string("RELEASE ") + kKeptRowsSavepoint;
  if (copied && sqlite3_exec(store, release.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
    result.keptRows.reset(new KeptRows{store, table, reader});
    return true;
  }
  if (copied) {
    error = engineError(store);
  }
  sqlite3_finalize(reader);
  std::string rollback = std::string("ROLLBACK TO ") + kKeptRowsSavepoint + "; " + release;
  sqlite3_exec(store, rollback.c_str(), nullptr, nullptr, nullptr);
  return false;
}

// Runs one translated statement to its end into `result`, noting each
// column's shape on the way.
bool runStatement(EngineSession& session, const TranslatedStatement& translated, RowStorage storage,
                  ResultSet& result, StatementFailure& failure) {
  sqlite3* db = session.db;
  sqlite3_stmt* prepared = nullptr;
  failure.compiled =
      sqlite3_prepare_v2(db, translated.text.c_str(), -1, &prepared, nullptr) == SQLITE_OK;
  if (!failure.compiled) {
    failure.error = engineError(db);
    return false;
  }
  if (prepared == nullptr) {
    result.rowsAffected = 0;  // nothing but a comment
    return true;
  }
  result.kind = translated.kind;
  int columns = sqlite3_column_count(prepared);
  for (int column = 0; column < columns; ++column) {
    result.columnNames.push_back(resultColumnName(prepared, column));
    const char* declared = sqlite3_column_decltype(prepared, column);
    result.declaredTypes.push_back(declared == nullptr ? "" : declared);
  }
  result.integerColumns.assign(columns, true);
  result.longestValues.assign(columns, 1);
  bool keep = storage == RowStorage::kResultStore && columns > 0;
  std::string table;
  sqlite3_stmt* inserter = nullptr;
  sqlite3_stmt* reader = nullptr;
  bool copied = !keep || beginKeptRows(session, columns, table, inserter, reader);
  int status = SQLITE_DONE;
  while (copied && (status = sqlite3_step(prepared)) == SQLITE_ROW) {
    ResultRow row;
    for (int column = 0; column < columns; ++column) {
      int type = sqlite3_column_type(prepared, column);
      if (keep) {
        sqlite3_bind_value(inserter, column + 1, sqlite3_column_value(prepared, column));
      } else {
        row.push_back(valueText(prepared, column, type));
      }
      if (type == SQLITE_NULL) {
        continue;
      }
      if (type != SQLITE_INTEGER) {
        result.integerColumns[column] = false;
      }
      size_t bytes = static_cast<size_t>(sqlite3_column_bytes(prepared, column));
      result.longestValues[column] = std::max(result.longestValues[column], bytes);
    }
    if (keep) {
      copied = sqlite3_step(inserter) == SQLITE_DONE;
      sqlite3_reset(inserter);
    } else {
      result.rows.push_back(std::move(row));
    }
    ++result.rowCount;
  }
  bool ran = copied && status == SQLITE_DONE;
  if (!copied) {
    failure.error = session.resultStore != nullptr
                        ? engineError(session.resultStore)
                        : EngineError{"HY001", 0, "Cannot open the result store"};
  } else if (!ran) {
    noteStatementError(session, failure);
  }
  result.rowsAffected = columns == 0 ? sqlite3_changes(db) : -1;
  sqlite3_finalize(prepared);
  sqlite3_finalize(inserter);
  if (keep) {
    return finishKeptRows(session.resultStore, table, reader, ran, result, failure.error);
  }
  return ran;
}

bool switchHits(long switchCall, long call) {
  return switchCall == 0 || (switchCall > 0 && switchCall == call);
}

// The call that a statement of this kind counts as, if any.
std::optional<SwitchedCall> switchedCallOf(StatementKind kind) {
  switch (kind) {
    case StatementKind::kSelect:
      return SwitchedCall::kSelect;
    case StatementKind::kUpdate:
      return SwitchedCall::kUpdate;
    case StatementKind::kDelete:
      return SwitchedCall::kDelete;
    case StatementKind::kCommit:
      return SwitchedCall::kCommit;
    default:
      return std::nullopt;
  }
}

// CURRENT_TIMESTAMP for the next statement: the 'clock' switch when set,
// else the local clock, both at datetime precision.
bool refreshCurrentTimestamp(EngineSession& session, EngineError& error) {
  sqlite3_stmt* prepared = nullptr;
  std::string clock;
  if (sqlite3_prepare_v2(session.db, "SELECT Value FROM StandinControl WHERE Name = 'clock'", -1,
                         &prepared, nullptr) == SQLITE_OK &&
      sqlite3_step(prepared) == SQLITE_ROW && sqlite3_column_text(prepared, 0) != nullptr) {
    clock = reinterpret_cast<const char*>(sqlite3_column_text(prepared, 0));
  }
  sqlite3_finalize(prepared);
  Datetime now = localNow();
  if (!clock.empty() && !parseDatetime(clock, now)) {
    error = {"HY000", 0, "Malformed StandinControl value for clock: '" + clock + "'"};
    return false;
  }
  session.currentTimestamp = formatDatetime(roundToDatetimePrecision(now));
  return true;
}

bool readSetOptions(const TranslatedStatement& statement, std::vector<SessionOption>& options,
                    EngineError& error) {
  std::string message;
  int nativeError = readSetStatement(statement.text, options, message);
  if (nativeError != 0) {
    error = {"42000", nativeError, message};
    return false;
  }
  return true;
}

bool readTransactionControl(const TranslatedStatement& statement, EngineError& error) {
  std::string message;
  int nativeError = readTransactionStatement(statement.text, message);
  if (nativeError != 0) {
    error = {"42000", nativeError, message};
    return false;
  }
  return true;
}

bool isTransactionControl(StatementKind kind) {
  return kind == StatementKind::kBegin || kind == StatementKind::kCommit ||
         kind == StatementKind::kRollback;
}

bool isDataChange(StatementKind kind) {
  return kind == StatementKind::kInsert || kind == StatementKind::kUpdate ||
         kind == StatementKind::kDelete;
}

// Runs a SET statement: NOCOUNT and XACT_ABORT change later answers, the
// other options are taken as the stand-in already behaves. Transactions
// begin with BEGIN TRANSACTION only: no IMPLICIT_TRANSACTIONS.
bool runSetStatement(EngineSession& session, const TranslatedStatement& statement,
                     EngineError& error) {
  std::vector<SessionOption> options;
  if (!readSetOptions(statement, options, error)) {
    return false;
  }
  for (const SessionOption& option : options) {
    if (option.name == "IMPLICIT_TRANSACTIONS" && option.value == "ON") {
      error = {"HYC00", 0, "The stand-in commits every statement: no IMPLICIT_TRANSACTIONS"};
      return false;
    }
  }
  for (const SessionOption& option : options) {
    if (option.name == "NOCOUNT") {
      session.noCount = option.value == "ON";
    } else if (option.name == "XACT_ABORT") {
      session.xactAbort = option.value == "ON";
    }
  }
  return true;
}

bool execute(sqlite3* db, const std::string& sql, EngineError& error) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = engineError(db);
    return false;
  }
  return true;
}

// A commit that wrote: counted in StandinStatistics within the transaction
// that commits, so that a commit that fails or rolls back counts nothing,
// and paid for with the switch's wait, as SQL Server waits for its log.
bool chargeWritingCommit(EngineSession& session, EngineError& error) {
  std::string count = std::string("INSERT INTO main.StandinStatistics (Name, Value) VALUES ('") +
                      kCommitsThatWrote +
                      "', 1) ON CONFLICT (Name) DO UPDATE SET Value = ifnull(Value, 0) + 1";
  if (!execute(session.db, count, error)) {
    return false;
  }
  long cost = session.switches.commitCostMilliseconds;
  if (cost > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(cost));
  }
  return true;
}

// An INSERT, UPDATE or DELETE outside a transaction commits on its own: in
// a SQLite transaction of its own, so that its change, its count of a
// writing commit and its commit are one.
bool runAutoCommitted(EngineSession& session, const TranslatedStatement& statement,
                      RowStorage storage, ResultSet& result, StatementFailure& failure) {
  if (!execute(session.db, "BEGIN", failure.error)) {
    return false;
  }
  if (!runStatement(session, statement, storage, result, failure) ||
      (result.rowsAffected > 0 && !chargeWritingCommit(session, failure.error)) ||
      !execute(session.db, "COMMIT", failure.error)) {
    sqlite3_exec(session.db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  return true;
}

bool beginTransaction(EngineSession& session, StatementOutcome& outcome, EngineError& error) {
  if (session.tranCount == 0) {
    if (!execute(session.db, "BEGIN", error)) {
      return false;
    }
    session.transactionWrote = false;
    outcome.transaction = TransactionChange::kBegan;
    outcome.transactionNumber = ++session.transactionNumber;
  }
  ++session.tranCount;
  return true;
}

// COMMIT: an inner one only counts down; the outermost commits, and pays
// when the transaction wrote. The count goes in a savepoint, so that a
// COMMIT that fails (another connection reads the file) takes it back and
// leaves the transaction as it was.
bool commitTransaction(EngineSession& session, StatementOutcome& outcome, EngineError& error) {
  if (session.tranCount == 0) {
    error = {"25000", 3902,
             "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."};
    return false;
  }
  if (session.tranCount > 1) {
    --session.tranCount;
    return true;
  }
  bool wrote = session.transactionWrote;
  if (wrote && !execute(session.db, "SAVEPOINT standin_commit", error)) {
    return false;
  }
  if ((wrote && !chargeWritingCommit(session, error)) || !execute(session.db, "COMMIT", error)) {
    if (wrote) {
      sqlite3_exec(session.db, "ROLLBACK TO standin_commit; RELEASE standin_commit", nullptr,
                   nullptr, nullptr);
    }
    return false;
  }
  session.tranCount = 0;
  outcome.transaction = TransactionChange::kCommitted;
  outcome.transactionNumber = session.transactionNumber;
  return true;
}

// Rolls back the open transaction, if any, whatever its depth; returns
// whether there was one.
bool rollBackTransaction(EngineSession& session) {
  if (session.tranCount == 0) {
    return false;
  }
  // SQLite ends the transaction even when ROLLBACK reports a failure.
  sqlite3_exec(session.db, "ROLLBACK", nullptr, nullptr, nullptr);
  session.tranCount = 0;
  return true;
}

void noteRollback(const EngineSession& session, StatementOutcome& outcome) {
  outcome.transaction = TransactionChange::kRolledBack;
  outcome.transactionNumber = session.transactionNumber;
}

bool rollbackStatement(EngineSession& session, StatementOutcome& outcome, EngineError& error) {
  if (!rollBackTransaction(session)) {
    error = {"25000", 3903,
             "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION."};
    return false;
  }
  noteRollback(session, outcome);
  return true;
}

bool runTransactionControl(EngineSession& session, const TranslatedStatement& statement,
                           StatementOutcome& outcome, StatementFailure& failure) {
  failure.compiled = readTransactionControl(statement, failure.error);
  if (!failure.compiled) {
    return false;
  }
  switch (statement.kind) {
    case StatementKind::kBegin:
      return beginTransaction(session, outcome, failure.error);
    case StatementKind::kCommit:
      return commitTransaction(session, outcome, failure.error);
    default:
      return rollbackStatement(session, outcome, failure.error);
  }
}

// PRINT: its expression's text as an informational message.
bool runPrint(EngineSession& session, const TranslatedStatement& statement,
              StatementOutcome& outcome, StatementFailure& failure) {
  ResultSet text;
  if (!runStatement(session, statement, RowStorage::kMemory, text, failure)) {
    return false;
  }
  std::string message;
  if (!text.rows.empty() && !text.rows[0].empty() && text.rows[0][0]) {
    message = *text.rows[0][0];
  }
  outcome.info = EngineError{"01000", 0, message};
  return true;
}

// Whether the statement's IF conditions hold.
bool conditionHolds(EngineSession& session, const TranslatedStatement& statement, bool& holds,
                    StatementFailure& failure) {
  ResultSet answer;
  if (!runStatement(session, {statement.condition, StatementKind::kSelect, {}}, RowStorage::kMemory,
                    answer, failure)) {
    return false;
  }
  holds = !answer.rows.empty() && answer.rows[0][0] == std::optional<std::string>("1");
  return true;
}

// SQL Server compiles a batch before it runs any of it, so a statement that
// does not compile fails the whole batch and nothing of it runs. Names of
// tables are resolved as each statement runs: a table that an earlier
// statement may create is no failure yet.
bool compileBatch(EngineSession& session, const std::vector<TranslatedStatement>& batch,
                  EngineError& error) {
  std::vector<std::string> texts;
  for (const TranslatedStatement& statement : batch) {
    std::vector<SessionOption> options;
    if (statement.kind == StatementKind::kSet && !readSetOptions(statement, options, error)) {
      return false;
    }
    if (isTransactionControl(statement.kind) && !readTransactionControl(statement, error)) {
      return false;
    }
    if (!statement.condition.empty()) {
      texts.push_back(statement.condition);
    }
    if (statement.kind != StatementKind::kSet && !isTransactionControl(statement.kind)) {
      texts.push_back(statement.text);
    }
  }
  for (const std::string& text : texts) {
    sqlite3_stmt* prepared = nullptr;
    int status = sqlite3_prepare_v2(session.db, text.c_str(), -1, &prepared, nullptr);
    sqlite3_finalize(prepared);
    if (status != SQLITE_OK) {
      EngineError failure = engineError(session.db);
      if (failure.nativeError != 208) {
        error = failure;
        return false;
      }
    }
  }
  return true;
}

// How far a failure reaches. A name that does not resolve ends the batch
// and leaves the transaction open. A deadlock victim, a ROLLBACK in a
// trigger (3609) and an error in a trigger's body roll back and end the
// batch; an error raised with RAISERROR fails its statement only, whatever
// XACT_ABORT says; any other run-time error does under XACT_ABORT ON what a
// deadlock does, else it fails its statement only.
enum class FailureScope { kStatement, kBatch, kTransaction };

FailureScope scopeOf(const EngineSession& session, const StatementFailure& failure) {
  int32_t number = failure.error.nativeError;
  if (!failure.compiled) {
    return FailureScope::kBatch;
  }
  if (number == 1205 || number == 3609 || (failure.byTrigger && !raisedWithRaiserror(number))) {
    return FailureScope::kTransaction;
  }
  if (failure.byTrigger) {
    return FailureScope::kStatement;
  }
  return session.xactAbort ? FailureScope::kTransaction : FailureScope::kStatement;
}

// Runs one statement by its kind; false with the failure when it failed.
bool runByKind(EngineSession& session, const TranslatedStatement& statement, RowStorage storage,
               StatementOutcome& outcome, StatementFailure& failure) {
  if (statement.kind == StatementKind::kSet) {
    return runSetStatement(session, statement, failure.error);
  }
  if (isTransactionControl(statement.kind)) {
    return runTransactionControl(session, statement, outcome, failure);
  }
  if (!refreshCurrentTimestamp(session, failure.error)) {
    return false;
  }
  if (statement.kind == StatementKind::kPrint) {
    return runPrint(session, statement, outcome, failure);
  }
  if (isDataChange(statement.kind) && session.tranCount == 0) {
    return runAutoCommitted(session, statement, storage, outcome.result, failure);
  }
  if (!runStatement(session, statement, storage, outcome.result, failure)) {
    return false;
  }
  if (isDataChange(statement.kind) && outcome.result.rowsAffected > 0) {
    session.transactionWrote = true;
  }
  return true;
}

void noteLostTransaction(EngineSession& session, StatementOutcome& outcome) {
  // SQLite rolls a transaction back by itself after some failures (a full
  // disk, no memory): the session then has none either.
  if (session.tranCount > 0 && sqlite3_get_autocommit(session.db) != 0) {
    session.tranCount = 0;
    noteRollback(session, outcome);
  }
}

// Records a failure as the statement's outcome, and what it does to the
// transaction; false when it ends the batch.
bool failStatement(EngineSession& session, const StatementFailure& failure,
                   StatementOutcome& outcome) {
  outcome.result = ResultSet();
  outcome.failure = failure.error;
  FailureScope scope = scopeOf(session, failure);
  if (scope == FailureScope::kTransaction && rollBackTransaction(session)) {
    noteRollback(session, outcome);
  }
  noteLostTransaction(session, outcome);
  return scope == FailureScope::kStatement;
}

// Runs one statement of a batch into its outcome; false when its failure
// ends the batch. A failure that reaches the transaction rolls it back.
bool runBatchStatement(EngineSession& session, const TranslatedStatement& statement,
                       RowStorage storage, StatementOutcome& outcome) {
  StatementFailure failure;
  if (runByKind(session, statement, storage, outcome, failure)) {
    bool uncounted = statement.kind == StatementKind::kSet ||
                     isTransactionControl(statement.kind) ||
                     statement.kind == StatementKind::kPrint;
    outcome.result.counted = !uncounted && !session.noCount;
    return true;
  }
  return failStatement(session, failure, outcome);
}

}  // namespace

bool loginToStandin(EngineSession& session, const std::string& databasePath,
                    const std::string& user, const std::string& password, EngineError& error) {
  bool created = !fileExists(databasePath);
  int status = sqlite3_open_v2(databasePath.c_str(), &session.db,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (status == SQLITE_OK) {
    sqlite3_busy_timeout(session.db, 5000);
    // SQL Server commits a statement with one write of its log; SQLite's
    // several syncs per commit would outweigh all the client does and hide
    // it from the bench. A stand-in need not outlive a power loss, and its
    // journal still rolls back a process that dies. The journal is kept
    // between commits rather than created and deleted for each one.
    status = sqlite3_exec(session.db, "PRAGMA synchronous = OFF; PRAGMA journal_mode = PERSIST",
                          nullptr, nullptr, nullptr);
  }
  if (status == SQLITE_OK) {
    status = created ? sqlite3_exec(session.db, kStandinSchemaSql, nullptr, nullptr, nullptr)
                     : SQLITE_OK;
  }
  if (status == SQLITE_OK) {
    status = sqlite3_exec(session.db, kStandinStatisticsSql, nullptr, nullptr, nullptr);
  }
  if (status == SQLITE_OK) {
    status = registerStandinFunctions(session.db, &session.currentTimestamp);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_create_function_v2(session.db, "standin_trancount", 0, SQLITE_UTF8,
                                        &session.tranCount, tranCountFunction, nullptr, nullptr,
                                        nullptr);
  }
  if (status != SQLITE_OK) {
    error = {"08001", 4060,
             "Cannot open database \"" + databasePath + "\" requested by the login. " +
                 (session.db ? sqlite3_errmsg(session.db) : "Out of memory.")};
    closeStandinSession(session);
    return false;
  }
  if (!readSwitches(session, error) || !armUpdateTrigger(session, error)) {
    closeStandinSession(session);
    return false;
  }
  if (!loginAccepted(session.db, user, password)) {
    error = {"28000", 18456, "Login failed for user '" + user + "'."};
    closeStandinSession(session);
    return false;
  }
  session.databasePath = databasePath;
  std::fill(std::begin(session.calls), std::end(session.calls), 0);
  session.noCount = false;
  session.xactAbort = false;
  session.tranCount = 0;
  session.transactionWrote = false;
  return true;
}

void closeStandinSession(EngineSession& session) {
  if (session.db != nullptr) {
    rollBackTransaction(session);
    sqlite3_close_v2(session.db);
    session.db = nullptr;
  }
  session.tranCount = 0;
  if (session.resultStore != nullptr) {
    sqlite3_close_v2(session.resultStore);
    session.resultStore = nullptr;
  }
}

void rollBackForLostLink(EngineSession& session) {
  rollBackTransaction(session);
}

SwitchHit countSwitchedCall(EngineSession& session, SwitchedCall call) {
  int index = static_cast<int>(call);
  long number = ++session.calls[index];
  const StandinSwitches& switches = session.switches;
  SwitchHit hit;
  hit.stall = switchHits(switches.stall[index], number);
  if (switchHits(switches.fail[index].callNumber, number)) {
    hit.fault = &switches.fail[index];
  }
  if (switchHits(switches.loseLinkAfter[index].callNumber, number)) {
    hit.lostAfter = &switches.loseLinkAfter[index];
  }
  if (switchHits(switches.info[index].callNumber, number)) {
    hit.info = &switches.info[index].message;
  }
  return hit;
}

bool limitPageCaches(EngineSession& session, EngineError& error) {
  // 256 KiB each hold what a pass touches between two fetches (the key's
  // index path, the rows it marks) many times over. The result store keeps
  // to the same.
  if (sqlite3_exec(session.db,
                   "PRAGMA temp_store = FILE; PRAGMA temp.cache_size = -256; "
                   "PRAGMA main.cache_size = -256",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = {"08001", 0, std::string("Cannot set the page caches: ") + sqlite3_errmsg(session.db)};
    return false;
  }
  // A new temp_store drops the session's temporary trigger with the rest.
  return armUpdateTrigger(session, error);
}

namespace {

// A lost link ends the batch and the session with it.
void loseLink(EngineSession& session, const InjectedFault* fault, BatchRun& run) {
  rollBackForLostLink(session);
  run.end = BatchEnd::kLinkLost;
  run.lostLink = fault;
}

// Whether the statement runs: true without IF; a condition that fails is
// the statement's outcome.
bool guardPasses(EngineSession& session, const TranslatedStatement& statement, BatchRun& run) {
  if (statement.condition.empty()) {
    return true;
  }
  StatementFailure failure;
  bool holds = false;
  if (!refreshCurrentTimestamp(session, failure.error) ||
      !conditionHolds(session, statement, holds, failure)) {
    if (!failStatement(session, failure, run.outcomes.emplace_back())) {
      run.end = BatchEnd::kAborted;
    }
    return false;
  }
  return holds;
}

}  // namespace

void runBatch(EngineSession& session, const std::vector<TranslatedStatement>& batch,
              RowStorage storage, const StallWait& stallWait, BatchRun& run) {
  run = BatchRun();
  EngineError error;
  if (batch.size() > 1 && !compileBatch(session, batch, error)) {
    run.outcomes.emplace_back().failure = error;
    run.end = BatchEnd::kAborted;
    return;
  }
  for (const TranslatedStatement& statement : batch) {
    if (!guardPasses(session, statement, run)) {
      if (run.end != BatchEnd::kCompleted) {
        return;
      }
      continue;
    }
    std::optional<SwitchedCall> call = switchedCallOf(statement.kind);
    SwitchHit hit = call ? countSwitchedCall(session, *call) : SwitchHit();
    if (hit.stall && stallWait()) {
      // A client's cancel under XACT_ABORT ON rolls its transaction back.
      if (session.xactAbort) {
        rollBackTransaction(session);
      }
      run.end = BatchEnd::kStalled;
      return;
    }
    if (hit.fault != nullptr && hit.fault->losesLink()) {
      loseLink(session, hit.fault, run);
      return;
    }
    StatementOutcome& outcome = run.outcomes.emplace_back();
    if (hit.info != nullptr) {
      outcome.info = *hit.info;
    }
    bool goesOn;
    if (hit.fault != nullptr) {
      StatementFailure injected;
      injected.error = {hit.fault->sqlstate, hit.fault->nativeError, "Injected failure"};
      outcome.injected = true;
      goesOn = failStatement(session, injected, outcome);
    } else {
      goesOn = runBatchStatement(session, statement, storage, outcome);
    }
    if (hit.lostAfter != nullptr) {
      run.outcomes.pop_back();  // it ran, but its answer never goes out
      loseLink(session, hit.lostAfter, run);
      return;
    }
    if (!goesOn) {
      run.end = BatchEnd::kAborted;
      return;
    }
  }
}

ColumnShape describeColumn(const ResultSet& result, size_t column) {
  std::string declared = result.declaredTypes[column];
  for (char& c : declared) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  size_t longest = result.longestValues[column];
  bool integer = declared.find("INT") != std::string::npos ||
                 (declared.empty() && result.rowCount > 0 && result.integerColumns[column]);
  if (integer) {
    return {longest > 10 ? ColumnKind::kBigInteger : ColumnKind::kInteger, longest};
  }
  if (declared.find("REAL") != std::string::npos || declared.find("FLOA") != std::string::npos ||
      declared.find("DOUB") != std::string::npos) {
    return {ColumnKind::kReal, longest};
  }
  return {ColumnKind::kText, longest};
}

bool readResultRow(const ResultSet& result, long index, ResultRow& row, EngineError& error) {
  if (!result.keptRows) {
    row = result.rows[index];
    return true;
  }
  // Reset at once: a statement left running would hold back the commit of
  // the session's next change until it ends.
  sqlite3_stmt* reader = result.keptRows->reader;
  sqlite3_bind_int64(reader, 1, index + 1);
  int status = sqlite3_step(reader);
  if (status == SQLITE_ROW) {
    row.clear();
    for (int column = 0; column < sqlite3_column_count(reader); ++column) {
      row.push_back(valueText(reader, column, sqlite3_column_type(reader, column)));
    }
  } else {
    error = status == SQLITE_DONE ? EngineError{"HY000", 0, "The result lost a row"}
                                  : engineError(result.keptRows->db);
  }
  sqlite3_reset(reader);
  return status == SQLITE_ROW;
}
