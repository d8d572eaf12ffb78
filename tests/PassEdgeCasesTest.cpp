// Whole passes at their edges: settings paths that cannot serve, a server
// that fails the first statements, a console whose reader goes away, and
// the run log crossing its rotation size. Real processes, as an operator
// would run them: Linux's program and Windows' under Wine.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "PassSupport.h"
#include "ProgramSupport.h"

namespace {

using test::kEndEntry;
using test::kStartEntry;
using test::ProgramPath;

const std::string kTimeEntry =
    "\xDC"
    "bergabe vom 01.06.2015 08:00:00\r\n\r\n";
const std::string kSettingsFailureEntries =
    "Vantoreum.Ini-Datei nicht gefunden\r\nVerbinden mit Datenbank fehlgeschlagen\r\n";

std::string countEntry(int count) {
  return "\r\nAnzahl \xFC"
         "bergebener Buchungen : " +
         std::to_string(count) + "\r\n";
}

struct Installation : test::Installation {
  explicit Installation(ProgramPath variant) : test::Installation(variant) {
    // One sync per marking instead of several: passes over thousands of
    // bookings stay quick. The mode stays with the database file.
    database.execute("PRAGMA journal_mode=WAL");
  }

  // Bookings 000001 to count (IDs of six digits), each exported; with an
  // old transferred one in front that the purge removes.
  void addBookings(int count) const {
    database.execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewUkz, BewDat) "
        "VALUES ('old', 4, '2014-01-01 00:00:00')");
    database.execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(count) +
        ") INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewTID, BewLID, "
        "BewSrc, BewEra) SELECT printf('%06d', i), '10', '2015-06-01 00:00:00', "
        "'1899-12-30 07:45:00', '1', 'T1', '01', '50P', '1' FROM n");
  }

  test::ProcessResult run(const std::vector<std::string>& args,
                          const test::ProcessOptions& options = {}) const {
    return test::runProgram(program, "Morlund_MSSQL", args, work, database.odbcEnvironment(), "",
                            options);
  }

  std::string count(const std::string& where) const {
    return database.query("SELECT COUNT(*) FROM Kvl321Bew WHERE " + where)[0][0];
  }
};

std::string transferLine(const std::string& idn) {
  return idn + ",10,20150601,074500,1,T1,01,,,,,,100,,,50P,\n";
}

class PassEdgeCasesTest : public test::ProgramPathTest {};
INSTANTIATE_TEST_SUITE_P(, PassEdgeCasesTest, test::kBothPrograms, test::programName);

