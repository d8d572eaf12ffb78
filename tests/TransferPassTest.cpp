// Whole transfer passes: the real program, run as a process in a scratch
// installation, through the unixODBC driver manager, once with the stand-in
// driver and once with FreeTDS against the stand-in's TDS server, and so
// again for the Windows program under Wine. All must give the same console
// output (with CR LF from Windows), files, exit status and table state.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "DriverPathSupport.h"
#include "PassSupport.h"
#include "ProgramSupport.h"

namespace {

using namespace test;

class TransferPassTest : public ProgramPathTest {};
INSTANTIATE_TEST_SUITE_P(, TransferPassTest, kEveryProgramAndDriverPath, programPathName);

TEST_P(TransferPassTest, WorkedExampleInEchoMode) {
  Installation site(GetParam());
  site.addBooking(kWorkedExample);
  auto result = site.run({"Vantoreum.ini", "/D"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, console("Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
                                "ID: 000123, Buchung vom 20150601 074500  uebergeben\n"
                                "\nAnzahl uebergebener Buchungen : 1"));
  EXPECT_EQ(site.log(), kStartEntry +
                            "\xDC"
                            "bergabe vom 01.06.2015 08:00:00\r\n\r\n"
                            "000123,20150601,074500,T1,01,, 1, dta\r\n"
                            "\r\nAnzahl \xFC"
                            "bergebener Buchungen : 1\r\n" +
                            kEndEntry);
  EXPECT_EQ(test::readFile(site.transferPath),
            "000123,10,20150601,074500,1,T1,01,,,,,,204,,12,dta,\n");
  auto rows = site.database.query("SELECT BewUkz, BewUdt, BewEra FROM Kvl321Bew");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "4");
  EXPECT_EQ(rows[0][1].substr(0, 19), "2015-06-01 08:00:00");
  EXPECT_EQ(rows[0][2], "201") << "the table keeps the booking's own code";
}

TEST_P(TransferPassTest, ZeroRowsStillCreatesTheFileAndLogsTheCount) {
  Installation site(GetParam());
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(test::fileExists(site.transferPath));
  EXPECT_EQ(test::readFile(site.transferPath), "");
  EXPECT_EQ(site.log(), kStartEntry +
                            "\xDC"
                            "bergabe vom 01.06.2015 08:00:00\r\n\r\n"
                            "\r\nAnzahl \xFC"
                            "bergebener Buchungen : 0\r\n" +
                            kEndEntry);
}

// Argument 2 names the target directory unless it is the echo switch; the
// switch counts in any position and letter case.
TEST_P(TransferPassTest, ArgumentsChooseTargetAndEcho) {
  struct Case {
    std::vector<std::string> args;
    std::string transferFile;  // relative to the working directory
    bool echo;
  };
  const Case cases[] = {
      {{"Vantoreum.ini"}, "BEWDATA.dat", false},
      {{"Vantoreum.ini", "/d"}, "BEWDATA.dat", true},
      {{"Vantoreum.ini", "out", "/D"}, "out/BEWDATA.dat", true},
      {{"Vantoreum.ini", "out"}, "out/BEWDATA.dat", false},
      {{"Vantoreum.ini", "/D", "out"}, "BEWDATA.dat", true},
      {{"Vantoreum.ini", "out/"}, "out//BEWDATA.dat", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    Installation site(GetParam());
    test::makeDirs(site.work + "/out");
    site.addBooking(booking("000001", "50P", "1"));
    auto result = site.run(c.args);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(test::readFile(site.work + "/" + c.transferFile),
              transferLine("000001", "50P", "100"));
    EXPECT_EQ(result.out.find("ID: 000001") != std::string::npos, c.echo);
    EXPECT_EQ(result.out.empty(), !c.echo);
  }
}

// Where names ignore case (Windows) the target directory is upper-cased, and
// may be written with backslashes; Linux keeps it as given. Wine finds a
// name's exact case first, so with both "out" and "OUT" present the file
// shows which name the program used.
TEST_P(TransferPassTest, TargetDirectoryIsUpperCasedWhereNamesIgnoreCase) {
  struct Case {
    std::string directory;     // argument 2
    std::string transferFile;  // where the line must land, from the working directory
    bool windowsOnly;
  };
  const Case cases[] = {
      {"out", windows() ? "OUT/BEWDATA.dat" : "out/BEWDATA.dat", false},
      {"sub\\out", "sub/OUT/BEWDATA.dat", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    if (c.windowsOnly && !windows()) {
      continue;  // a backslash is part of a name on Linux
    }
    Installation site(GetParam());
    for (const char* directory : {"out", "OUT", "sub/out", "sub/OUT"}) {
      test::makeDirs(site.work + "/" + directory);
    }
    site.addBooking(booking("000001", "50P", "1"));
    auto result = site.run({"Vantoreum.ini", c.directory});
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(test::readFile(site.work + "/" + c.transferFile),
              transferLine("000001", "50P", "100"));
    for (const char* other : {"out", "OUT", "sub/out", "sub/OUT"}) {
      std::string file = std::string(other) + "/BEWDATA.dat";
      EXPECT_EQ(test::fileExists(site.work + "/" + file), file == c.transferFile) << file;
    }
  }
}

TEST_P(TransferPassTest, RefusedConnectionEndsWithMinusOne) {
  struct Case {
    const char* what;
    std::string user, password, dataSourceName;
    std::string refusal;  // how each path reports a refused login
  };
  const std::string refusedByServer = driverPath() == DriverPath::kFreeTds
                                          ? "SQLSTATE 42000, native error 18456"
                                          : "SQLSTATE 28000, native error 18456";
  const Case cases[] = {
      {"wrong password", kUser, "geheim-1", "ZEIT", refusedByServer},
      {"unknown login", "nobody", kPassword, "ZEIT", refusedByServer},
      {"unknown data source", kUser, kPassword, "NOWHERE", "SQLSTATE IM002"},
      // An over-long name is not used: the driver manager is asked for none.
      {"data source name too long", kUser, kPassword, std::string(42, 'Z'),
       "cannot connect to data source '' as user 'zeit': SQLSTATE IM002"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation site(GetParam());
    site.writeSettings(c.user, c.password, c.dataSourceName);
    site.addBooking(kWorkedExample);
    auto result = site.run({"Vantoreum.ini", "/D"});
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, console("Datenbankverbindung fehlgeschlagen, Fehler: -1\n"));
    EXPECT_EQ(site.log(), kStartEntry + "Verbinden mit Datenbank fehlgeschlagen\r\n");
    EXPECT_FALSE(test::fileExists(site.transferPath));
    EXPECT_EQ(result.out.find(c.password), std::string::npos);
    EXPECT_NE(result.err.find(c.refusal), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(c.password), std::string::npos);
    // The data source's server and port, from its registration: unixODBC's
    // files on Linux, the registry on Windows.
    if (driverPath() == DriverPath::kFreeTds && c.dataSourceName == "ZEIT") {
      std::string odbcIni = test::readFile(site.driverPath.environment().at("ODBCINI"));
      std::string port = odbcIni.substr(odbcIni.find("Port = ") + 7);
      EXPECT_NE(result.err.find("cannot connect to data source 'ZEIT' (server 127.0.0.1, port " +
                                port.substr(0, port.find('\n')) + ") as user"),
                std::string::npos)
          << result.err;
    }
    // On Windows the line is an error in the event log too, without the
    // password as well.
    if (windows()) {
      expectEventsOfStandardError(result, {"err"});
    }
  }
}

TEST_P(TransferPassTest, TransferFileThatCannotBeCreatedEndsWith90) {
  Installation site(GetParam());
  site.addBooking(kWorkedExample);
  for (const char* echo : {"", "/D"}) {
    SCOPED_TRACE(echo);
    std::remove(site.logPath.c_str());
    std::vector<std::string> args = {"Vantoreum.ini", "missing"};
    if (*echo) {
      args.push_back(echo);
    }
    auto result = site.run(args);
    EXPECT_EQ(result.exitStatus, 90);
    std::string expectedOut = *echo ? "Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
                                      "Zieldatei auf Server kann nicht erzeugt werden\n"
                                    : "";
    EXPECT_EQ(result.out, console(expectedOut));
    EXPECT_EQ(site.log(), kStartEntry +
                              "\xDC"
                              "bergabe vom 01.06.2015 08:00:00\r\n\r\n"
                              "Zieldatei auf Server kann nicht erzeugt werden\r\n\r\n");
    EXPECT_EQ(site.marks()[0][1], "NULL");
  }
}

// Every read booking is marked, exported or not; a filtered one leaves no
// trace but its mark.
TEST_P(TransferPassTest, FilteredBookingsAreMarkedToo) {
  Installation site(GetParam());
  site.addBooking(booking("000001", "DTA", "300"));
  site.addBooking(booking("000002", "62P", "7"));
  site.addBooking(booking("000003", "62P", "3"));
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(test::readFile(site.transferPath), transferLine("000002", "62P", "7"));
  EXPECT_EQ(site.marks(), (std::vector<std::vector<std::string>>{
                              {"000001", "4"}, {"000002", "4"}, {"000003", "4"}}));
  EXPECT_NE(site.log().find("Buchungen : 1\r\n"), std::string::npos);
}

TEST_P(TransferPassTest, PurgeRemovesOnlyMarkedBookingsOlderThanThreeMonths) {
  Installation site(GetParam());
  // Markings fail in this pass, so the unmarked old booking stays unmarked.
  site.database.setControl("fail.update", "0,1205,40001");
  auto add = [&](const std::string& idn, const std::string& mark, const std::string& dat) {
    auto columns = booking(idn, "50P", "1");
    if (!mark.empty()) {
      columns["BewUkz"] = mark;
    }
    columns["BewDat"] = dat;
    site.addBooking(columns);
  };
  // The server clock reads 2015-06-01 08:00:00: the limit is 2015-03-01 08:00:00.
  add("old-marked", "4", "2015-03-01 07:59:59");
  add("limit-marked", "4", "2015-03-01 08:00:00");
  add("recent-marked", "4", "2015-05-31 00:00:00");
  add("old-unmarked", "", "2014-01-01 00:00:00");
  add("old-other-mark", "3", "2014-01-01 00:00:00");
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  auto left = site.database.query("SELECT BewIDN FROM Kvl321Bew ORDER BY rowid");
  EXPECT_EQ(left, (std::vector<std::vector<std::string>>{
                      {"limit-marked"}, {"recent-marked"}, {"old-unmarked"}, {"old-other-mark"}}));
}

TEST_P(TransferPassTest, QuoteInIdStaysInsideItsLiteral) {
  Installation site(GetParam());
  site.addBooking(booking("x' OR '1'='1", "50P", "1"));
  auto other = booking("000009", "50P", "1");
  other["BewUkz"] = "4";
  other["BewUdt"] = "2000-01-01 00:00:00";
  site.addBooking(other);
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(test::readFile(site.transferPath), transferLine("x' OR '1'='1", "50P", "100"));
  auto rows = site.database.query("SELECT BewUkz, BewUdt FROM Kvl321Bew ORDER BY rowid");
  EXPECT_EQ(rows[0][0], "4");
  EXPECT_EQ(rows[1][1], "2000-01-01 00:00:00");
}

// A booking whose key columns are NULL is marked, so the next pass does not
// export it again.
TEST_P(TransferPassTest, NullKeyColumnsAreMarkedOnce) {
  Installation site(GetParam());
  site.addBooking({{"BewTID", "T9"}, {"BewEra", "1"}});
  auto first = site.run({"Vantoreum.ini", "/D"});
  EXPECT_EQ(first.exitStatus, 1);
  EXPECT_EQ(first.out.find("Fehler"), std::string::npos) << first.out;
  EXPECT_EQ(test::readFile(site.transferPath), ",,,,,T9,,,,,,,204,,,,\n");
  EXPECT_EQ(site.marks()[0][1], "4");
  auto second = site.run({"Vantoreum.ini"});
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(test::readFile(site.transferPath), ",,,,,T9,,,,,,,204,,,,\n");
}

// A marking that fails, or changes no row (SQL_NO_DATA from one driver, a
// count of 0 from the other), is shown with echo only; the journal keeps
// the booking, and the next pass marks it without writing it again.
TEST_P(TransferPassTest, FailedMarkingIsEchoedAndDoneByTheNextPass) {
  struct Case {
    const char* arm;     // SQL run straight on the database before the first pass
    const char* disarm;  // and after it
    std::string echo;
  };
  const char kClearSwitches[] = "DELETE FROM StandinControl WHERE Name <> 'clock'";
  const Case cases[] = {
      {"INSERT INTO StandinControl VALUES ('fail.update', '1,1205,40001')", kClearSwitches,
       "\nFehler 'SQL_MarkTranfer: 1205\n"},
      {"INSERT INTO StandinControl VALUES ('fail.update', '1,0,HY000')", kClearSwitches,
       "\nFehler 'SQL_MarkTranfer: -1\n"},
      {"INSERT INTO StandinControl VALUES ('busy', '1')", kClearSwitches,
       "\nFehler 'SQL_MarkTranfer: -1\n"},
      {"CREATE TRIGGER KeepUnmarked BEFORE UPDATE ON Kvl321Bew BEGIN SELECT RAISE(IGNORE); END",
       "DROP TRIGGER KeepUnmarked", "\nFehler 'SQL_MarkTranfer: 100\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arm);
    Installation site(GetParam());
    site.addBooking(kWorkedExample);
    site.database.execute(c.arm);
    auto first = site.run({"Vantoreum.ini", "/D"});
    EXPECT_EQ(first.exitStatus, 1);
    EXPECT_EQ(first.out, console("Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
                                 "ID: 000123, Buchung vom 20150601 074500  uebergeben\n" +
                                 c.echo + "\nAnzahl uebergebener Buchungen : 1"));
    EXPECT_EQ(site.marks()[0][1], "NULL");
    EXPECT_NE(first.err.find("the journal keeps it"), std::string::npos) << first.err;
    // On Windows each line of standard error is a warning in the event log.
    if (windows()) {
      expectEventsOfStandardError(first, std::vector<std::string>(lines(first.err).size(), "warn"));
    }
    site.database.execute(c.disarm);
    auto second = site.run({"Vantoreum.ini", "/D"});
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.out, console("Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
                                  "\nAnzahl uebergebener Buchungen : 0"));
    EXPECT_EQ(second.err,
              console("Morlund_MSSQL: marked booking ID '000123', Sto '10', Dtm '20150601000000', "
                      "Uhr '18991230074500', Lfn '1' as transferred: its line from an earlier pass "
                      "is in the transfer file BEWDATA.dat\n"));
    // A notice is an information event.
    if (windows()) {
      expectEventsOfStandardError(second, {"trace"});
    }
    EXPECT_EQ(test::readFile(site.transferPath),
              "000123,10,20150601,074500,1,T1,01,,,,,,204,,12,dta,\n");
    EXPECT_EQ(site.marks()[0][1], "4");
  }
}

// The link to the server breaks in the middle of a pass, closed (FIN) or
// reset (RST; native 10054 asks the TDS server for a reset): the pass ends
// normally and nothing is lost. A break in the middle of a marking request
// (here at its second statement) ends its transaction uncommitted and
// leaves the bookings written and not marked in the journal; the next pass
// marks them without writing them again. A break while a rowset is read
// leaves its bookings unexported: there is no link to mark them on.
TEST_P(TransferPassTest, LinkLossInTheMiddleOfAPassLosesNothing) {
  struct Case {
    const char* control;
    const char* value;
    int exportedByFirstPass;
    const char* marked;  // after the first pass: "4" marked, "NULL" not
    std::vector<std::string> fileAfterTwoPasses;
    const char* freeTdsReads;  // how FreeTDS reports the break first
  };
  const char kClosed[] = "SQLSTATE 01000, native error 20017";
  const char kReset[] = "SQLSTATE HY000, native error 0";
  const char kRequestBroken[] =
      "did not tell that each of them was marked (SQLSTATE HY000, native error 0";
  const Case cases[] = {
      {"fail.fetch", "3,10053,08S01", 0, "NULL", {"000001", "000002", "000003"}, kClosed},
      {"fail.fetch", "3,10054,08S01", 0, "NULL", {"000001", "000002", "000003"}, kReset},
      // FreeTDS reads a close and a reset inside a request alike.
      {"fail.update", "2,10053,08S01", 3, "NULL", {"000001", "000002", "000003"}, kRequestBroken},
      {"fail.update", "2,10054,08S01", 3, "NULL", {"000001", "000002", "000003"}, kRequestBroken},
      // The COMMIT went through and its answer was lost: the pass cannot
      // tell, the journal keeps the rowset, and the next pass marks it again.
      {"lose_link_after.commit", "1,10054", 3, "4", {"000001", "000002", "000003"}, kRequestBroken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.control) + " " + c.value);
    Installation site(GetParam());
    for (const char* idn : {"000001", "000002", "000003"}) {
      site.addBooking(booking(idn, "50P", "1"));
    }
    site.database.setControl(c.control, c.value);
    auto first = site.run({"Vantoreum.ini"});
    EXPECT_EQ(first.exitStatus, 1);
    EXPECT_EQ(first.out, "");
    if (driverPath() == DriverPath::kFreeTds) {
      EXPECT_NE(first.err.find(c.freeTdsReads), std::string::npos) << first.err;
    }
    EXPECT_NE(site.log().find("Buchungen : " + std::to_string(c.exportedByFirstPass) + "\r\n"),
              std::string::npos)
        << site.log();
    EXPECT_EQ(site.marks(), (std::vector<std::vector<std::string>>{
                                {"000001", c.marked}, {"000002", c.marked}, {"000003", c.marked}}));
    site.database.execute("DELETE FROM StandinControl WHERE Name <> 'clock'");
    EXPECT_EQ(site.run({"Vantoreum.ini"}).exitStatus, 1);
    std::string expected;
    for (const std::string& idn : c.fileAfterTwoPasses) {
      expected += transferLine(idn, "50P", "100");
    }
    EXPECT_EQ(test::readFile(site.transferPath), expected);
    EXPECT_EQ(site.marks(), (std::vector<std::vector<std::string>>{
                                {"000001", "4"}, {"000002", "4"}, {"000003", "4"}}));
  }
}

// Errors of the server in each phase: the pass goes on or ends as it would
// against SQL Server, and the native number reaches the driver unchanged.
TEST_P(TransferPassTest, ServerErrorsInEveryPhase) {
  struct Case {
    const char* control;
    const char* value;
    std::string logAfterStart;
    const char* nativeError;
  };
  const std::string serverTime =
      "\xDC"
      "bergabe vom 01.06.2015 08:00:00\r\n\r\n";
  const std::string line = "000123,20150601,074500,T1,01,, 1, dta\r\n";
  auto count = [](int n) {
    return "\r\nAnzahl \xFC"
           "bergebener Buchungen : " +
           std::to_string(n) + "\r\n" + kEndEntry;
  };
  const Case cases[] = {
      {"fail.select", "1,1205,40001",
       "\xDC"
       "bergabe vom \r\n\r\n" +
           line + count(1),
       "native error 1205"},
      {"fail.select", "2,208,42S02", serverTime + count(0), "native error 208"},
      {"fail.fetch", "3,1205,40001", serverTime + line + count(1), "native error 1205"},
      {"fail.delete", "1,547,23000", serverTime + line + count(1), "native error 547"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.control) + " " + c.value);
    Installation site(GetParam());
    site.addBooking(kWorkedExample);
    site.database.setControl(c.control, c.value);
    auto result = site.run({"Vantoreum.ini"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(site.log(), kStartEntry + c.logAfterStart);
    EXPECT_NE(result.err.find(c.nativeError), std::string::npos) << result.err;
  }
}

// Bookings are read 128 to a request and handed on one at a time, in
// order: a pass of one rowset less one, exactly one, and one more exports
// and marks every booking, and through the TDS server asks for two requests
// per rowset, one to read it and one to mark its bookings, beyond what a
// pass over no booking asks for (which reads once and finds no rows). A fetch error (the n-th row
// read counts as fetch n, the server time's row being the first and the closing SELECT of each
// marking request one more) ends the loop after the rows before it, or, when it took the link
// down, after the rowsets before it; a row never handed on stays unmarked.
TEST_P(TransferPassTest, RowsetsHandOnEveryBookingInOrder) {
  struct Case {
    int bookings;
    const char* fetchFault;  // fail.fetch, or nullptr
    int exported;
    int marked;                         // the first `marked` bookings in order
    const char* updateFault = nullptr;  // fail.update
  };
  const Case cases[] = {
      {127, nullptr, 127, 127},
      {128, nullptr, 128, 128},
      {129, nullptr, 129, 129},
      {3, "3,10054,08S01", 0, 0},
      {200, "152,1205,40001", 149, 149},
      {200, "152,10053,08S01", 128, 128},
      // The first rowset's request rolled back, the second one's committed:
      // the cursor reads on after either.
      {200, nullptr, 200, 200, "3,1205,40001"},
  };
  long emptyPassRequests = -1;
  if (driverPath() == DriverPath::kFreeTds) {
    Installation empty(GetParam());
    ASSERT_EQ(empty.run({"Vantoreum.ini"}).exitStatus, 1);
    emptyPassRequests = empty.driverPath.servedRequests();
    ASSERT_GT(emptyPassRequests, 0);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bookings) + " " + (c.fetchFault ? c.fetchFault : ""));
    Installation site(GetParam());
    std::string lines;
    std::vector<std::vector<std::string>> marks;
    for (int number = 1; number <= c.bookings; ++number) {
      char idn[16];
      std::snprintf(idn, sizeof idn, "%06d", number);
      site.addBooking(booking(idn, "50P", "1"));
      lines += number <= c.exported ? transferLine(idn, "50P", "100") : "";
      marks.push_back({idn, number <= c.marked ? "4" : "NULL"});
    }
    if (c.fetchFault != nullptr) {
      site.database.setControl("fail.fetch", c.fetchFault);
    }
    if (c.updateFault != nullptr) {
      site.database.setControl("fail.update", c.updateFault);
    }
    auto result = site.run({"Vantoreum.ini", "/D"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(test::readFile(site.transferPath), lines);
    EXPECT_EQ(site.marks(), marks);
    EXPECT_NE(
        result.out.find(console("\nAnzahl uebergebener Buchungen : " + std::to_string(c.exported))),
        std::string::npos);
    std::string failure =
        "reading the bookings failed after " + std::to_string(c.exported) + " bookings";
    EXPECT_EQ(result.err.find(failure) != std::string::npos, c.fetchFault != nullptr) << result.err;
    if (driverPath() == DriverPath::kFreeTds && c.fetchFault == nullptr &&
        c.updateFault == nullptr) {
      long rowsets = (c.bookings + 127) / 128;
      EXPECT_EQ(site.driverPath.servedRequests(), emptyPassRequests + 2 * rowsets);
    }
  }
}

// The transfer file can be opened but takes no data (a full disk): the
// booking whose line was lost stays unmarked and the pass stops there.
TEST_P(TransferPassTest, WriteFailureLeavesTheBookingUnmarkedAndEndsWith90) {
  MORLUND_LINUX_ONLY("a symbolic link to /dev/full stands for the full disk");
  Installation site(GetParam());
  ASSERT_EQ(symlink("/dev/full", site.transferPath.c_str()), 0);
  site.addBooking(booking("000001", "DTA", "300"));  // filtered, marked before the failure
  site.addBooking(booking("000002", "50P", "1"));
  site.addBooking(booking("000003", "50P", "1"));
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 90);
  EXPECT_EQ(result.out, console("Fehler beim Schreiben der Zieldatei, Uebergabe abgebrochen\n"));
  EXPECT_EQ(site.marks(), (std::vector<std::vector<std::string>>{
                              {"000001", "4"}, {"000002", "NULL"}, {"000003", "NULL"}}));
  EXPECT_EQ(site.log(), kStartEntry +
                            "\xDC"
                            "bergabe vom 01.06.2015 08:00:00\r\n\r\n"
                            "Fehler beim Schreiben der Zieldatei, \xDC"
                            "bergabe abgebrochen\r\n"
                            "\r\nAnzahl \xFC"
                            "bergebener Buchungen : 0\r\n" +
                            kEndEntry);
}

TEST_P(TransferPassTest, EarlierTransferFileContentIsKept) {
  Installation site(GetParam());
  test::writeFile(site.transferPath, "earlier\n");
  site.addBooking(booking("000001", "50P", "1"));
  EXPECT_EQ(site.run({"Vantoreum.ini"}).exitStatus, 1);
  EXPECT_EQ(test::readFile(site.transferPath), "earlier\n" + transferLine("000001", "50P", "100"));
}

}  // namespace

// What the next pass would send, seen beforehand: the preview's standard
// output is exactly what the pass then appends, and the preview changes
// nothing. A booking the journal holds with its line in place is left out
// (the pass marks it first); one whose line is gone is shown (the pass
// exports it again).
TEST_P(TransferPassTest, PreviewShowsExactlyWhatThePassThenAppends) {
  Installation site(GetParam());
  site.addBooking(booking("A1", "50P", "1"));
  site.addBooking(booking("A2", "DTA", "300"));
  site.addBooking(booking("A3", "62P", "7"));
  site.addBooking(booking("H1", "50P", "1"));
  site.addBooking(booking("H2", "50P", "1"));
  leaveInJournal(site, "H1", transferLine("H1", "50P", "100"), true);
  leaveInJournal(site, "H2", transferLine("H2", "50P", "100"), false);
  const std::string transferBefore = readFile(site.transferPath);
  const std::string journalBefore = readFile(journalPath(site));
  const auto rowsBefore = site.database.query("SELECT * FROM Kvl321Bew ORDER BY rowid");
  auto preview = site.runCompanion({"preview", "Vantoreum.ini", "/D"});
  EXPECT_EQ(preview.exitStatus, 0) << preview.err;
  // Exactly the lines, with their LF line ends also from Windows.
  EXPECT_EQ(preview.out, transferLine("A1", "50P", "100") + transferLine("A3", "62P", "7") +
                             transferLine("H2", "50P", "100"));
  EXPECT_NE(preview.err.find(console("Morlund_Settings: preview: 5 bookings read, 3 lines, 1 "
                                     "filtered, 1 held by the journal\n")),
            std::string::npos)
      << preview.err;
  EXPECT_EQ(readFile(site.transferPath), transferBefore);
  EXPECT_EQ(readFile(journalPath(site)), journalBefore);
  EXPECT_FALSE(fileExists(site.logPath));
  EXPECT_EQ(site.database.query("SELECT * FROM Kvl321Bew ORDER BY rowid"), rowsBefore);

  auto pass = site.run({"Vantoreum.ini", "/D"});
  EXPECT_EQ(pass.exitStatus, 1);
  EXPECT_EQ(readFile(site.transferPath), transferBefore + preview.out);
  // The console lines a pass prints, the preview prints on standard error.
  std::string echoed = preview.err.substr(0, preview.err.find("Morlund_Settings: preview:"));
  EXPECT_EQ(echoed, pass.out + console("\n"));
  EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
            (std::vector<std::vector<std::string>>{{"0"}}));

