// The SQL Server stand-in driver, exercised through the real unixODBC driver
// manager the way the export tool and isql use it.

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>

#include "StandinSupport.h"
#include "TestSupport.h"

namespace {

const char kUser[] = "Zeit";
const char kPassword[] = "Geheim";

using test::kBookingSelectText;
using test::kPurgeText;
using test::kServerTimeText;

std::string marking(const std::string& where) {
  return "UPDATE  KVLSYSTEM.Kvl321Bew    SET  BewUkz = 4,         BewUdt = CURRENT_TIMESTAMP "
         "WHERE  " +
         where;
}

struct Diagnostic {
  std::string sqlstate;
  SQLINTEGER nativeError = 0;
  std::string message;
};

Diagnostic firstDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle) {
  SQLCHAR state[6] = "";
  SQLCHAR message[1000] = "";
  SQLINTEGER nativeError = 0;
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagRec(handleType, handle, 1, state, &nativeError, message,
                                   sizeof message, &length))) {
    return {};
  }
  return {reinterpret_cast<char*>(state), nativeError, reinterpret_cast<char*>(message)};
}

// A driver-manager environment and connection, released at the end.
class OdbcSession {
 public:
  OdbcSession() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment_);
    SQLSetEnvAttr(environment_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                  SQL_IS_INTEGER);
    SQLAllocHandle(SQL_HANDLE_DBC, environment_, &connection_);
  }
  ~OdbcSession() {
    for (SQLHSTMT statement : statements_) {
      SQLFreeHandle(SQL_HANDLE_STMT, statement);
    }
    if (connected_) {
      SQLDisconnect(connection_);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, connection_);
    SQLFreeHandle(SQL_HANDLE_ENV, environment_);
  }
  SQLRETURN connect(const std::string& user, const std::string& password,
                    const std::string& dataSource = "ZEIT") {
    SQLSetConnectAttr(connection_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
    SQLRETURN code =
        SQLConnect(connection_, (SQLCHAR*)dataSource.c_str(), SQL_NTS, (SQLCHAR*)user.c_str(),
                   SQL_NTS, (SQLCHAR*)password.c_str(), SQL_NTS);
    connected_ = SQL_SUCCEEDED(code);
    return code;
  }
  SQLHDBC connection() const { return connection_; }
  // A statement handle freed with the session (nullptr when refused).
  SQLHSTMT newStatement() {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement))) {
      return SQL_NULL_HSTMT;
    }
    statements_.push_back(statement);
    return statement;
  }
  SQLRETURN execute(SQLHSTMT statement, const std::string& sql) {
    return SQLExecDirect(statement, (SQLCHAR*)sql.c_str(), SQL_NTS);
  }
  SQLRETURN execute(const std::string& sql) { return execute(newStatement(), sql); }
  // All rows of a query read with SQLGetData; NULL as std::nullopt.
  std::vector<std::vector<std::optional<std::string>>> rows(const std::string& sql) {
    SQLHSTMT statement = newStatement();
    std::vector<std::vector<std::optional<std::string>>> result;
    SQLRETURN code = execute(statement, sql);
    EXPECT_TRUE(SQL_SUCCEEDED(code))
        << sql << ": " << firstDiagnostic(SQL_HANDLE_STMT, statement).message;
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement, &columns);
    while (SQL_SUCCEEDED(SQLFetch(statement))) {
      std::vector<std::optional<std::string>> row;
      for (SQLUSMALLINT column = 1; column <= columns; ++column) {
        char buffer[512];
        SQLLEN indicator = 0;
        SQLGetData(statement, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
        row.push_back(indicator == SQL_NULL_DATA ? std::nullopt
                                                 : std::optional<std::string>(buffer));
      }
      result.push_back(row);
    }
    return result;
  }
  // The single value of a one-row, one-column query.
  std::optional<std::string> scalar(const std::string& sql) {
    auto result = rows(sql);
    if (result.size() != 1 || result[0].size() != 1) {
      ADD_FAILURE() << sql << " gave " << result.size() << " rows";
      return std::nullopt;
    }
    return result[0][0];
  }

 private:
  SQLHENV environment_ = SQL_NULL_HENV;
  SQLHDBC connection_ = SQL_NULL_HDBC;
  std::vector<SQLHSTMT> statements_;
  bool connected_ = false;
};

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override { database_ = test::openInProcessStandin(kUser, kPassword); }
  // A session logged in with the test's login.
  std::unique_ptr<OdbcSession> connected() {
    auto session = std::make_unique<OdbcSession>();
    SQLRETURN code = session->connect(kUser, kPassword);
    EXPECT_EQ(code, SQL_SUCCESS) << firstDiagnostic(SQL_HANDLE_DBC, session->connection()).message;
    return session;
  }
  void addBooking(const std::string& idn, const std::string& dtm, const std::string& uhr,
                  const std::string& lfn, const std::string& ukz = "NULL") {
    database_->execute(
        "INSERT INTO Kvl321Bew (BewTID, BewIDN, BewSto, BewDtm, BewUhr, BewLfn, "
        "BewUkz) VALUES ('T', " +
        idn + ", '10', " + dtm + ", " + uhr + ", " + lfn + ", " + ukz + ")");
  }
  std::unique_ptr<test::StandinDatabase> database_;
};

TEST_F(StandinTest, LoginIsCheckedAgainstStandinLogin) {
  struct Case {
    const char* user;
    const char* password;
    bool accepted;
  };
  const Case cases[] = {
      {"Zeit", "Geheim", true},  {"zEIT", "Geheim", true},  // logins ignore letter case
      {"Zeit", "geheim", false},                            // passwords do not
      {"Zeit", "", false},       {"Other", "Geheim", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    OdbcSession session;
    SQLRETURN code = session.connect(c.user, c.password);
    if (c.accepted) {
      EXPECT_EQ(code, SQL_SUCCESS);
      continue;
    }
    EXPECT_EQ(code, SQL_ERROR);
    Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_DBC, session.connection());
    EXPECT_EQ(diagnostic.sqlstate, "28000");
    EXPECT_EQ(diagnostic.nativeError, 18456);
    // The driver manager puts its own name before a failed connect's text.
    EXPECT_EQ(
        diagnostic.message,
        std::string("[unixODBC][Standin][SQL Server]Login failed for user '") + c.user + "'.");
  }
}

TEST_F(StandinTest, UnknownDataSourceFailsInTheDriverManager) {
  OdbcSession session;
  EXPECT_EQ(session.connect(kUser, kPassword, "NOSUCHDSN"), SQL_ERROR);
  EXPECT_EQ(firstDiagnostic(SQL_HANDLE_DBC, session.connection()).sqlstate, "IM002");
}

TEST_F(StandinTest, MissingDatabaseFileIsCreatedWithTheSchema) {
  std::remove(database_->databasePath().c_str());
  OdbcSession session;
  // A new file has no logins, so the connect is refused, but the file stays.
  EXPECT_EQ(session.connect(kUser, kPassword), SQL_ERROR);
  EXPECT_EQ(firstDiagnostic(SQL_HANDLE_DBC, session.connection()).sqlstate, "28000");
  ASSERT_TRUE(test::fileExists(database_->databasePath()));
  auto tables = database_->query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY 1");
  EXPECT_EQ(tables,
            (std::vector<std::vector<std::string>>{
                {"Kvl321Bew"}, {"StandinControl"}, {"StandinLogin"}, {"StandinStatistics"}}));
}

