#include "StandinSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../standin/engine/StandinSchema.h"
#include "DriverPathSupport.h"
#include "TestSupport.h"

namespace test {

namespace {

// Binds each text as a parameter, runs the statement to its end and collects
// the rows. Any failure is reported as a test failure naming the SQL.
std::vector<std::vector<std::string>> runSql(const std::string& databasePath,
                                             const std::string& sql,
                                             const std::vector<std::string>& parameters) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(databasePath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << databasePath << ": " << sqlite3_errmsg(db);
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  const char* next = sql.c_str();
  while (*next != '\0') {
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, next, -1, &statement, &tail) != SQLITE_OK) {
      ADD_FAILURE() << "SQL failed: " << sql << ": " << sqlite3_errmsg(db);
      break;
    }
    next = tail;
    if (statement == nullptr) {
      continue;  // only blanks or a comment were left
    }
    for (size_t i = 0; i < parameters.size(); ++i) {
      sqlite3_bind_text(statement, static_cast<int>(i + 1), parameters[i].c_str(), -1,
                        SQLITE_TRANSIENT);
    }
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        const unsigned char* text = sqlite3_column_text(statement, column);
        row.push_back(text == nullptr ? "NULL"
                                      : std::string(reinterpret_cast<const char*>(text),
                                                    sqlite3_column_bytes(statement, column)));
      }
      rows.push_back(row);
    }
    if (status != SQLITE_DONE) {
      ADD_FAILURE() << "SQL failed: " << sql << ": " << sqlite3_errmsg(db);
      sqlite3_finalize(statement);
      break;
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return rows;
}

}  // namespace

StandinDatabase::StandinDatabase(const std::string& directory)
    : directory_(directory), databasePath_(directory + "/zeit.db") {
  makeDirs(directory_);
  const std::string library = buildDir() + "/libSqlServerStandin.so";
  writeFile(directory_ + "/odbcinst.ini",
            "[SqlServerStandin]\n"
            "Description = SQL Server stand-in over SQLite\n"
            "Driver = " +
                library + "\n");
  writeFile(directory_ + "/odbc.ini",
            "[ZEIT]\n"
            "Description = Time and attendance (stand-in)\n"
            "Driver = " +
                library + "\nDatabase = " + databasePath_ + "\n");
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::remove((databasePath_ + suffix).c_str());
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(databasePath_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kStandinSchemaSql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot create " << databasePath_ << ": " << sqlite3_errmsg(db);
  }
  sqlite3_close(db);
}

const std::string& StandinDatabase::databasePath() const {
  return databasePath_;
}

const std::string& StandinDatabase::iniDirectory() const {
  return directory_;
}

std::map<std::string, std::string> StandinDatabase::odbcEnvironment() const {
  return {{"ODBCSYSINI", directory_}, {"ODBCINI", directory_ + "/odbc.ini"}};
}

void StandinDatabase::execute(const std::string& sql) const {
  runSql(databasePath_, sql, {});
}

std::vector<std::vector<std::string>> StandinDatabase::query(const std::string& sql) const {
  return runSql(databasePath_, sql, {});
}

void StandinDatabase::addLogin(const std::string& login, const std::string& password) const {
  runSql(databasePath_, "INSERT OR REPLACE INTO StandinLogin (Login, Password) VALUES (?1, ?2)",
         {login, password});
}

void StandinDatabase::setControl(const std::string& name, const std::string& value) const {
  runSql(databasePath_, "INSERT OR REPLACE INTO StandinControl (Name, Value) VALUES (?1, ?2)",
         {name, value});
}

const std::string& inProcessStandinDirectory() {
  static TempDir directory;
  return directory.path();
}

std::unique_ptr<StandinDatabase> openInProcessStandin(const std::string& login,
                                                      const std::string& password) {
  auto database = std::make_unique<StandinDatabase>(inProcessStandinDirectory());
  for (const auto& [name, value] : database->odbcEnvironment()) {
    setenv(name.c_str(), value.c_str(), 1);
  }
  database->addLogin(login, password);
  return database;
}

