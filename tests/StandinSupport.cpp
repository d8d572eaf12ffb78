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

}  // namespace test