TEST_F(StandinTest, ConvertFollowsSqlServerStyles) {
  auto session = connected();
  struct Case {
    const char* expression;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"convert(char(19), '2015-03-01 08:05:09.123', 120)", "2015-03-01 08:05:09"},
      {"CONVERT(CHAR(19), '2015-03-01 08:05:09', 120)", "2015-03-01 08:05:09"},
      {"convert(char(11), '2015-03-01 08:05:09', 104)", "01.03.2015 "},  // padded to 11
      {"convert(char(8), '2015-03-01 08:05:09.123', 114)", "08:05:09"},  // cut to 8
      {"convert(char(12), '2015-03-01 08:05:09.123', 114)", "08:05:09:123"},
      {"convert(char(14), '2015-03-01 08:05:09.5', 114)", "08:05:09:500  "},
      {"convert(char(7), '2015-03-01 08:05:09', 120)", "2015-03"},
      {"convert(varchar(20), '2015-03-01 08:05:09', 104)", "01.03.2015"},  // no padding
      {"convert(char(19), '1899-12-30 07:45:00', 120)", "1899-12-30 07:45:00"},
      {"convert(char(5), 'ab', 120)", "ab   "},  // not a datetime: plain char(5)
      {"convert(char(19), NULL, 120)", std::nullopt},
      {"convert(char(11), NULL, 104)", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    EXPECT_EQ(session->scalar(std::string("SELECT ") + c.expression), c.expected);
  }
}

TEST_F(StandinTest, PlusConcatenatesTextAndAddsNumbers) {
  auto session = connected();
  struct Case {
    const char* expression;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"'ab' + 'cd'", "abcd"},
      {"'ab' + NULL", std::nullopt},
      {"NULL + 'ab'", std::nullopt},
      {"'a' + 'b' + 'c'", "abc"},
      {"1 + 2 * 3", "7"},
      {"10 - 2 + 3", "11"},  // left to right, not 10 - (2 + 3)
      {"2 + '3'", "5"},      // a number makes it an addition
      {"( CONVERT(char(11), '2015-06-01 08:30:00', 104) +   CONVERT(char(8), "
       "'2015-06-01 08:30:00', 114))",
       "01.06.2015 08:30:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    EXPECT_EQ(session->scalar(std::string("SELECT ") + c.expression), c.expected);
  }
}

TEST_F(StandinTest, DateaddKeepsTimeAndTakesTheLastDayOfShortMonths) {
  auto session = connected();
  struct Case {
    const char* unit;
    int amount;
    const char* date;
    const char* expected;
  };
  const Case cases[] = {
      {"month", -3, "2015-05-31 10:11:12", "2015-02-28 10:11:12.000"},
      {"MONTH", -3, "2016-05-31 10:11:12", "2016-02-29 10:11:12.000"},
      {"month", 1, "2015-01-31", "2015-02-28 00:00:00.000"},
      {"month", -12, "2015-03-15 08:00:00.250", "2014-03-15 08:00:00.250"},
      {"year", 1, "2016-02-29 23:59:59", "2017-02-28 23:59:59.000"},
      {"day", 1, "2015-12-31 23:00:00", "2016-01-01 23:00:00.000"},
      {"day", -1, "2016-03-01 00:00:00", "2016-02-29 00:00:00.000"},
      {"hour", 2, "2015-12-31 23:30:00", "2016-01-01 01:30:00.000"},
  };
  for (const Case& c : cases) {
    std::string expression =
        std::string("DATEADD(") + c.unit + ", " + std::to_string(c.amount) + ", '" + c.date + "')";
    SCOPED_TRACE(expression);
    EXPECT_EQ(session->scalar("SELECT " + expression), c.expected);
  }
  EXPECT_EQ(session->scalar("SELECT DATEADD(month, -3, NULL)"), std::nullopt);
}

TEST_F(StandinTest, CurrentTimestampFollowsTheClockSwitch) {
  database_->setControl("clock", "2015-06-01 08:30:45.125");
  auto session = connected();
  EXPECT_EQ(session->scalar(kServerTimeText), "01.06.2015 08:30:45");
  // datetime precision: thousandths in steps of .000, .003, .007
  EXPECT_EQ(session->scalar("SELECT current_timestamp"), "2015-06-01 08:30:45.127");
  database_->setControl("clock", "2016-02-29 23:59:59");
  EXPECT_EQ(session->scalar("SELECT CURRENT_TIMESTAMP"), "2016-02-29 23:59:59.000");
}

TEST_F(StandinTest, CurrentTimestampWithoutClockSwitchIsTheLocalTime) {
  auto session = connected();
  time_t before = time(nullptr);
  std::optional<std::string> now = session->scalar("SELECT CURRENT_TIMESTAMP");
  time_t after = time(nullptr);
  ASSERT_TRUE(now.has_value());
  struct tm parsed = {};
  ASSERT_NE(strptime(now->c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr) << *now;
  parsed.tm_isdst = -1;
  time_t seen = mktime(&parsed);
  EXPECT_GE(seen, before - 1);
  EXPECT_LE(seen, after + 1);
  EXPECT_EQ(now->size(), 23u) << *now;
}

TEST_F(StandinTest, TextComparesLikeTheDefaultCollation) {
  auto session = connected();
  struct Case {
    const char* condition;
    bool expected;
  };
  const Case cases[] = {
      {"'abc' = 'ABC  '", true},  // letter case and trailing blanks do not count
      {"' ' = ''", true},
      {"'abc' = ' abc'", false},  // leading blanks do
      {"'abc' = 'abd'", false},
      {"'\xC4rger' = '\xE4RGER'", true},  // Windows-1252 umlauts fold too
      {"'abc' != 'ABC'", false},
      {"'a' < 'B'", true},
      {"'2015-03-01 08:00:00' = '2015-03-01 08:00:00.000'", true},  // datetimes as datetimes
      {"'2015-03-01 08:00:00' < DATEADD(day, 0, '2015-03-01 08:00:00')", false},
      {"'2015-03-01 07:59:59.997' < DATEADD(day, 0, '2015-03-01 08:00:00')", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    EXPECT_EQ(session->scalar(std::string("SELECT CASE WHEN ") + c.condition +
                              " THEN 'yes' ELSE 'no' END"),
              c.expected ? "yes" : "no");
  }
  // Against stored values too: an empty ID matches the single blank.
  addBooking("''", "'2015-03-01 08:00:00'", "'1899-12-30 07:45:00'", "'1'");
  addBooking("'abc'", "'2015-03-01 08:00:00'", "'1899-12-30 07:45:00'", "'1'");
  EXPECT_EQ(session->scalar("SELECT count(*) FROM KVLSYSTEM.Kvl321Bew WHERE BewIDN = ' '"), "1");
  EXPECT_EQ(session->scalar("SELECT count(*) FROM kvlsystem.KVL321BEW WHERE BewIDN = 'ABC '"), "1");
}

// The booking cursor as the tool runs it: 17 columns bound before every
// fetch, all with one shared indicator.
struct BookingBuffers {
  char columns[17][256];
  SQLLEN capacities[17] = {256, 6, 51, 9, 20, 20, 4, 4, 3, 4, 2, 2, 11, 31, 6, 4, 31};
  SQLLEN sharedIndicator = 0;
  SQLRETURN fetch(SQLHSTMT statement) {
    std::memset(columns, 0, sizeof columns);
    for (SQLUSMALLINT column = 1; column <= 17; ++column) {
      SQLBindCol(statement, column, SQL_C_CHAR, columns[column - 1], capacities[column - 1],
                 &sharedIndicator);
    }
    return SQLFetch(statement);
  }
};

TEST_F(StandinTest, BookingSelectSkipsTransferredRowsAndSortsLikeSqlServer) {
  addBooking("'b1'", "'2015-03-02 00:00:00'", "'1899-12-30 08:00:00'", "'1'", "0");
  addBooking("'A2'", "'2015-03-01 00:00:00'", "'1899-12-30 09:00:00'", "'1'", "4");
  addBooking("'a1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00.000'", "'2'", "NULL");
  addBooking("'B1'", "'2015-03-01 00:00:00'", "'1899-12-30 08:00:00'", "'1'", "1");
  auto session = connected();
  SQLHSTMT cursor = session->newStatement();
  SQLSetStmtAttr(cursor, SQL_ATTR_CURSOR_SCROLLABLE, (SQLPOINTER)SQL_NONSCROLLABLE, SQL_IS_INTEGER);
  SQLSetStmtAttr(cursor, SQL_ATTR_CONCURRENCY, (SQLPOINTER)SQL_CONCUR_LOCK, SQL_IS_INTEGER);
  ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
  BookingBuffers buffers;
  std::vector<std::string> seen;
  SQLRETURN code;
  while ((code = buffers.fetch(cursor)) == SQL_SUCCESS) {
    seen.push_back(std::string(buffers.columns[2]) + "|" + buffers.columns[4] + "|" +
                   buffers.columns[5] + "|" + buffers.columns[6]);
  }
  EXPECT_EQ(code, SQL_NO_DATA);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "a1|2015-03-01 00:00:00|1899-12-30 07:45:00|2",
                      "B1|2015-03-01 00:00:00|1899-12-30 08:00:00|1",
                      "b1|2015-03-02 00:00:00|1899-12-30 08:00:00|1",
                  }));
}