std::string markingText(const std::string& id) {
  return "UPDATE  KVLSYSTEM.Kvl321Bew    SET  BewUkz = 4,         BewUdt = CURRENT_TIMESTAMP "
         "WHERE  BewIDN = '" +
         id +
         "'    AND  BewSto = '10'    AND  convert(char(19), BewDtm, 120) = '2015-06-01 "
         "00:00:00'    AND  convert(char(19), BewUhr, 120) = '1899-12-30 07:45:00'    AND  "
         "BewLfn = '1'";
}

const std::vector<MarkingBatchCase>& markingBatchCases() {
  const std::vector<std::string> all = {"000001", "000002", "000003", "000004", "000005"};
  const std::vector<std::string> thirdMissing = {"000001", "000002", "000099", "000004", "000005"};
  static const std::vector<MarkingBatchCase> cases = {
      {"every marking changes a row", {}, nullptr, all, 0, "11111"},
      {"the third changes none", {}, nullptr, thirdMissing, 0, "11011"},
      {"the first changes none",
       {},
       nullptr,
       {"000099", "000002", "000003", "000004", "000005"},
       0,
       "01111"},
      {"trigger error first", {{"trigger.update", "000001,50000,42000"}}, nullptr, all, 0, "01111"},
      {"trigger error third", {{"trigger.update", "000003,50000,42000"}}, nullptr, all, 0, "11011"},
      {"trigger error last", {{"trigger.update", "000005,50000,42000"}}, nullptr, all, 0, "11110"},
      {"injected error third", {{"fail.update", "3,547,23000"}}, nullptr, all, 0, "11011"},
      {"deadlock third", {{"fail.update", "3,1205,40001"}}, nullptr, all, 0, "11000"},
      {"trigger ends the transaction third",
       {{"trigger.update", "000003,3609,42000"}},
       nullptr,
       all,
       0,
       "11000"},
      // XACT_ABORT leaves an error raised with RAISERROR alone.
      {"trigger error third under XACT_ABORT",
       {{"trigger.update", "000003,50000,42000"}},
       "SET XACT_ABORT ON",
       all,
       0,
       "11011"},
      {"link reset third", {{"fail.update", "3,10054,08S01"}}, nullptr, all, 0, "11000"},
      {"link closed third", {{"fail.update", "3,10053,08S01"}}, nullptr, all, 0, "11000"},
      {"stall third", {{"stall.update", "3"}}, nullptr, all, 1, "11000"},
      {"NOCOUNT ON", {}, "SET NOCOUNT ON", all, 0, "11111"},
      {"NOCOUNT ON, the third changes none", {}, "SET NOCOUNT ON", thirdMissing, 0, "11011"},
  };
  return cases;
}

void seedMarkedBookings(const StandinDatabase& database) {
  database.execute("DELETE FROM Kvl321Bew");
  for (int number = 1; number <= 5; ++number) {
    database.execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn) VALUES ('00000" +
        std::to_string(number) + "', '10', '2015-06-01 00:00:00', '1899-12-30 07:45:00', '1')");
  }
}

std::string markedBookings(const StandinDatabase& database) {
  std::string marked;
  for (const auto& row : database.query("SELECT BewUkz FROM Kvl321Bew ORDER BY BewIDN")) {
    marked += row[0] == "4" ? "1" : "0";
  }
  return marked;
}

namespace {

std::string returnCodeName(SQLRETURN code) {
  switch (code) {
    case SQL_SUCCESS:
      return "SUCCESS";
    case SQL_SUCCESS_WITH_INFO:
      return "SUCCESS_WITH_INFO";
    case SQL_NO_DATA:
      return "NO_DATA";
    case SQL_ERROR:
      return "ERROR";
    default:
      return std::to_string(code);
  }
}

// "CODE rowcount[ SQLSTATE/native]" of the statement's current outcome. The
// record first: every other call on the handle clears it.
std::string outcomeText(SQLHSTMT statement, SQLRETURN code) {
  std::string record;
  SQLCHAR state[6] = "";
  SQLINTEGER nativeError = 0;
  SQLCHAR message[512];
  SQLSMALLINT length = 0;
  if (SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, statement, 1, state, &nativeError, message,
                                  sizeof message, &length))) {
    // Appended: g++ 12 sees a false overlap in "..." + std::string&& at -O2.
    record.append(" ").append(reinterpret_cast<char*>(state)).append("/");
    record.append(std::to_string(nativeError));
  }
  SQLLEN count = -2;
  SQLRowCount(statement, &count);
  return returnCodeName(code) + " " + std::to_string(count) + record;
}

}  // namespace