  // What ends a check ends a preview, with the check's words.
  struct Case {
    const char* what;
    const char* control;
    const char* value;
    std::string password;
    std::string err;
  };
  const Case failures[] = {
      {"wrong password", nullptr, nullptr, "Falsch-1", "FAIL  login as zeit on ZEIT"},
      {"cursor", "fail.select", "1,208,42S02", kPassword, "FAIL  booking cursor: SQLSTATE 42S02"},
      // FreeTDS reads a cursor without locks with its SELECT, so the fetch fails
      // there already; the stand-in driver fails the first fetch.
      {"fetch", "fail.fetch", "1,1205,40001", kPassword, "native error 1205"},
  };
  for (const Case& c : failures) {
    SCOPED_TRACE(c.what);
    site.writeSettings(kUser, c.password, "ZEIT");
    site.database.execute("DELETE FROM StandinControl WHERE Name LIKE 'fail.%'");
    site.addBooking(booking("B1", "50P", "1"));
    if (c.control != nullptr) {
      site.database.setControl(c.control, c.value);
    }
    auto failed = site.runCompanion({"preview", "Vantoreum.ini"});
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find(c.err), std::string::npos) << failed.err;
    EXPECT_TRUE(failed.err.rfind("FAIL  ", 0) == 0 ||
                failed.err.find(console("\nFAIL  booking cursor: ")) != std::string::npos)
        << failed.err;
  }
}