// A settings path that is no readable regular file ends the pass with 97
// before any lookup: nothing waits for a FIFO's writer, nothing reads a
// device without end. Standard error says why.
TEST_P(PassEdgeCasesTest, SettingsPathThatCannotServeEndsWith97) {
  Installation site(GetParam());
  test::makeDirs(site.work + "/directory.ini");
  ASSERT_EQ(mkfifo((site.work + "/fifo.ini").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string reason;
    const char* linuxOnly = nullptr;
  };
  const Case cases[] = {
      {"absent.ini", "No such file or directory"},
      {"directory.ini", "not a regular file"},
      {"fifo.ini", "not a regular file", "a FIFO made with mkfifo"},
      {"/dev/zero", "not a regular file", "a Linux device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.linuxOnly != nullptr && linuxOnlyCase(c.path, c.linuxOnly)) {
      continue;
    }
    std::remove(site.logPath.c_str());
    test::ProcessOptions options;
    options.memoryLimitMiB = 512;
    options.timeoutSeconds = 30;
    auto result = site.run({c.path, "/D"}, options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 97);
    EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
    EXPECT_EQ(result.err, console("Morlund_MSSQL: cannot use the settings file " + c.path + ": " +
                                  systemText(c.reason) + "\n"));
    EXPECT_EQ(site.log(), kStartEntry + kSettingsFailureEntries);
    EXPECT_FALSE(test::fileExists(site.transferPath));
  }
}

// "/D" as argument 1 is the settings path and the echo switch at once; no
// file of that name lies at the root, so the pass ends at the settings.
TEST_P(PassEdgeCasesTest, EchoSwitchAsFirstArgumentIsTheSettingsPath) {
  ASSERT_FALSE(test::fileExists("/D"));
  for (const char* first : {"/D", "/d"}) {
    SCOPED_TRACE(first);
    Installation site(GetParam());
    test::makeDirs(site.work + "/out");
    auto result = site.run({first, "out"});
    EXPECT_EQ(result.exitStatus, 97);
    EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
    EXPECT_NE(result.err.find(std::string("settings file ") + first + ": " +
                              systemText("No such file or directory")),
              std::string::npos)
        << result.err;
    EXPECT_EQ(site.log(), kStartEntry + kSettingsFailureEntries);
    EXPECT_FALSE(test::fileExists(site.work + "/out/BEWDATA.dat"));
  }
}

// The first SELECT of a pass reads the server time, the second opens the
// booking cursor.
TEST_P(PassEdgeCasesTest, FailedFirstStatementsDoNotEndThePass) {
  struct Case {
    const char* what;
    const char* failSelect;
    std::string console;
    std::string log;
    std::string transferFile;
    std::string markedBookings;
  };
  const Case cases[] = {
      {"server time unreadable", "1,1222,HYT00",
       "Uebergabe am  gestartet\n\n"
       "ID: 000001, Buchung vom 20150601 074500  uebergeben\n"
       "\nAnzahl uebergebener Buchungen : 1",
       kStartEntry +
           "\xDC"
           "bergabe vom \r\n\r\n"
           "000001,20150601,074500,T1,01,, 1, 50P\r\n" +
           countEntry(1) + kEndEntry,
       transferLine("000001"), "1"},
      {"cursor cannot open", "2,1205,40001",
       "Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
       "\nAnzahl uebergebener Buchungen : 0",
       kStartEntry + kTimeEntry + countEntry(0) + kEndEntry, "", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation site(GetParam());
    site.addBookings(1);
    site.database.setControl("fail.select", c.failSelect);
    auto result = site.run({"Vantoreum.ini", "/D"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, console(c.console));
    EXPECT_EQ(site.log(), c.log);
    EXPECT_TRUE(test::fileExists(site.transferPath));
    EXPECT_EQ(test::readFile(site.transferPath), c.transferFile);
    EXPECT_EQ(site.count("BewIDN = '000001' AND BewUkz = 4"), c.markedBookings);
    EXPECT_EQ(site.count("BewIDN = 'old'"), "0") << "the purge ran";
  }
}

// The console's reader goes away after a few bytes: the pass goes on to its
// end, exporting and marking every booking, and ends as usual.
TEST_P(PassEdgeCasesTest, ConsoleReaderGoingAwayDoesNotEndThePass) {
  const int kBookings = 2000;
  Installation site(GetParam());
  site.addBookings(kBookings);
  test::ProcessOptions options;
  options.stdoutReadLimit = 10;
  options.timeoutSeconds = 240;
  auto result = site.run({"Vantoreum.ini", "/D"}, options);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_GE(result.out.size(), 10u);
  EXPECT_LT(result.out.size(), 64u * 1024) << "the reader stopped early";
  EXPECT_NE(result.err.find("console output of this pass was lost: " + systemText("Broken pipe")),
            std::string::npos)
      << result.err;
  std::string log = site.log();
  EXPECT_EQ(log.substr(log.size() - countEntry(kBookings).size() - kEndEntry.size()),
            countEntry(kBookings) + kEndEntry);
  EXPECT_EQ(site.count("BewUkz = 4"), std::to_string(kBookings));
  EXPECT_EQ(site.count("BewIDN = 'old'"), "0") << "the purge ran";
}

// The entry that takes the log past 10,485,760 bytes ends up in the
// backup, which replaces an earlier one; a log of exactly that size stays.
TEST_P(PassEdgeCasesTest, RunLogRotatesWhenThePassCrossesTheThreshold) {
  const size_t kThreshold = 10485760;
  const std::string tail = countEntry(0) + kEndEntry;
  struct Case {
    const char* what;
    size_t prefill;
    std::string backupAfterPrefill;
    std::string log;
  };
  const Case cases[] = {
      {"start entry fills the log to the byte", kThreshold - kStartEntry.size(),
       kStartEntry + kTimeEntry, tail},
      {"start entry crosses by one byte", kThreshold - kStartEntry.size() + 1, kStartEntry,
       kTimeEntry + tail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation site(GetParam());
    std::string backupPath = site.root.file("Vantoreum_php/log/Palvexa#Log_bak.txt");
    test::writeFile(backupPath, "earlier backup\r\n");
    std::string prefill(c.prefill, 'x');
    prefill.replace(prefill.size() - 2, 2, "\r\n");
    test::writeFile(site.logPath, prefill);
    auto result = site.run({"Vantoreum.ini"});
    EXPECT_EQ(result.exitStatus, 1);
    std::string backup = test::readFile(backupPath);
    EXPECT_EQ(backup.size(), prefill.size() + c.backupAfterPrefill.size());
    EXPECT_TRUE(backup.compare(0, prefill.size(), prefill) == 0);
    EXPECT_EQ(backup.substr(prefill.size()), c.backupAfterPrefill);
    EXPECT_EQ(site.log(), c.log);
  }
}

}  // namespace