std::vector<std::string> runMarkingBatch(SQLHDBC connection, const MarkingBatchCase& c) {
  std::vector<std::string> outcomes;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement))) {
    ADD_FAILURE() << "no statement handle";
    return outcomes;
  }
  if (c.setFirst != nullptr) {
    SQLRETURN code = SQLExecDirect(statement, (SQLCHAR*)c.setFirst, SQL_NTS);
    outcomes.push_back("SET: " + outcomeText(statement, code));
    SQLFreeStmt(statement, SQL_CLOSE);
  }
  SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(c.queryTimeout),
                 0);
  std::string batch;
  for (const std::string& id : c.ids) {
    batch += markingText(id) + "\n";
  }
  SQLRETURN code = SQLExecDirect(statement, (SQLCHAR*)batch.c_str(), SQL_NTS);
  outcomes.push_back(outcomeText(statement, code));
  bool failedBefore = code == SQL_ERROR;
  for (size_t call = 0; call < c.ids.size() + 2; ++call) {
    code = SQLMoreResults(statement);
    if (code == SQL_NO_DATA) {
      outcomes.push_back("end");
      break;
    }
    outcomes.push_back(outcomeText(statement, code));
    if (code == SQL_ERROR && failedBefore) {
      break;
    }
    failedBefore = code == SQL_ERROR;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return outcomes;
}

}  // namespace test

namespace test {

InProcessConnection::InProcessConnection(const std::string& connectionString) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment_);
  SQLSetEnvAttr(environment_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                SQL_IS_INTEGER);
  SQLAllocHandle(SQL_HANDLE_DBC, environment_, &connection_);
  SQLSetConnectAttr(connection_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
  SQLRETURN code = SQLDriverConnect(connection_, nullptr, (SQLCHAR*)connectionString.c_str(),
                                    SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  connected_ = SQL_SUCCEEDED(code);
  EXPECT_TRUE(connected_) << "no connection with " << connectionString;
}

InProcessConnection::~InProcessConnection() {
  close();
}

void InProcessConnection::close() {
  if (connected_) {
    SQLDisconnect(connection_);
    connected_ = false;
  }
  if (connection_ != SQL_NULL_HDBC) {
    SQLFreeHandle(SQL_HANDLE_DBC, connection_);
    connection_ = SQL_NULL_HDBC;
  }
  if (environment_ != SQL_NULL_HENV) {
    SQLFreeHandle(SQL_HANDLE_ENV, environment_);
    environment_ = SQL_NULL_HENV;
  }
}

std::string standinConnectionString(const std::string& user, const std::string& password) {
  return "DSN=ZEIT;UID=" + user + ";PWD=" + password + ";";
}

std::string freeTdsConnectionString(int port, const std::string& user,
                                    const std::string& password) {
  return std::string("DRIVER=") + freeTdsDriver() +
         ";SERVER=127.0.0.1;PORT=" + std::to_string(port) +
         ";TDS_Version=7.4;ClientCharset=CP1252;UID=" + user + ";PWD=" + password + ";";
}

std::string describeResult(SQLHSTMT statement, SQLRETURN code) {
  SQLCHAR state[6] = "";
  SQLINTEGER nativeError = 0;
  SQLCHAR message[512];
  SQLSMALLINT length = 0;
  bool recorded = SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, statement, 1, state, &nativeError,
                                              message, sizeof message, &length));
  std::string record = std::string(reinterpret_cast<char*>(state)) + "/";
  record.append(std::to_string(nativeError));
  bool informational = recorded && std::strncmp(reinterpret_cast<char*>(state), "01", 2) == 0;
  if (code == SQL_ERROR || (recorded && !informational)) {
    return "error " + record;
  }
  SQLLEN count = -2;
  SQLRowCount(statement, &count);
  if (informational) {
    return "message " + record + " count " + std::to_string(count);
  }
  // A count tells a statement without rows. FreeTDS gives such a result
  // the columns of a server cursor open on another handle of the
  // connection, and a fetch there swallows the next result.
  SQLSMALLINT columns = 0;
  if (count < 0) {
    SQLNumResultCols(statement, &columns);
  }
  if (columns == 0) {
    return "count " + std::to_string(count);
  }
  std::vector<std::string> values;
  while (SQL_SUCCEEDED(SQLFetch(statement))) {
    char value[256] = "";
    SQLLEN indicator = 0;
    SQLGetData(statement, 1, SQL_C_CHAR, value, sizeof value, &indicator);
    values.push_back(indicator == SQL_NULL_DATA ? "NULL" : value);
  }
  if (columns == 1 && values.size() == 1) {
    return "value " + values[0];
  }
  return "rows " + std::to_string(values.size());
}

