// What only FreeTDS does: its conversion of the bookings' code page, and
// isql, against the stand-in's TDS server.

#include <gtest/gtest.h>

#include <sstream>

#include "DriverPathSupport.h"
#include "InstallationSupport.h"
#include "StandinSupport.h"

namespace {

const char kUser[] = "zeit";
const char kPassword[] = "Geheim-1";

// An installation whose DSN ZEIT is FreeTDS against a fresh server.
struct FreeTdsInstallation : test::SiteLayout {
  test::StandinDatabase database{root.path()};
  test::TdsServerProcess server{database.databasePath()};
  std::map<std::string, std::string> environment;

  explicit FreeTdsInstallation(const std::string& clientCharset = "CP1252",
                               const std::string& tdsVersion = "7.4") {
    database.addLogin(kUser, kPassword);
    database.setControl("clock", "2015-06-01 08:00:00.000");
    test::writeSettingsFile(settingsPath, kUser, kPassword, "ZEIT");
    environment = test::registerFreeTdsDataSource(root.file("freetds"), server.port(),
                                                  clientCharset, tdsVersion);
  }
};

// Bookings carry Windows-1252 text. With ClientCharset = CP1252 every byte,
// 0x80-0x9F included, reaches the file unchanged and the marking finds the
// booking again. Without it FreeTDS hands the tool ISO-8859-1, which has no
// characters at 0x80-0x9F (the euro sign among them): those arrive as '?',
// and the marking, comparing the '?', finds no row.
TEST(FreeTdsPassTest, BookingTextsNeedClientCharsetCp1252) {
  struct Case {
    const char* clientCharset;
    std::string fileIdn;
    const char* mark;
  };
  const std::string storedIdn = "E\x80\x8A\x9F\xE4";
  const Case cases[] = {
      {"CP1252", storedIdn, "4"},
      {"", "E???\xE4", "NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clientCharset);
    FreeTdsInstallation site(c.clientCharset);
    site.database.execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewTID, BewLID, BewSrc, "
        "BewEra) VALUES ('" +
        storedIdn +
        "', '10', '2015-06-01 00:00:00', '1899-12-30 07:45:00', '1', 'T\x80', '01', '50P', "
        "'1')");
    auto result = test::runExport(site, {"Vantoreum.ini"}, site.environment);
    EXPECT_EQ(result.exitStatus, 1);
    std::string tid = std::string(c.clientCharset).empty() ? "T?" : "T\x80";
    EXPECT_EQ(test::readFile(site.transferPath),
              c.fileIdn + ",10,20150601,074500,1," + tid + ",01,,,,,,100,,,50P,\n");
    auto marks = site.database.query("SELECT BewUkz FROM Kvl321Bew");
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0][0], c.mark);
  }
}

// 7.1 lays out user types, row counts and line numbers narrower than 7.2
// and later; the server follows the version of the login. 7.0 is refused.
TEST(FreeTdsPassTest, PassRunsAtEveryTdsVersionFrom71) {
  struct Case {
    const char* tdsVersion;
    int exitStatus;
    const char* mark;
  };
  const Case cases[] = {
      {"7.1", 1, "4"}, {"7.2", 1, "4"}, {"7.3", 1, "4"}, {"7.4", 1, "4"}, {"7.0", 255, "NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tdsVersion);
    FreeTdsInstallation site("CP1252", c.tdsVersion);
    site.database.execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewSrc, BewEra) VALUES "
        "('000123', '10', '2015-06-01 00:00:00', '1899-12-30 07:45:00', '1', '50P', '1')");
    auto result = test::runExport(site, {"Vantoreum.ini", "/D"}, site.environment);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.err;
    if (c.exitStatus == 1) {
      EXPECT_EQ(result.out,
                "Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
                "ID: 000123, Buchung vom 20150601 074500  uebergeben\n"
                "\nAnzahl uebergebener Buchungen : 1");
      EXPECT_EQ(test::readFile(site.transferPath),
                "000123,10,20150601,074500,1,,,,,,,,100,,,50P,\n");
    }
    EXPECT_EQ(site.database.query("SELECT BewUkz FROM Kvl321Bew")[0][0], c.mark);
  }
}

TEST(FreeTdsPassTest, IsqlWorksAgainstTheServer) {
  struct Case {
    const char* password;
    int exitStatus;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {kPassword, 0, {"| 000123", "| T1", "SQLRowCount returns 1", "1 rows fetched"}},
      {"wrong", 1, {"Login failed for user 'zeit'.", "Could not SQLConnect"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    FreeTdsInstallation site;
    site.database.execute("INSERT INTO Kvl321Bew (BewIDN, BewTID) VALUES ('000123', 'T1')");
    auto result =
        test::runProcess({"/usr/bin/isql", "-v", "ZEIT", kUser, c.password, "-b"}, site.root.path(),
                         site.environment, "SELECT BewIDN, BewTID FROM KVLSYSTEM.Kvl321Bew\n");
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.out << result.err;
    for (const std::string& text : c.shown) {
      EXPECT_NE((result.out + result.err).find(text), std::string::npos)
          << text << " not in " << result.out << result.err;
    }
  }
}

// A stalled statement ends when FreeTDS's query timeout expires: it cancels,
// the server acknowledges the cancel, the client reports the timeout and the
// connection goes on with the next statement. An unacknowledged cancel
// would block isql for good.
TEST(FreeTdsPassTest, StalledStatementEndsWithTheClientsCancel) {
  FreeTdsInstallation site;
  site.database.execute("INSERT INTO Kvl321Bew (BewIDN, BewTID) VALUES ('000123', 'T1')");
  site.database.setControl("stall.select", "2");
  std::string dataSources = test::readFile(site.environment["ODBCINI"]);
  test::writeFile(site.environment["ODBCINI"], dataSources + "Timeout = 1\n");
  test::StartedProcess isql = test::startProcess(
      {"/usr/bin/isql", "-v", "ZEIT", kUser, kPassword, "-b"}, site.root.path(), site.environment,
      "SELECT BewIDN FROM Kvl321Bew\nSELECT BewTID FROM Kvl321Bew\nSELECT BewIDN FROM "
      "Kvl321Bew\n");
  test::ProcessResult result = test::finishProcess(isql, 20);
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_LT(result.seconds, 10);
  std::string shown = result.out + result.err;
  EXPECT_NE(shown.find("Timeout expired"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("| T1"), std::string::npos) << shown;
  size_t first = shown.find("| 000123");
  ASSERT_NE(first, std::string::npos) << shown;
  EXPECT_NE(shown.find("| 000123", first + 1), std::string::npos) << shown;
}

}  // namespace