TEST_F(StandinTest, CharacterBindingTruncatesAndLeavesNullBuffersAlone) {
  database_->execute("INSERT INTO Kvl321Bew (BewTID, BewLID, BewIDN, BewUkz) VALUES ('" +
                     std::string(300, 'x') + "', 'ABCDEFG', NULL, 17)");
  auto session = connected();
  SQLHSTMT statement = session->newStatement();
  ASSERT_EQ(session->execute(statement,
                             "SELECT BewTID, BewLID, BewIDN, BewUkz FROM "
                             "KVLSYSTEM.Kvl321Bew"),
            SQL_SUCCESS);
  char tid[256], lid[6], idn[51], ukz[11];
  std::strcpy(idn, "untouched");
  SQLLEN indicators[4] = {0, 0, 0, 0};
  SQLBindCol(statement, 1, SQL_C_CHAR, tid, sizeof tid, &indicators[0]);
  SQLBindCol(statement, 2, SQL_C_CHAR, lid, sizeof lid, &indicators[1]);
  SQLBindCol(statement, 3, SQL_C_CHAR, idn, sizeof idn, &indicators[2]);
  SQLBindCol(statement, 4, SQL_C_CHAR, ukz, sizeof ukz, &indicators[3]);
  EXPECT_EQ(SQLFetch(statement), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(firstDiagnostic(SQL_HANDLE_STMT, statement).sqlstate, "01004");
  EXPECT_EQ(std::string(tid), std::string(255, 'x'));
  EXPECT_EQ(indicators[0], 300);  // the full length, as ODBC reports it
  EXPECT_STREQ(lid, "ABCDE");
  EXPECT_STREQ(idn, "untouched");
  EXPECT_EQ(indicators[2], SQL_NULL_DATA);
  EXPECT_STREQ(ukz, "17");  // integers arrive as decimal text
  EXPECT_EQ(SQLFetch(statement), SQL_NO_DATA);
}

TEST_F(StandinTest, GetDataHandsOutLongValuesPiecewise) {
  database_->execute("INSERT INTO Kvl321Bew (BewTID) VALUES ('0123456789')");
  auto session = connected();
  SQLHSTMT statement = session->newStatement();
  ASSERT_EQ(session->execute(statement, "SELECT BewTID FROM KVLSYSTEM.Kvl321Bew"), SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(statement), SQL_SUCCESS);
  char part[5];
  SQLLEN indicator = 0;
  std::string whole;
  SQLRETURN code;
  while ((code = SQLGetData(statement, 1, SQL_C_CHAR, part, sizeof part, &indicator)) !=
         SQL_NO_DATA) {
    ASSERT_TRUE(SQL_SUCCEEDED(code));
    whole += part;
  }
  EXPECT_EQ(whole, "0123456789");
}

// A column's type and size follow its declared type and, without one, every
// value of the result; the values come back with the type they had.
TEST_F(StandinTest, ResultColumnsDescribeThemselvesByAllTheirValues) {
  database_->execute(
      "INSERT INTO Kvl321Bew (BewTID, BewUkz, BewLfn) VALUES ('ab', 5, '0123'), "
      "('abcdef', 12345678901, NULL), (NULL, NULL, '7')");
  auto session = connected();
  using Values = std::vector<std::optional<std::string>>;
  struct Case {
    const char* sql;
    SQLSMALLINT type;
    SQLULEN size;
    SQLLEN displaySize;
    Values values;
  };
  const Case cases[] = {
      {"SELECT BewTID FROM KVLSYSTEM.Kvl321Bew", SQL_VARCHAR, 6, 6, {"ab", "abcdef", std::nullopt}},
      {"SELECT BewLfn FROM KVLSYSTEM.Kvl321Bew", SQL_VARCHAR, 4, 4, {"0123", std::nullopt, "7"}},
      {"SELECT BewUkz FROM KVLSYSTEM.Kvl321Bew",
       SQL_BIGINT,
       19,
       20,
       {"5", "12345678901", std::nullopt}},
      {"SELECT BewUkz FROM KVLSYSTEM.Kvl321Bew WHERE BewUkz < 10", SQL_INTEGER, 10, 11, {"5"}},
      {"SELECT 12345678901 FROM KVLSYSTEM.Kvl321Bew WHERE BewUkz = 5",
       SQL_BIGINT,
       19,
       20,
       {"12345678901"}},
      {"SELECT 2.0 FROM KVLSYSTEM.Kvl321Bew WHERE BewUkz = 5", SQL_VARCHAR, 3, 3, {"2.0"}},
      {"SELECT '0123' FROM KVLSYSTEM.Kvl321Bew WHERE BewUkz = 5", SQL_VARCHAR, 4, 4, {"0123"}},
      {"SELECT 1 FROM KVLSYSTEM.Kvl321Bew WHERE BewUkz = 0", SQL_VARCHAR, 1, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    SQLHSTMT statement = session->newStatement();
    ASSERT_EQ(session->execute(statement, c.sql), SQL_SUCCESS);
    SQLCHAR name[32];
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLLEN displaySize = 0;
    EXPECT_EQ(
        SQLDescribeCol(statement, 1, name, sizeof name, nullptr, &type, &size, nullptr, nullptr),
        SQL_SUCCESS);
    SQLColAttribute(statement, 1, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr, &displaySize);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(displaySize, c.displaySize);
    Values values;
    while (SQLFetch(statement) == SQL_SUCCESS) {
      char buffer[32] = "";
      SQLLEN indicator = 0;
      SQLGetData(statement, 1, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
      values.push_back(indicator == SQL_NULL_DATA ? std::nullopt
                                                  : std::optional<std::string>(buffer));
    }
    EXPECT_EQ(values, c.values);
  }
}

TEST_F(StandinTest, MarkingWhileTheCursorIsOpenLeavesTheCursorWhereItWas) {
  database_->setControl("clock", "2015-06-01 08:30:00");
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  addBooking("'2'", "'2015-03-01 00:00:00'", "'1899-12-30 07:46:00'", "'1'");
  addBooking("'3'", "'2015-03-01 00:00:00'", "'1899-12-30 07:47:00'", "'1'");
  auto session = connected();
  SQLHSTMT cursor = session->newStatement();
  SQLSetStmtAttr(cursor, SQL_ATTR_CONCURRENCY, (SQLPOINTER)SQL_CONCUR_LOCK, SQL_IS_INTEGER);
  ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
  BookingBuffers buffers;
  std::vector<std::string> ids;
  while (buffers.fetch(cursor) == SQL_SUCCESS) {
    ids.push_back(buffers.columns[2]);
    SQLHSTMT update = session->newStatement();
    std::string sql = marking("BewIDN = '" + ids.back() + "'    AND  BewSto = '10'    AND  " +
                              "convert(char(19), BewDtm, 120) = '" + buffers.columns[4] +
                              "'    AND  convert(char(19), BewUhr, 120) = '" + buffers.columns[5] +
                              "'    AND  BewLfn = '1'");
    EXPECT_EQ(session->execute(update, sql), SQL_SUCCESS)
        << firstDiagnostic(SQL_HANDLE_STMT, update).message;
    SQLLEN count = 0;
    SQLRowCount(update, &count);
    EXPECT_EQ(count, 1);
    // A terminal can write while the cursor is open; the cursor does not see it.
    if (ids.size() == 1) {
      addBooking("'9'", "'2015-03-01 00:00:00'", "'1899-12-30 07:48:00'", "'1'");
    }
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(database_->query("SELECT BewUkz, BewUdt FROM Kvl321Bew ORDER BY BewIDN"),
            (std::vector<std::vector<std::string>>{{"4", "2015-06-01 08:30:00.000"},
                                                   {"4", "2015-06-01 08:30:00.000"},
                                                   {"4", "2015-06-01 08:30:00.000"},
                                                   {"NULL", "NULL"}}));
}

TEST_F(StandinTest, MarkingVariantsFindTheirRow) {
  struct Case {
    const char* seed;  // BewIDN, BewSto, BewDtm, BewUhr, BewLfn
    const char* where;
  };
  const Case cases[] = {
      {"'', '', '2015-03-01 00:00:00', '1899-12-30 07:45:00', ''",
       "(BewIDN = ' ' OR BewIDN IS NULL)    AND  (BewSto = '' OR BewSto IS NULL)    AND  "
       "convert(char(19), BewDtm, 120) = '2015-03-01 00:00:00'    AND  convert(char(19), BewUhr, "
       "120) = '1899-12-30 07:45:00'    AND  (BewLfn = '' OR BewLfn IS NULL)"},
      {"NULL, NULL, NULL, NULL, NULL",
       "(BewIDN = ' ' OR BewIDN IS NULL)    AND  (BewSto = '' OR BewSto IS NULL)    AND  BewDtm IS "
       "NULL    AND  BewUhr IS NULL    AND  (BewLfn = '' OR BewLfn IS NULL)"},
      {"'O''Brien', '10  ', '2015-03-01 00:00:00.000', '1899-12-30 07:45:00', '1'",
       "BewIDN = 'O''Brien'    AND  BewSto = '10'    AND  convert(char(19), BewDtm, 120) = "
       "'2015-03-01 00:00:00'    AND  convert(char(19), BewUhr, 120) = '1899-12-30 07:45:00'    "
       "AND  BewLfn = '1'"},
      // The key's index is reached through the literal's bytes up to its
      // first letter or blank; letter case and trailing blanks still count
      // for nothing after them.
      {"'12a  ', '10', '2015-03-01 00:00:00', '1899-12-30 07:45:00', '1'",
       "BewIDN = '12A'    AND  BewSto = '10 '    AND  convert(char(19), BewDtm, 120) = "
       "'2015-03-01 00:00:00'    AND  convert(char(19), BewUhr, 120) = '1899-12-30 07:45:00'    "
       "AND  BewLfn = '1'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    database_->execute("DELETE FROM Kvl321Bew");
    database_->execute(
        std::string("INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn) VALUES (") +
        c.seed + ")");
    // A decoy that must stay unmarked.
    addBooking("'other'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
    auto session = connected();
    EXPECT_EQ(session->execute(marking(c.where)), SQL_SUCCESS);
    EXPECT_EQ(database_->query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz = 4"),
              (std::vector<std::vector<std::string>>{{"1"}}));
  }
  // All of them in one batch, a line each: every one finds its own row.
  database_->execute("DELETE FROM Kvl321Bew");
  std::string batch;
  for (const Case& c : cases) {
    database_->execute(
        std::string("INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn) VALUES (") +
        c.seed + ")");
    batch += marking(c.where) + "\n";
  }
  auto session = connected();
  SQLHSTMT statement = session->newStatement();
  SQLRETURN code = session->execute(statement, batch);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    EXPECT_EQ(code, SQL_SUCCESS);
    SQLLEN count = 0;
    SQLRowCount(statement, &count);
    EXPECT_EQ(count, 1);
    code = SQLMoreResults(statement);
  }
  EXPECT_EQ(code, SQL_NO_DATA);
  EXPECT_EQ(database_->query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz = 4"),
            (std::vector<std::vector<std::string>>{{"4"}}));
}

TEST_F(StandinTest, UpdateOrDeleteHittingNothingHasNoData) {
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  auto session = connected();
  struct Case {
    const char* sql;
    SQLRETURN expected;
    SQLLEN rows;
  };
  const Case cases[] = {
      {"UPDATE KVLSYSTEM.Kvl321Bew SET BewUkz = 4 WHERE BewIDN = 'nobody'", SQL_NO_DATA, 0},
      {"DELETE FROM KVLSYSTEM.Kvl321Bew WHERE BewIDN = 'nobody'", SQL_NO_DATA, 0},
      {"UPDATE KVLSYSTEM.Kvl321Bew SET BewArt = 'X' WHERE BewIDN = '1'", SQL_SUCCESS, 1},
      {"INSERT INTO KVLSYSTEM.Kvl321Bew (BewIDN) SELECT BewIDN FROM Kvl321Bew WHERE 0", SQL_SUCCESS,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    SQLHSTMT statement = session->newStatement();
    EXPECT_EQ(session->execute(statement, c.sql), c.expected);
    SQLLEN count = -5;
    EXPECT_EQ(SQLRowCount(statement, &count), SQL_SUCCESS);
    EXPECT_EQ(count, c.rows);
  }
}

TEST_F(StandinTest, PurgeDeletesTransferredRowsOlderThanThreeMonths) {
  // Three months before 2015-05-31 12:00 is 2015-02-28 12:00.
  database_->setControl("clock", "2015-05-31 12:00:00");
  database_->execute(
      "INSERT INTO Kvl321Bew (BewIDN, BewDat, BewUkz) VALUES "
      "('old', '2015-02-28 11:59:59', 4), ('edge', '2015-02-28 12:00:00', 4), "
      "('untransferred', '2014-01-01 00:00:00', NULL), ('open', '2014-01-01 00:00:00', 0), "
      "('older', '2014-12-31 23:59:59.997', 4), ('recent', '2015-05-01 00:00:00', 4)");
  auto session = connected();
  SQLHSTMT statement = session->newStatement();
  EXPECT_EQ(session->execute(statement, kPurgeText), SQL_SUCCESS);
  SQLLEN count = 0;
  SQLRowCount(statement, &count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(
      database_->query("SELECT BewIDN FROM Kvl321Bew ORDER BY BewIDN"),
      (std::vector<std::vector<std::string>>{{"edge"}, {"open"}, {"recent"}, {"untransferred"}}));
  EXPECT_EQ(session->execute(kPurgeText), SQL_NO_DATA);
}

TEST_F(StandinTest, FailedStatementsReportStateNativeErrorAndEngineMessage) {
  database_->execute("INSERT INTO Kvl321Bew (BewTID) VALUES ('1'), ('2'), ('a')");
  auto session = connected();
  struct Case {
    const char* sql;
    const char* sqlstate;
    SQLINTEGER nativeError;
    const char* message;
  };
  const Case cases[] = {
      {"SELECT * FROM KVLSYSTEM.Missing", "42S02", 208,
       "[Standin][SQL Server]no such table: main.Missing"},
      {"SELEC BewIDN FROM Kvl321Bew", "42000", 102,
       "[Standin][SQL Server]near \"SELEC\": syntax error"},
      {"SELECT NoColumn FROM Kvl321Bew", "42S22", 207,
       "[Standin][SQL Server]no such column: NoColumn"},
      {"SELECT 'a' + 1", "22018", 245,
       "[Standin][SQL Server]Conversion failed when converting the varchar value 'a' to data "
       "type int."},
      {"SELECT DATEADD(month, 1, 'soon')", "22007", 241,
       "[Standin][SQL Server]Conversion failed when converting date and/or time from character "
       "string."},
      // Fails after rows were read.
      {"SELECT BewTID + 1 FROM KVLSYSTEM.Kvl321Bew ORDER BY BewTID", "22018", 245,
       "[Standin][SQL Server]Conversion failed when converting the varchar value 'a' to data "
       "type int."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    SQLHSTMT statement = session->newStatement();
    EXPECT_EQ(session->execute(statement, c.sql), SQL_ERROR);
    Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_STMT, statement);
    EXPECT_EQ(diagnostic.sqlstate, c.sqlstate);
    EXPECT_EQ(diagnostic.nativeError, c.nativeError);
    EXPECT_EQ(diagnostic.message, c.message);
    // The record stays for repeated reading until the next call on the handle.
    EXPECT_EQ(firstDiagnostic(SQL_HANDLE_STMT, statement).message, c.message);
    EXPECT_EQ(session->execute(statement, "SELECT 1"), SQL_SUCCESS);
    EXPECT_EQ(firstDiagnostic(SQL_HANDLE_STMT, statement).sqlstate, "");
  }
  // No failure left a transaction open that would hold back this change.
  EXPECT_EQ(session->execute("UPDATE KVLSYSTEM.Kvl321Bew SET BewUkz = 7"), SQL_SUCCESS);
  EXPECT_EQ(database_->query("SELECT DISTINCT BewUkz FROM Kvl321Bew"),
            (std::vector<std::vector<std::string>>{{"7"}}));
}

// A fault switch and the statement whose n-th run it breaks.
TEST_F(StandinTest, FaultSwitchesFailTheNthCall) {
  struct Case {
    const char* name;
    const char* value;
    const char* sql;
    int failingCall;  // 0: every call
    const char* sqlstate;
    SQLINTEGER nativeError;
  };
  const Case cases[] = {
      {"fail.select", "2,1205,40001", "SELECT BewIDN FROM KVLSYSTEM.Kvl321Bew", 2, "40001", 1205},
      {"fail.update", "0,1222,HYT00",
       "UPDATE KVLSYSTEM.Kvl321Bew SET BewUkz = 4 WHERE BewIDN = '1'", 0, "HYT00", 1222},
      {"fail.delete", "1,547,23000", "DELETE FROM KVLSYSTEM.Kvl321Bew WHERE BewIDN = 'none'", 1,
       "23000", 547},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    database_->execute("DELETE FROM StandinControl");
    database_->setControl(c.name, c.value);
    auto session = connected();
    for (int call = 1; call <= 3; ++call) {
      SQLHSTMT statement = session->newStatement();
      SQLRETURN code = session->execute(statement, c.sql);
      if (c.failingCall == 0 || c.failingCall == call) {
        EXPECT_EQ(code, SQL_ERROR) << "call " << call;
        Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_STMT, statement);
        EXPECT_EQ(diagnostic.sqlstate, c.sqlstate);
        EXPECT_EQ(diagnostic.nativeError, c.nativeError);
        EXPECT_EQ(diagnostic.message, "[Standin][SQL Server]Injected failure");
      } else {
        EXPECT_NE(code, SQL_ERROR) << "call " << call;
      }
    }
  }
}

TEST_F(StandinTest, FetchFaultFailsTheNthFetch) {
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  addBooking("'2'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  database_->setControl("fail.fetch", "2,3621,HY000");
  auto session = connected();
  SQLHSTMT cursor = session->newStatement();
  ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
  BookingBuffers buffers;
  EXPECT_EQ(buffers.fetch(cursor), SQL_SUCCESS);
  EXPECT_EQ(buffers.fetch(cursor), SQL_ERROR);
  Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_STMT, cursor);
  EXPECT_EQ(diagnostic.sqlstate, "HY000");
  EXPECT_EQ(diagnostic.nativeError, 3621);
  // Only that fetch failed: the connection works on.
  EXPECT_EQ(buffers.fetch(cursor), SQL_SUCCESS);
  EXPECT_STREQ(buffers.columns[2], "2");
  EXPECT_EQ(session->scalar("SELECT 'still here'"), "still here");
}

TEST_F(StandinTest, LinkFailureDuringFetchKillsTheConnection) {
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  addBooking("'2'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  database_->setControl("fail.fetch", "2,10054,08S01");
  auto session = connected();
  SQLHSTMT cursor = session->newStatement();
  ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
  BookingBuffers buffers;
  EXPECT_EQ(buffers.fetch(cursor), SQL_SUCCESS);
  EXPECT_EQ(buffers.fetch(cursor), SQL_ERROR);
  Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_STMT, cursor);
  EXPECT_EQ(diagnostic.sqlstate, "08S01");
  EXPECT_EQ(diagnostic.message, "[Standin][SQL Server]Communication link failure");
  EXPECT_EQ(buffers.fetch(cursor), SQL_ERROR);
  EXPECT_EQ(firstDiagnostic(SQL_HANDLE_STMT, cursor).sqlstate, "08S01");
  SQLHSTMT statement = SQL_NULL_HSTMT;
  EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, session->connection(), &statement), SQL_ERROR);
  EXPECT_EQ(firstDiagnostic(SQL_HANDLE_DBC, session->connection()).sqlstate, "08S01");
}

TEST_F(StandinTest, ConnectFaultRefusesTheConnect) {
  database_->setControl("fail.connect", "4060,42000,Cannot open database \"ZEIT\", sorry");
  OdbcSession session;
  EXPECT_EQ(session.connect(kUser, kPassword), SQL_ERROR);
  Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_DBC, session.connection());
  EXPECT_EQ(diagnostic.sqlstate, "42000");
  EXPECT_EQ(diagnostic.nativeError, 4060);
  EXPECT_EQ(diagnostic.message,
            "[unixODBC][Standin][SQL Server]Cannot open database \"ZEIT\", sorry");
}

TEST_F(StandinTest, MalformedSwitchRefusesTheConnect) {
  for (const char* name : {"fail.select", "fail.fetch", "stall.update", "busy", "latency_ms",
                           "fail.connect", "trigger.update", "fail.commit",
                           "lose_link_after.commit", "info.update", "commit_cost_ms"}) {
    SCOPED_TRACE(name);
    database_->execute("DELETE FROM StandinControl");
    database_->setControl(name, "lots");
    OdbcSession session;
    EXPECT_EQ(session.connect(kUser, kPassword), SQL_ERROR);
    Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_DBC, session.connection());
    EXPECT_EQ(diagnostic.sqlstate, "HY000");
    EXPECT_NE(diagnostic.message.find(name), std::string::npos) << diagnostic.message;
  }
}

TEST_F(StandinTest, BusySwitchRefusesASecondStatementWhileRowsArePending) {
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  const std::string update = "UPDATE KVLSYSTEM.Kvl321Bew SET BewArt = 'X' WHERE BewIDN = '1'";
  {
    // Without the switch the update passes while the cursor has rows.
    auto session = connected();
    SQLHSTMT cursor = session->newStatement();
    ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
    EXPECT_EQ(session->execute(update), SQL_SUCCESS);
  }
  database_->setControl("busy", "1");
  auto session = connected();
  SQLHSTMT cursor = session->newStatement();
  ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
  BookingBuffers buffers;
  EXPECT_EQ(buffers.fetch(cursor), SQL_SUCCESS);
  SQLHSTMT statement = session->newStatement();
  EXPECT_EQ(session->execute(statement, update), SQL_ERROR);
  Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_STMT, statement);
  EXPECT_EQ(diagnostic.sqlstate, "HY000");
  EXPECT_EQ(diagnostic.nativeError, 0);
  EXPECT_EQ(diagnostic.message,
            "[Standin][SQL Server]Connection is busy with results for another command");
  // Once the cursor has given all its rows the connection is free again.
  EXPECT_EQ(buffers.fetch(cursor), SQL_NO_DATA);
  EXPECT_EQ(session->execute(update), SQL_SUCCESS);
}

TEST_F(StandinTest, LatencySwitchSlowsEveryExecuteAndFetch) {
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  database_->setControl("latency_ms", "150");
  auto session = connected();
  SQLHSTMT cursor = session->newStatement();
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(session->execute(cursor, kBookingSelectText), SQL_SUCCESS);
  BookingBuffers buffers;
  EXPECT_EQ(buffers.fetch(cursor), SQL_SUCCESS);
  EXPECT_EQ(buffers.fetch(cursor), SQL_NO_DATA);
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  EXPECT_GE(elapsed, 450);
}

// A wait longer than the statement's query timeout answers HYT00 at once;
// without a timeout the latency is simply waited out.
TEST_F(StandinTest, QueryTimeoutEndsStallsAndLongLatencyAtOnce) {
  addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
  const std::string update = "UPDATE KVLSYSTEM.Kvl321Bew SET BewArt = 'X' WHERE BewIDN = '1'";
  struct Case {
    const char* name;
    const char* value;
    bool cursorCall;  // the switch hits the cursor's fetch, not the update
  };
  const Case cases[] = {
      {"stall.update", "2", false},
      {"stall.fetch", "1", true},
      {"latency_ms", "5000", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    database_->execute("DELETE FROM StandinControl");
    database_->setControl(c.name, c.value);
    auto session = connected();
    auto start = std::chrono::steady_clock::now();
    SQLHSTMT statement = session->newStatement();
    SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
    SQLRETURN code;
    if (c.cursorCall) {
      ASSERT_EQ(session->execute(statement, kBookingSelectText), SQL_SUCCESS);
      BookingBuffers buffers;
      code = buffers.fetch(statement);
    } else {
      if (std::string(c.name) == "stall.update") {
        EXPECT_EQ(session->execute(statement, update), SQL_SUCCESS);  // only the 2nd stalls
      }
      code = session->execute(statement, update);
    }
    EXPECT_EQ(code, SQL_ERROR);
    EXPECT_EQ(firstDiagnostic(SQL_HANDLE_STMT, statement).sqlstate, "HYT00");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  database_->execute("DELETE FROM StandinControl");
  database_->setControl("latency_ms", "200");
  auto session = connected();
  SQLHSTMT statement = session->newStatement();
  SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0);
  EXPECT_EQ(session->execute(statement, update), SQL_SUCCESS);
}

TEST_F(StandinTest, BatchGivesOneResultPerStatement) {
  auto session = connected();
  SQLHSTMT statement = session->newStatement();
  ASSERT_EQ(session->execute(statement,
                             "INSERT INTO KVLSYSTEM.Kvl321Bew (BewIDN) VALUES ('a'), ('B');\n"
                             "SELECT BewIDN FROM KVLSYSTEM.Kvl321Bew ORDER BY 1 DESC;\n"
                             "SELECT BewIDN FROM KVLSYSTEM.Kvl321Bew ORDER BY 1;"),
            SQL_SUCCESS);
  SQLLEN count = 0;
  SQLRowCount(statement, &count);
  EXPECT_EQ(count, 2);
  SQLSMALLINT columns = -1;
  SQLNumResultCols(statement, &columns);
  EXPECT_EQ(columns, 0);
  ASSERT_EQ(SQLMoreResults(statement), SQL_SUCCESS);
  char id[8];
  SQLLEN indicator = 0;
  SQLBindCol(statement, 1, SQL_C_CHAR, id, sizeof id, &indicator);
  std::vector<std::string> ids;
  while (SQLFetch(statement) == SQL_SUCCESS) {
    ids.push_back(id);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"B", "a"}));  // case-insensitive, descending
  ASSERT_EQ(SQLMoreResults(statement), SQL_SUCCESS);
  ids.clear();
  while (SQLFetch(statement) == SQL_SUCCESS) {
    ids.push_back(id);
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "B"}));
  EXPECT_EQ(SQLMoreResults(statement), SQL_NO_DATA);
}