std::string withMarkings(const std::string& batch) {
  std::string text = batch;
  for (size_t at = text.find("{M"); at != std::string::npos; at = text.find("{M", at)) {
    size_t end = text.find('}', at);
    // Appended: g++ 12 sees a false overlap in "..." + std::string&& at -O2.
    std::string id = "00000";
    id.append(text, at + 2, end - at - 2);
    std::string marking = "\n";
    marking.append(markingText(id)).append("\n");
    text.replace(at, end - at + 1, marking);
    at += marking.size();
  }
  return text;
}

std::vector<std::string> runBatchResults(SQLHDBC connection, const std::string& batch,
                                         SQLULEN queryTimeout) {
  std::vector<std::string> results;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement))) {
    return {"no statement handle"};
  }
  SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(queryTimeout), 0);
  std::string sql = withMarkings(batch);
  SQLRETURN code = SQLExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS);
  results.push_back(describeResult(statement, code));
  bool failedBefore = code == SQL_ERROR;
  for (int guard = 0; guard < 40; ++guard) {
    code = SQLMoreResults(statement);
    if (code == SQL_NO_DATA) {
      break;
    }
    results.push_back(describeResult(statement, code));
    if (code == SQL_ERROR && failedBefore) {
      break;
    }
    failedBefore = code == SQL_ERROR;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return results;
}