// The markings of a rowset go as one request, one transaction; whatever its
// statements meet, each booking ends as a pass marking one at a time would
// leave it: a request whose whole answer did not tell is marked again one
// by one. A marking that fails
// pass after pass never writes its booking twice: the pass after the fault
// marks it, and the file holds each booking once.
TEST_P(TransferPassTest, MarkingRequestEndsEveryBookingAsOneAtATime) {
  struct Case {
    const char* control;
    const char* value;
    int passesWithFault;
    std::vector<int> failing;  // bookings echoed as failed in each such pass
    int status;                // their echoed status
    bool standinDriverOnly;    // FreeTDS would wait for the statement timeout
  };
  const Case cases[] = {
      {nullptr, nullptr, 1, {}, 0, false},
      {"trigger.update", "000003,50000,42000", 3, {3}, 50000, false},
      {"trigger.update", "000001,50000,42000", 1, {1}, 50000, false},
      {"trigger.update", "000005,50000,42000", 1, {5}, 50000, false},
      {"trigger.update", "00000_,50000,42000", 1, {1, 2, 3, 4, 5}, 50000, false},
      // A trigger that rolled back ends the request, as does an error in a
      // trigger's body; marked one by one, the booking fails again and the
      // rest are marked.
      {"trigger.update", "000003,3609,42000", 1, {3}, 3609, false},
      {"trigger.update", "000003,547,23000", 1, {3}, 547, false},
      // A deadlock ends the request too; one by one, the booking is marked.
      {"fail.update", "3,1205,40001", 1, {}, 0, false},
      {"stall.update", "3", 1, {}, 0, true},
  };
  for (const Case& c : cases) {
    if (c.standinDriverOnly && driverPath() == DriverPath::kFreeTds) {
      continue;
    }
    SCOPED_TRACE(std::string(c.control ? c.control : "none") + " " + (c.value ? c.value : ""));
    Installation site(GetParam());
    std::string lines;
    for (int number = 1; number <= 5; ++number) {
      std::string idn = "00000" + std::to_string(number);
      site.addBooking(booking(idn, "50P", "1"));
      lines += transferLine(idn, "50P", "100");
    }
    if (c.control != nullptr) {
      site.database.setControl(c.control, c.value);
    }
    for (int pass = 1; pass <= c.passesWithFault; ++pass) {
      SCOPED_TRACE(pass);
      auto result = site.run({"Vantoreum.ini", "/D"});
      EXPECT_EQ(result.exitStatus, 1);
      std::string echo = "Uebergabe am 01.06.2015 08:00:00 gestartet\n\n";
      std::vector<std::vector<std::string>> marks;
      for (int number = 1; number <= 5; ++number) {
        std::string idn = "00000" + std::to_string(number);
        bool fails = std::find(c.failing.begin(), c.failing.end(), number) != c.failing.end();
        if (pass == 1) {
          echo += "ID: " + idn + ", Buchung vom 20150601 074500  uebergeben\n";
          echo += fails ? "\nFehler 'SQL_MarkTranfer: " + std::to_string(c.status) + "\n" : "";
        }
        marks.push_back({idn, fails ? "NULL" : "4"});
      }
      EXPECT_EQ(result.out,
                console(echo + "\nAnzahl uebergebener Buchungen : " + (pass == 1 ? "5" : "0")));
      EXPECT_EQ(site.marks(), marks);
      EXPECT_EQ(test::readFile(site.transferPath), lines);
    }
    site.database.execute("DELETE FROM StandinControl WHERE Name <> 'clock'");
    auto after = site.run({"Vantoreum.ini"});
    EXPECT_EQ(after.exitStatus, 1);
    EXPECT_EQ(test::readFile(site.transferPath), lines);
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
  }
}
