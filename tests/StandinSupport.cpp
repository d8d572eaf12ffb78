#include "StandinSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>

#include "../standin/engine/StandinSchema.h"
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
      {"trigger error third under XACT_ABORT",
       {{"trigger.update", "000003,50000,42000"}},
       "SET XACT_ABORT ON",
       all,
       0,
       "11000"},
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