const std::vector<TransactionCase>& transactionCases() {
  // The batch the tool sends for a rowset.
  const std::string rowset =
      "SET NOCOUNT OFF\nSET XACT_ABORT ON\nBEGIN TRANSACTION{M1}{M2}{M3}{M4}{M5}"
      "COMMIT TRANSACTION\nSELECT @@TRANCOUNT";
  const std::string plain = "BEGIN TRANSACTION{M1}{M2}{M3}{M4}{M5}COMMIT TRANSACTION";
  const std::string one = "count 1";
  const std::string missingTable = "{M1}{M2}UPDATE KVLSYSTEM.Missing SET BewUkz = 4{M3}";
  static const std::vector<TransactionCase> cases = {
      {"one transaction commits every marking, and waits the commit cost once",
       {{"commit_cost_ms", "100"}},
       {rowset},
       {one, one, one, one, one, "value 0"},
       {},
       0,
       "11111",
       1},
      {"five auto-commits are five commits, and wait the commit cost five times",
       {{"commit_cost_ms", "100"}},
       {"{M1}{M2}{M3}{M4}{M5}"},
       {one, one, one, one, one},
       {},
       0,
       "11111",
       5},
      {"an auto-commit that changes no row costs nothing",
       {},
       {"{M1}{M8}"},
       {one, "count 0"},
       {},
       0,
       "10000",
       1},
      {"a transaction that only reads costs nothing",
       {},
       {"BEGIN TRANSACTION SELECT count(*) FROM KVLSYSTEM.Kvl321Bew COMMIT SELECT @@TRANCOUNT"},
       {"value 5", "value 0"},
       {},
       0,
       "00000",
       0},
      {"a transaction whose markings change no row costs nothing",
       {},
       {"BEGIN TRANSACTION{M8}{M9}COMMIT TRANSACTION"},
       {"count 0", "count 0"},
       {},
       0,
       "00000",
       0},
      {"an inner COMMIT commits nothing",
       {},
       {"BEGIN TRAN BEGIN TRAN{M1}COMMIT TRAN SELECT @@TRANCOUNT", "COMMIT WORK"},
       {one, "value 1", "--", "count -1"},
       {},
       0,
       "10000",
       1},
      {"ROLLBACK undoes the transaction at any depth",
       {},
       {"BEGIN TRAN BEGIN TRAN{M1}ROLLBACK SELECT @@TRANCOUNT"},
       {one, "value 0"},
       {},
       0,
       "00000",
       0},
      // FreeTDS hands on nothing after a failed first statement.
      {"COMMIT and ROLLBACK without a transaction",
       {},
       {"COMMIT TRANSACTION SELECT @@TRANCOUNT ROLLBACK", "SELECT 1 ROLLBACK"},
       {"error 25000/3902", "value 0", "error 25000/3903", "--", "value 1", "error 25000/3903"},
       {"error 25000/3902", "--", "value 1", "error 25000/3903"},
       0,
       "00000",
       0},
      {"under XACT_ABORT a run-time error rolls back and ends the batch",
       {{"fail.update", "3,547,23000"}},
       {rowset, "SELECT @@TRANCOUNT"},
       {one, one, "error 23000/547", "--", "value 0"},
       {},
       0,
       "00000",
       0},
      {"without XACT_ABORT a run-time error fails its statement only",
       {{"fail.update", "3,547,23000"}},
       {plain + " SELECT @@TRANCOUNT"},
       {one, one, "error 23000/547", one, one, "value 0"},
       {},
       0,
       "11011",
       1},
      {"XACT_ABORT stays set for later batches",
       {{"fail.update", "2,547,23000"}},
       {"SET XACT_ABORT ON", "BEGIN TRANSACTION{M1}{M2}{M3}COMMIT"},
       {"count -1", "--", one, "error 23000/547"},
       {},
       0,
       "00000",
       0},
      {"RAISERROR in the trigger fails its marking and COMMIT commits the rest",
       {{"trigger.update", "000003,50000,42000"}},
       {rowset},
       {one, one, "error 42000/50000", one, one, "value 0"},
       {},
       0,
       "11011",
       1},
      {"ROLLBACK in the trigger rolls back and ends the batch",
       {{"trigger.update", "000003,3609,42000"}},
       {plain},
       {one, one, "error 42000/3609"},
       {},
       0,
       "00000",
       0},
      {"an error in the trigger's body rolls back and ends the batch",
       {{"trigger.update", "000003,547,23000"}},
       {plain},
       {one, one, "error 23000/547"},
       {},
       0,
       "00000",
       0},
      // FreeTDS reports 1205 as 42000.
      {"a deadlock victim rolls back and ends the batch without XACT_ABORT",
       {{"fail.update", "3,1205,40001"}},
       {plain + " SELECT @@TRANCOUNT"},
       {one, one, "error 40001/1205"},
       {one, one, "error 42000/1205"},
       0,
       "00000",
       0},
      {"a name that does not resolve ends the batch and leaves the transaction open",
       {},
       {"SET XACT_ABORT ON BEGIN TRANSACTION" + missingTable + "COMMIT", "SELECT @@TRANCOUNT"},
       {one, one, "error 42S02/208", "--", "value 1"},
       {},
       1,
       "00000",
       0},
      {"IF @@TRANCOUNT > 0 ROLLBACK undoes the transaction a name error left open",
       {},
       {"BEGIN TRANSACTION" + missingTable + "COMMIT", "IF @@TRANCOUNT > 0 ROLLBACK",
        "IF @@TRANCOUNT > 0 ROLLBACK SELECT @@TRANCOUNT"},
       {one, one, "error 42S02/208", "--", "count -1", "--", "value 0"},
       {},
       0,
       "00000",
       0},
      {"an unknown column fails the batch before any of it runs",
       {},
       {"BEGIN TRANSACTION{M1}UPDATE KVLSYSTEM.Kvl321Bew SET NoColumn = 4 COMMIT",
        "SELECT @@TRANCOUNT"},
       {"error 42S22/207", "--", "value 0"},
       {},
       0,
       "00000",
       0},
      // A reset reaches FreeTDS as HY000 at the statement it hit.
      {"a COMMIT whose answer was lost committed",
       {{"lose_link_after.commit", "1,10054"}},
       {rowset},
       {one, one, one, one, one, "error 08S01/10054", "error 08S01/10054"},
       {one, one, one, one, one, "error HY000/0", "error HY000/0"},
       -1,
       "11111",
       1},
      // A close reaches FreeTDS first as a warning without a count.
      {"a link lost before the COMMIT rolls back",
       {{"fail.commit", "1,10053,08S01"}},
       {rowset},
       {one, one, one, one, one, "error 08S01/10053", "error 08S01/10053"},
       {one, one, one, one, one, "message 01000/20017 count -1", "error HY000/0", "error HY000/0"},
       -1,
       "00000",
       0},
      {"a link lost in the middle rolls back",
       {{"fail.update", "3,10054,08S01"}},
       {rowset},
       {one, one, "error 08S01/10054", "error 08S01/10054"},
       {one, one, "error HY000/0", "error HY000/0"},
       -1,
       "00000",
       0},
      // FreeTDS never hears of the statements before a stall.
      {"a batch cancelled under XACT_ABORT rolls back",
       {{"stall.update", "3"}},
       {rowset, "SELECT @@TRANCOUNT"},
       {one, one, "error HYT00/0", "--", "value 0"},
       {"error HYT00/0", "--", "value 0"},
       0,
       "00000",
       0,
       1},
      {"an informational message on the COMMIT is a result of its own",
       {{"info.commit", "1,5701,Changed database context to 'zeit'."}},
       {rowset},
       {one, one, one, one, one, "message 01000/5701 count -1", "value 0"},
       {},
       0,
       "11111",
       1},
      {"an informational message on an UPDATE comes with its count",
       {{"info.update", "2,5703,Changed language setting to us_english."}},
       {rowset},
       {one, "message 01000/5703 count 1", one, one, one, "value 0"},
       {},
       0,
       "11111",
       1},
      {"PRINT is an informational message",
       {},
       {"PRINT 'rowset ' + 'one'{M1}"},
       {"message 01000/0 count -1", one},
       {},
       0,
       "10000",
       1},
  };
  return cases;
}

