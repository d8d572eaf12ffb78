// The connection, the booking cursor and the single statements, in-process,
// through the driver manager against the stand-in.

#include <gtest/gtest.h>

#include <cstdlib>

#include "StandinSupport.h"
#include "db/BookingCursor.h"
#include "db/DbConnection.h"
#include "db/MaintenanceStatements.h"
#include "db/TransferMarking.h"

namespace {

const char kUser[] = "zeit";
const char kPassword[] = "Geheim-1";

class DbLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = test::openInProcessStandin(kUser, kPassword);
    database_->setControl("clock", "2015-06-01 08:00:00.000");
  }
  void TearDown() override { BookingCursor::close(); }

  void addBooking(const std::string& idn) const {
    database_->execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewTID) VALUES ('" + idn +
        "', '10', '2015-06-01 00:00:00', '1899-12-30 07:45:00', '1', 'T1')");
  }

  std::unique_ptr<test::StandinDatabase> database_;
};

TEST_F(DbLayerTest, RefusedConnectKeepsTheDriversDiagnostic) {
  struct Case {
    std::string password, fault, state, message;
    int32_t nativeError;
  };
  const Case cases[] = {
      {"wrong", "", "28000", "Login failed for user 'zeit'.", 18456},
      {kPassword, "4060,42000,Cannot open database", "42000", "Cannot open database", 4060},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    database_->execute("DELETE FROM StandinControl WHERE Name = 'fail.connect'");
    if (!c.fault.empty()) {
      database_->setControl("fail.connect", c.fault);
    }
    EXPECT_EQ(DbConnection::connect(kUser, c.password, "ZEIT"), -1);
    EXPECT_STREQ(DbConnection::LastDiagnostic.state, c.state.c_str());
    EXPECT_EQ(DbConnection::LastDiagnostic.nativeError, c.nativeError);
    EXPECT_NE(std::string(DbConnection::LastDiagnostic.message).find(c.message), std::string::npos)
        << DbConnection::LastDiagnostic.message;
  }
  database_->execute("DELETE FROM StandinControl WHERE Name = 'fail.connect'");
  EXPECT_EQ(DbConnection::connect(kUser, kPassword, "ZEIT"), 0);
}

TEST_F(DbLayerTest, EmptyResultEndsAtTheFirstFetch) {
  ASSERT_EQ(DbConnection::connect(kUser, kPassword, "ZEIT"), 0);
  std::string serverTime = "unchanged";
  EXPECT_EQ(MaintenanceStatements::serverTime(serverTime), 0);
  EXPECT_EQ(serverTime, "01.06.2015 08:00:00");
  EXPECT_EQ(BookingCursor::open(), 0);
  EXPECT_EQ(BookingCursor::fetch(), 100);
  EXPECT_EQ(BookingCursor::close(), 0);
  EXPECT_EQ(MaintenanceStatements::purge(), 100);
}

// The cursor stays positioned while each marking runs on its own handle.
TEST_F(DbLayerTest, MarkingBetweenFetchesKeepsTheCursor) {
  addBooking("000001");
  addBooking("000002");
  addBooking("000003");
  ASSERT_EQ(DbConnection::connect(kUser, kPassword, "ZEIT"), 0);
  ASSERT_EQ(BookingCursor::open(), 0);
  std::vector<std::string> seen;
  while (BookingCursor::fetch() == 0) {
    seen.push_back(currentBookingRow.BewIDN);
    EXPECT_EQ(TransferMarking::markOne(TransferMarking::markingKeyOf(currentBookingRow)).status, 0);
  }
  EXPECT_EQ(DbConnection::StatementStatus, 100);
  EXPECT_EQ(seen, (std::vector<std::string>{"000001", "000002", "000003"}));
  EXPECT_EQ(BookingCursor::close(), 0);
  EXPECT_EQ(database_->query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz = 4")[0][0], "3");
  // A marking whose booking is gone matches nothing.
  database_->execute("DELETE FROM Kvl321Bew");
  EXPECT_EQ(TransferMarking::markOne(TransferMarking::markingKeyOf(currentBookingRow)).status, 100);
}

TEST_F(DbLayerTest, FailuresReportTheirStatusAndDiagnostic) {
  addBooking("000001");
  database_->setControl("fail.update", "0,1205,40001");
  database_->setControl("fail.delete", "0,0,HY000");
  database_->setControl("fail.fetch", "3,10054,08S01");  // the server-time fetch is the first
  ASSERT_EQ(DbConnection::connect(kUser, kPassword, "ZEIT"), 0);
  std::string serverTime;
  EXPECT_EQ(MaintenanceStatements::serverTime(serverTime), 0);
  ASSERT_EQ(BookingCursor::open(), 0);
  ASSERT_EQ(BookingCursor::fetch(), 0);
  EXPECT_EQ(TransferMarking::markOne(TransferMarking::markingKeyOf(currentBookingRow)).status,
            1205);
  EXPECT_STREQ(DbConnection::LastDiagnostic.state, "40001");
  EXPECT_EQ(BookingCursor::fetch(), -1);
  EXPECT_STREQ(DbConnection::LastDiagnostic.state, "08S01");
  EXPECT_EQ(BookingCursor::fetch(), -1) << "the cursor is gone after a failed fetch";
  EXPECT_EQ(BookingCursor::close(), -1) << "closing no cursor keeps the status";
  // The link is down now; a purge without a native error still fails.
  EXPECT_EQ(MaintenanceStatements::purge(), -1);
}

TEST_F(DbLayerTest, FailedSelectLeavesNoCursor) {
  addBooking("000001");
  database_->setControl("fail.select", "2,1222,HYT00");  // the first is the server time
  ASSERT_EQ(DbConnection::connect(kUser, kPassword, "ZEIT"), 0);
  std::string serverTime;
  EXPECT_EQ(MaintenanceStatements::serverTime(serverTime), 0);
  EXPECT_EQ(BookingCursor::open(), -1);
  EXPECT_STREQ(DbConnection::LastDiagnostic.state, "HYT00");
  EXPECT_EQ(DbConnection::LastDiagnostic.nativeError, 1222);
  EXPECT_EQ(BookingCursor::fetch(), -1);
}

// What the connection's @@TRANCOUNT reads, through the driver under test;
// -1 when it cannot be read.
long openTransactions() {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    return -1;
  }
  char text[] = "SELECT @@TRANCOUNT";
  char value[16] = "";
  SQLLEN length = 0;
  bool read = SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(text), SQL_NTS) != SQL_ERROR &&
              SQLBindCol(statement, 1, SQL_C_CHAR, value, sizeof value, &length) != SQL_ERROR &&
              SQLFetch(statement) == SQL_SUCCESS;
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return read ? std::atol(value) : -1;
}