// One outcome of a batch: "rows N" of a query, "count N" of a statement
// without rows, "error SQLSTATE/native" of a failed one.
std::string describeOutcome(SQLHSTMT statement, SQLRETURN code) {
  Diagnostic diagnostic = firstDiagnostic(SQL_HANDLE_STMT, statement);
  if ((code == SQL_ERROR || code == SQL_SUCCESS_WITH_INFO) && !diagnostic.sqlstate.empty()) {
    return "error " + diagnostic.sqlstate + "/" + std::to_string(diagnostic.nativeError);
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(statement, &columns);
  if (columns > 0) {
    int rows = 0;
    while (SQL_SUCCEEDED(SQLFetch(statement))) {
      ++rows;
    }
    return "rows " + std::to_string(rows);
  }
  SQLLEN count = -2;
  SQLRowCount(statement, &count);
  return "count " + std::to_string(count);
}

// T-SQL needs no ';' between statements: a statement keyword starts the
// next one, unless it continues the one before. A statement that does not
// compile fails the whole batch before any of it runs.
TEST_F(StandinTest, BatchesSplitWhereTSqlStartsAStatement) {
  const std::string mark1 = "UPDATE KVLSYSTEM.Kvl321Bew SET BewArt = 'x' WHERE BewIDN = '1'";
  const std::string mark2 = "UPDATE KVLSYSTEM.Kvl321Bew SET BewArt = 'x' WHERE BewIDN = '2'";
  const std::string noLogin = "INSERT INTO StandinLogin (Login) VALUES ('x')";
  struct Case {
    std::string sql;
    std::vector<std::string> outcomes;
    int changed;  // bookings with BewArt 'x' afterwards
  };
  const Case cases[] = {
      {mark1 + "\n" + mark2, {"count 1", "count 1"}, 2},
      {mark1 + ";" + mark2 + ";", {"count 1", "count 1"}, 2},
      {mark1 + " OR BewArt = 'SET UPDATE'", {"count 1"}, 1},
      {"UPDATE KVLSYSTEM.Kvl321Bew SET BewArt = (SELECT 'x') WHERE BewIDN IN (SELECT BewIDN FROM "
       "KVLSYSTEM.Kvl321Bew)",
       {"count 2"},
       2},
      {"INSERT INTO KVLSYSTEM.Kvl321Bew (BewIDN, BewArt) SELECT BewIDN, 'x' FROM "
       "KVLSYSTEM.Kvl321Bew WHERE BewIDN = '1' SELECT BewIDN FROM KVLSYSTEM.Kvl321Bew",
       {"count 1", "rows 3"},
       1},
      {"INSERT INTO KVLSYSTEM.Kvl321Bew (BewIDN, BewArt) VALUES ('3', 'x') SELECT 1",
       {"count 1", "rows 1"},
       1},
      {"SELECT BewIDN FROM KVLSYSTEM.Kvl321Bew WHERE BewIDN = '1' UNION SELECT BewIDN FROM "
       "KVLSYSTEM.Kvl321Bew UNION ALL SELECT '9' EXCEPT SELECT '2' SELECT 1",
       {"rows 2", "rows 1"},
       0},
      {"WITH ids (i) AS (SELECT BewIDN FROM KVLSYSTEM.Kvl321Bew WHERE BewIDN = '2') UPDATE "
       "KVLSYSTEM.Kvl321Bew SET BewArt = 'x' WHERE BewIDN IN (SELECT i FROM ids) SELECT 1",
       {"count 1", "rows 1"},
       1},
      {"SELECT 1 -- SELECT 2\nSELECT 3 /* SELECT 4 */", {"rows 1", "rows 1"}, 0},
      // Statements without a count give no result, as through FreeTDS.
      {"SET NOCOUNT ON " + mark1 + " SET NOCOUNT OFF " + mark2, {"count 1"}, 2},
      {mark1 + " " + noLogin + " " + mark2, {"count 1", "error 23000/515", "count 1"}, 2},
      {"SET XACT_ABORT ON " + mark1 + " " + noLogin + " " + mark2,
       {"count 1", "error 23000/515"},
       1},
      {"SET NOCOUNT ON", {"count -1"}, 0},
      {"IF 1 = 0 " + mark1 + " IF 1 = 1 IF 2 = 2 " + mark2, {"count 1"}, 1},
      {"IF (SELECT count(*) FROM KVLSYSTEM.Kvl321Bew) = 2 " + mark1, {"count 1"}, 1},
      {"IF 1 = 1", {"error 42000/102"}, 0},
      {"IF 1 = 1 BEGIN " + mark1 + " END", {"error 42000/102"}, 0},
      {"BEGIN TRAN " + mark1 + " ROLLBACK TRAN", {"count 1"}, 0},
      {"BEGIN TRANSACTION " + mark1 + " COMMIT TRANSACTION", {"count 1"}, 1},
      {"BEGIN TRAN " + mark1 + " COMMIT TRAN ROLLBACK WORK", {"count 1", "error 25000/3903"}, 1},
      {"BEGIN TRAN marking " + mark1 + " COMMIT TRAN marking", {"count 1"}, 1},
      {"BEGIN TRAN " + mark1 + " COMMIT WORK now", {"error 42000/102"}, 0},
      {"DROP TABLE IF EXISTS KVLSYSTEM.Gone " + mark1, {"count 0", "count 1"}, 1},
      {mark1 + " SELECT * FROM KVLSYSTEM.Missing " + mark2, {"count 1", "error 42S02/208"}, 1},
      {mark1 + " SELECT FROM", {"error 42000/102"}, 0},
      {mark1 + " SET NOCOUNT MAYBE", {"error 42000/102"}, 0},
      {"SET IMPLICIT_TRANSACTIONS ON", {"error HYC00/0"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    database_->execute("DELETE FROM Kvl321Bew; DELETE FROM StandinLogin WHERE Login <> 'Zeit'");
    addBooking("'1'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
    addBooking("'2'", "'2015-03-01 00:00:00'", "'1899-12-30 07:45:00'", "'1'");
    auto session = connected();
    SQLHSTMT statement = session->newStatement();
    std::vector<std::string> outcomes = {
        describeOutcome(statement, session->execute(statement, c.sql))};
    for (int guard = 0; guard < 20 && SQLMoreResults(statement) != SQL_NO_DATA; ++guard) {
      outcomes.push_back(describeOutcome(statement, SQL_SUCCESS_WITH_INFO));
    }
    EXPECT_EQ(outcomes, c.outcomes);
    EXPECT_EQ(database_->query("SELECT count(*) FROM Kvl321Bew WHERE BewArt = 'x'"),
              (std::vector<std::vector<std::string>>{{std::to_string(c.changed)}}));
  }
}

// A batch of markings through the stand-in driver, as ODBC 3 describes
// multiple results: a failed statement gives SQL_SUCCESS_WITH_INFO when the
// batch went on after it, SQL_ERROR when it ended the batch.
TEST_F(StandinTest, MarkingBatchGivesEveryStatementItsOutcome) {
  const std::string one = "SUCCESS 1";
  const std::string uncounted = "SUCCESS -1";
  const std::map<std::string, std::vector<std::string>> expected = {
      {"every marking changes a row", {one, one, one, one, one, "end"}},
      {"the third changes none", {one, one, "SUCCESS 0", one, one, "end"}},
      {"the first changes none", {"NO_DATA 0", one, one, one, one, "end"}},
      {"trigger error first", {"SUCCESS_WITH_INFO -1 42000/50000", one, one, one, one, "end"}},
      {"trigger error third", {one, one, "SUCCESS_WITH_INFO -1 42000/50000", one, one, "end"}},
      {"trigger error last", {one, one, one, one, "ERROR -1 42000/50000", "end"}},
      {"injected error third", {one, one, "SUCCESS_WITH_INFO -1 23000/547", one, one, "end"}},
      {"deadlock third", {one, one, "ERROR -1 40001/1205", "end"}},
      {"trigger ends the transaction third", {one, one, "ERROR -1 42000/3609", "end"}},
      {"trigger error third under XACT_ABORT",
       {"SET: SUCCESS -1", one, one, "SUCCESS_WITH_INFO -1 42000/50000", one, one, "end"}},
      {"link reset third", {one, one, "ERROR -1 08S01/10054", "ERROR -1 08S01/10054"}},
      {"link closed third", {one, one, "ERROR -1 08S01/10053", "ERROR -1 08S01/10053"}},
      {"stall third", {one, one, "ERROR -1 HYT00/0", "end"}},
      // No statement has a count, so none gives a result, as through
      // FreeTDS; the batch gives one without a count.
      {"NOCOUNT ON", {"SET: SUCCESS -1", uncounted, "end"}},
      {"NOCOUNT ON, the third changes none", {"SET: SUCCESS -1", uncounted, "end"}},
  };
  for (const test::MarkingBatchCase& c : test::markingBatchCases()) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(expected.count(c.what), 1u);
    database_->execute("DELETE FROM StandinControl");
    for (const auto& [name, value] : c.switches) {
      database_->setControl(name, value);
    }
    test::seedMarkedBookings(*database_);
    auto session = connected();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(test::runMarkingBatch(session->connection(), c), expected.at(c.what));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(test::markedBookings(*database_), c.marked);
  }
}

// Transactions in batches as SQL Server runs them, through the stand-in
// driver; StandinTdsServerTest runs the same cases through FreeTDS. Every
// commit that wrote counts once, and waits the commit cost when it is set.
TEST_F(StandinTest, TransactionsInBatchesAsSqlServerRunsThem) {
  for (const test::TransactionCase& c : test::transactionCases()) {
    SCOPED_TRACE(c.what);
    test::expectTransactionCase(*database_, test::standinConnectionString(kUser, kPassword), c,
                                c.outcomes);
  }
}

// A session that ends with its transaction open leaves nothing of it, and
// no lock: another connection marks at once.
TEST_F(StandinTest, TransactionOfADeadSessionIsRolledBack) {
  test::expectDeadSessions(*database_, test::standinConnectionString(kUser, kPassword),
                           "error 08S01/10054");
}

// The booking cursor reads on across the COMMIT and the ROLLBACK of
// batches on the same connection, its rows kept apart from them.
TEST_F(StandinTest, OpenCursorReadsOnAcrossCommitAndRollback) {
  test::seedMarkedBookings(*database_);
  test::InProcessConnection connection(test::standinConnectionString(kUser, kPassword));
  ASSERT_TRUE(connection.connected());
  EXPECT_EQ(test::cursorAcrossTransactions(connection.handle()), test::kCursorAcrossTransactions);
  connection.close();
  EXPECT_EQ(test::markedBookings(*database_), "11000");
}

TEST_F(StandinTest, IsqlSeedsAndReadsTheDatabase) {
  std::string input =
      "INSERT INTO KVLSYSTEM.Kvl321Bew (BewIDN, BewSto, BewDtm, BewUkz) VALUES ('000123', 'A', "
      "'2015-03-01 08:00:00', 0)\n"
      "INSERT INTO KVLSYSTEM.Kvl321Bew (BewIDN, BewSto, BewDtm, BewUkz) VALUES ('000124', 'B', "
      "'2015-03-02 09:30:00', 0)\n"
      "UPDATE KVLSYSTEM.Kvl321Bew SET BewUkz = 4 WHERE BewIDN = '000124'\n"
      "DELETE FROM KVLSYSTEM.Kvl321Bew WHERE BewIDN = 'nobody'\n"
      "SELECT BewIDN, convert(char(10), BewDtm, 104) AS Datum, BewUkz FROM KVLSYSTEM.Kvl321Bew "
      "ORDER BY BewIDN\n";
  test::ProcessResult result =
      test::runProcess({"/usr/bin/isql", "-v", "-3", "-b", "-d|", "ZEIT", kUser, kPassword},
                       database_->iniDirectory(), database_->odbcEnvironment(), input);
  ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("000123|01.03.2015|0"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("000124|02.03.2015|4"), std::string::npos) << result.out;
  EXPECT_EQ(database_->query("SELECT BewIDN, BewSto, BewDtm, BewUkz FROM Kvl321Bew ORDER BY 1"),
            (std::vector<std::vector<std::string>>{{"000123", "A", "2015-03-01 08:00:00", "0"},
                                                   {"000124", "B", "2015-03-02 09:30:00", "4"}}));
}

TEST_F(StandinTest, IsqlReportsRefusedLogin) {
  test::ProcessResult result =
      test::runProcess({"/usr/bin/isql", "-v", "-3", "-b", "ZEIT", kUser, "wrong"},
                       database_->iniDirectory(), database_->odbcEnvironment(), "SELECT 1\n");
  EXPECT_NE(result.exitStatus, 0);
  EXPECT_NE((result.out + result.err).find("[28000]"), std::string::npos) << result.out;
  EXPECT_NE((result.out + result.err).find("Login failed for user 'Zeit'."), std::string::npos);
}

TEST_F(StandinTest, StandinEnvRegistersTheDsnForIsql) {
  test::TempDir scratch;
  const std::string library = test::buildDir() + "/libSqlServerStandin.so";
  const std::string databaseFile = scratch.file("demo.db");
  test::ProcessResult script = test::runProcess(
      {test::sourceDir() + "/scripts/standin-env", scratch.file("ini"), databaseFile, library},
      scratch.path());
  ASSERT_EQ(script.exitStatus, 0) << script.err;
  EXPECT_EQ(script.out, "export ODBCSYSINI=" + scratch.file("ini") +
                            "\nexport ODBCINI=" + scratch.file("ini") + "/odbc.ini\n");
  std::map<std::string, std::string> environment = {{"ODBCSYSINI", scratch.file("ini")},
                                                    {"ODBCINI", scratch.file("ini") + "/odbc.ini"}};
  // The first connect creates the file; its login table is empty.
  test::ProcessResult refused = test::runProcess(
      {"/usr/bin/isql", "-v", "-3", "-b", "ZEIT", kUser, kPassword}, scratch.path(), environment);
  EXPECT_NE((refused.out + refused.err).find("[28000]"), std::string::npos) << refused.out;
  ASSERT_TRUE(test::fileExists(databaseFile));
  test::ProcessResult seeded = test::runProcess(
      {"/usr/bin/sqlite3", databaseFile, "INSERT INTO StandinLogin VALUES ('Zeit', 'Geheim')"},
      scratch.path());
  ASSERT_EQ(seeded.exitStatus, 0) << seeded.err;
  test::ProcessResult accepted =
      test::runProcess({"/usr/bin/isql", "-v", "-3", "-b", "-d|", "ZEIT", kUser, kPassword},
                       scratch.path(), environment, "SELECT 'x' + 'y' AS xy\n");
  EXPECT_EQ(accepted.exitStatus, 0) << accepted.out << accepted.err;
  EXPECT_NE(("\n" + accepted.out).find("\nxy\n"), std::string::npos) << accepted.out;
}

}  // namespace