void prepareTransactionCase(const StandinDatabase& database, const TransactionCase& c) {
  database.execute("DELETE FROM StandinControl; UPDATE StandinStatistics SET Value = 0");
  for (const auto& [name, value] : c.switches) {
    database.setControl(name, value);
  }
  seedMarkedBookings(database);
}

std::vector<std::string> runTransactionCase(SQLHDBC connection, const TransactionCase& c,
                                            long& tranCount) {
  std::vector<std::string> outcomes;
  for (const std::string& batch : c.batches) {
    if (!outcomes.empty()) {
      outcomes.push_back("--");
    }
    for (const std::string& result : runBatchResults(connection, batch, c.queryTimeout)) {
      outcomes.push_back(result);
    }
  }
  tranCount = -1;
  if (c.tranCount >= 0) {
    std::vector<std::string> asked = runBatchResults(connection, "SELECT @@TRANCOUNT");
    if (asked.size() == 1 && asked[0].rfind("value ", 0) == 0) {
      tranCount = std::atol(asked[0].c_str() + 6);
    }
  }
  return outcomes;
}

long commitsThatWrote(const StandinDatabase& database) {
  auto rows =
      database.query("SELECT Value FROM StandinStatistics WHERE Name = 'commits_that_wrote'");
  return rows.size() == 1 ? std::atol(rows[0][0].c_str()) : -1;
}