// A request of three markings (the second finds no row) is one transaction:
// its counts decide only when its whole answer told them, else every booking
// is left to be marked one by one. What it committed stays (a trigger's
// RAISERROR lets the COMMIT come; a COMMIT whose answer was lost), and no
// transaction is left open, also after an error that ended the batch inside
// it.
TEST_F(DbLayerTest, MarkingRequestDecidesOnlyWhenItsWholeAnswerTold) {
  using TransferMarking::MarkingResult;
  const MarkingResult kMarked = MarkingResult::kMarked;
  const MarkingResult kNoRow = MarkingResult::kNoRow;
  const MarkingResult kUndecided = MarkingResult::kUndecided;
  const std::vector<MarkingResult> kAllUndecided = {kUndecided, kUndecided, kUndecided};
  const struct {
    const char* name;
    const char* control;  // a switch, or "rename" for a table that does not resolve
    const char* value;
    std::vector<MarkingResult> results;
    const char* endCause;   // part of it, empty when the request told every outcome
    const char* committed;  // the bookings marked afterwards
  } cases[] = {
      {"no fault", "", "", {kMarked, kNoRow, kMarked}, "", "000001 000003"},
      {"run-time error", "fail.update", "2,547,23000", kAllUndecided, "native error 547", ""},
      {"error in a trigger's body", "trigger.update", "000003,547,23000", kAllUndecided,
       "native error 547", ""},
      {"RAISERROR in a trigger", "trigger.update", "000003,50000,42000", kAllUndecided,
       "native error 50000", "000001"},
      {"deadlock victim", "fail.update", "3,1205,40001", kAllUndecided, "native error 1205", ""},
      {"a name that does not resolve", "rename", "", kAllUndecided, "native error 208", ""},
      {"an informational message",
       "info.update",
       "1,5701,changed context",
       {kMarked, kNoRow, kMarked},
       "",
       "000001 000003"},
      {"the link lost before the COMMIT's answer", "lose_link_after.commit", "1,10054",
       kAllUndecided, "08S01", "000001 000003"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    database_->execute("DELETE FROM Kvl321Bew");
    database_->execute("DELETE FROM StandinControl WHERE Name <> 'clock'");
    addBooking("000001");
    addBooking("000003");
    if (std::string(c.control) == "rename") {
      database_->execute("ALTER TABLE Kvl321Bew RENAME TO Kvl321Bew_away");
    } else if (c.control[0] != '\0') {
      database_->setControl(c.control, c.value);
    }
    ASSERT_EQ(DbConnection::connect(kUser, kPassword, "ZEIT"), 0);
    std::vector<MarkingKey> keys;
    for (const char* id : {"000001", "000002", "000003"}) {
      keys.push_back({id, "10", "2015-06-01 00:00:00", "1899-12-30 07:45:00", "1"});
    }
    std::string endCause;
    std::vector<TransferMarking::MarkingOutcome> outcomes =
        TransferMarking::sendRequest(keys, endCause);
    ASSERT_EQ(outcomes.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(outcomes[i].result, c.results[i]) << "booking " << i;
    }
    if (c.endCause[0] == '\0') {
      EXPECT_EQ(endCause, "");
    } else {
      EXPECT_NE(endCause.find(c.endCause), std::string::npos) << endCause;
    }
    if (std::string(c.control) == "rename") {
      EXPECT_EQ(openTransactions(), 0);
      database_->execute("ALTER TABLE Kvl321Bew_away RENAME TO Kvl321Bew");
    } else if (std::string(c.control) != "lose_link_after.commit") {
      EXPECT_EQ(openTransactions(), 0);
    }
    std::string committed;
    for (const auto& row :
         database_->query("SELECT BewIDN FROM Kvl321Bew WHERE BewUkz = 4 ORDER BY BewIDN")) {
      committed += (committed.empty() ? "" : " ") + row[0];
    }
    EXPECT_EQ(committed, c.committed);
  }
}

// The cursor's SELECT is put together from the filter it shares with the
// pre-flight count; the server must still see these exact bytes.
TEST(BookingSelectTest, SelectTextIsTheFixedStatement) {
  EXPECT_EQ(BookingCursor::selectText(),
            "SELECT  BewTID, BewLID, BewIDN, BewSto,  convert(char(19), BewDtm, 120),  "
            "convert(char(19), BewUhr, 120),  BewLfn, BewArt, BewTas, BewEra,  BewKze, BewBer, "
            "BewErq, BewKst,  BewQua, BewSrc, BewRes FROM  KVLSYSTEM.Kvl321Bew WHERE (BewUkz != 4  "
            "OR BewUkz IS NULL) ORDER  BY BewIdn, BewDtm, BewUhr, BewLfn ");
}

}  // namespace