const std::vector<std::string> kCursorAcrossTransactions = {
    "fetch 000001 000002", "batch count 1, count 1, value 0",
    "fetch 000003 000004", "batch count 1, count 1, value 0",
    "fetch 000005",        "fetch end",
    "batch count 1",       "batch value 0",
    "fetch 000003 000004", "fetch end",
};

namespace {

// The booking cursor as the tool opens it: rowsets of two, BewIDN bound.
struct BookingCursor {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  char ids[2][16] = {};
  SQLLEN indicators[2] = {};
  SQLULEN fetched = 0;

  explicit BookingCursor(SQLHDBC connection) {
    SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement);
    SQLSetStmtAttr(statement, SQL_ATTR_CURSOR_SCROLLABLE, (SQLPOINTER)SQL_NONSCROLLABLE,
                   SQL_IS_INTEGER);
    SQLSetStmtAttr(statement, SQL_ATTR_CONCURRENCY, (SQLPOINTER)SQL_CONCUR_LOCK, SQL_IS_INTEGER);
    SQLSetStmtAttr(statement, SQL_ATTR_ROW_ARRAY_SIZE, (SQLPOINTER)2, SQL_IS_INTEGER);
    SQLSetStmtAttr(statement, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
  }
  ~BookingCursor() { SQLFreeHandle(SQL_HANDLE_STMT, statement); }
  BookingCursor(const BookingCursor&) = delete;
  BookingCursor& operator=(const BookingCursor&) = delete;

  std::string open() {
    SQLFreeStmt(statement, SQL_CLOSE);
    SQLRETURN code = SQLExecDirect(statement, (SQLCHAR*)kBookingSelectText, SQL_NTS);
    SQLBindCol(statement, 3, SQL_C_CHAR, ids, sizeof ids[0], indicators);
    return SQL_SUCCEEDED(code) ? "" : describeResult(statement, code);
  }
  // "fetch ID ID", "fetch end" or the failure.
  std::string fetch() {
    std::memset(ids, 0, sizeof ids);
    SQLRETURN code = SQLFetch(statement);
    if (code == SQL_NO_DATA) {
      return "fetch end";
    }
    if (!SQL_SUCCEEDED(code)) {
      return std::string("fetch ") + describeResult(statement, code);
    }
    std::string line = "fetch";
    for (SQLULEN row = 0; row < fetched && row < 2; ++row) {
      line.append(" ").append(ids[row]);
    }
    return line;
  }
};

std::string batchLine(SQLHDBC connection, const std::string& batch) {
  std::string line = "batch";
  for (const std::string& result : runBatchResults(connection, batch)) {
    line.append(line.size() > 5 ? ", " : " ").append(result);
  }
  return line;
}

}  // namespace

namespace {

// The session's batch in a child process that exits without disconnecting.
std::string markAndDie(const std::string& connectionString, const std::string& batch) {
  pid_t child = fork();
  if (child == 0) {
    InProcessConnection connection(connectionString);
    bool marked = runBatchResults(connection.handle(), batch) ==
                  std::vector<std::string>{"count 1", "count 1"};
    _exit(marked ? 0 : 1);  // the link, or the file's locks, go with the process
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "marked, then died" : "child failed";
}

}  // namespace

std::vector<std::string> abandonTransaction(const StandinDatabase& database,
                                            const std::string& connectionString, SessionEnd end) {
  const std::string batch = "SET XACT_ABORT ON BEGIN TRANSACTION{M1}{M2}";
  std::vector<std::string> lines;
  std::unique_ptr<InProcessConnection> session;
  if (end == SessionEnd::kProcessDies) {
    lines.push_back(markAndDie(connectionString, batch));
  } else {
    session = std::make_unique<InProcessConnection>(connectionString);
    lines = runBatchResults(session->handle(), batch);
  }
  lines.push_back(std::string("others see ") + markedBookings(database));
  if (end == SessionEnd::kDisconnect) {
    session->close();
  }
  InProcessConnection other(connectionString);
  auto start = std::chrono::steady_clock::now();
  std::string marking = "others mark";
  for (const std::string& result : runBatchResults(other.handle(), "{M3}")) {
    marking.append(" ").append(result);
  }
  bool waited = std::chrono::steady_clock::now() - start > std::chrono::seconds(1);
  lines.push_back(marking + (waited ? " after a wait" : ""));
  other.close();
  session.reset();
  lines.push_back(std::string("others see ") + markedBookings(database));
  return lines;
}

std::vector<std::string> cursorAcrossTransactions(SQLHDBC connection) {
  std::vector<std::string> steps;
  BookingCursor cursor(connection);
  auto opened = [&steps](const std::string& failure) {
    if (!failure.empty()) {
      steps.push_back("open " + failure);
    }
  };
  opened(cursor.open());
  steps.push_back(cursor.fetch());
  steps.push_back(batchLine(connection,
                            "SET NOCOUNT OFF\nSET XACT_ABORT ON\nBEGIN TRANSACTION{M1}{M2}"
                            "COMMIT TRANSACTION\nSELECT @@TRANCOUNT"));
  steps.push_back(cursor.fetch());
  steps.push_back(
      batchLine(connection, "BEGIN TRANSACTION{M3}{M4}ROLLBACK TRANSACTION\nSELECT @@TRANCOUNT"));
  steps.push_back(cursor.fetch());
  steps.push_back(cursor.fetch());
  // A cursor opened while a transaction is open keeps its rows when that
  // transaction rolls back, though it sees the transaction's marking.
  steps.push_back(batchLine(connection, "BEGIN TRANSACTION{M5}"));
  opened(cursor.open());
  // A batch without results would not do: FreeTDS gives it the cursor's
  // columns too, and no rows.
  steps.push_back(batchLine(connection, "IF @@TRANCOUNT > 0 ROLLBACK\nSELECT @@TRANCOUNT"));
  steps.push_back(cursor.fetch());
  steps.push_back(cursor.fetch());
  return steps;
}

}  // namespace test

namespace test {

void expectTransactionCase(const StandinDatabase& database, const std::string& connectionString,
                           const TransactionCase& c, const std::vector<std::string>& outcomes,
                           const std::function<void()>& afterClose) {
  prepareTransactionCase(database, c);
  InProcessConnection connection(connectionString);
  ASSERT_TRUE(connection.connected());
  long tranCount = -2;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runTransactionCase(connection.handle(), c, tranCount), outcomes);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(tranCount, c.tranCount);
  connection.close();
  if (afterClose) {
    afterClose();
  }
  EXPECT_EQ(markedBookings(database), c.marked);
  EXPECT_EQ(commitsThatWrote(database), c.commitsThatWrote);
  if (c.switches.count("commit_cost_ms") == 1) {
    auto cost = std::chrono::milliseconds(std::atol(c.switches.at("commit_cost_ms").c_str()));
    EXPECT_GE(elapsed, c.commitsThatWrote * cost);
    EXPECT_LT(elapsed, (c.commitsThatWrote + 3) * cost);
  }
}

std::vector<DeadSessionCase> deadSessionCases(const std::string& linkLostError) {
  return {
      {"disconnected",
       SessionEnd::kDisconnect,
       {},
       {"count 1", "count 1", "others see 00000", "others mark count 1", "others see 00100"}},
      {"link lost",
       SessionEnd::kLinkLost,
       {{"fail.update", "2,10054,08S01"}},
       {"count 1", linkLostError, linkLostError, "others see 00000", "others mark count 1",
        "others see 00100"}},
      {"process ended",
       SessionEnd::kProcessDies,
       {},
       {"marked, then died", "others see 00000", "others mark count 1", "others see 00100"}},
  };
}

void expectDeadSessions(const StandinDatabase& database, const std::string& connectionString,
                        const std::string& linkLostError, const std::function<void()>& afterEach) {
  for (const DeadSessionCase& c : deadSessionCases(linkLostError)) {
    SCOPED_TRACE(c.what);
    database.execute("DELETE FROM StandinControl");
    for (const auto& [name, value] : c.switches) {
      database.setControl(name, value);
    }
    seedMarkedBookings(database);
    EXPECT_EQ(abandonTransaction(database, connectionString, c.end), c.lines);
    if (afterEach) {
      afterEach();
    }
  }
}

}  // namespace test
