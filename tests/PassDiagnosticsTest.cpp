// What a failing pass tells the operator on standard error, one line per
// failure, while standard output and the run log keep their fixed texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "PassSupport.h"

namespace {

using namespace test;

const std::string kServerTimeEntry =
    "\xDC"
    "bergabe vom 01.06.2015 08:00:00\r\n\r\n";
const std::string kWorkedExampleEntry = "000123,20150601,074500,T1,01,, 1, dta\r\n";

std::string countAndEnd(int count) {
  return "\r\nAnzahl \xFC"
         "bergebener Buchungen : " +
         std::to_string(count) + "\r\n" + kEndEntry;
}

TEST(PassDiagnosticsTest, EveryFailureIsNamedOnStandardError) {
  struct Case {
    const char* what;
    const char* control;  // a stand-in switch, or nullptr
    const char* value;
    std::string password;
    std::string dataSourceName;
    std::string out;
    std::string log;
    std::string err;  // the whole of standard error
  };
  const std::string refused = "Datenbankverbindung fehlgeschlagen, Fehler: -1\n";
  const std::string notConnected = kStartEntry + "Verbinden mit Datenbank fehlgeschlagen\r\n";
  const std::string fullPass =
      kStartEntry + kServerTimeEntry + kWorkedExampleEntry + countAndEnd(1);
  const Case cases[] = {
      {"clean pass", nullptr, nullptr, kPassword, "ZEIT", "", fullPass, ""},
      {"wrong password", nullptr, nullptr, "Falsch-99", "ZEIT", refused, notConnected,
       "Morlund_MSSQL: cannot connect to data source 'ZEIT' as user 'zeit': SQLSTATE 28000, "
       "native error 18456: [unixODBC][Standin][SQL Server]Login failed for user 'zeit'.\n"},
      {"unknown data source", nullptr, nullptr, kPassword, "NOWHERE", refused, notConnected,
       "Morlund_MSSQL: cannot connect to data source 'NOWHERE' as user 'zeit': SQLSTATE IM002, "
       "native error 0: [unixODBC][Driver Manager]Data source name not found and no default "
       "driver specified\n"},
      {"server time", "fail.select", "1,1205,40001", kPassword, "ZEIT", "",
       kStartEntry +
           "\xDC"
           "bergabe vom \r\n\r\n" +
           kWorkedExampleEntry + countAndEnd(1),
       "Morlund_MSSQL: cannot read the server time: SQLSTATE 40001, native error 1205: "
       "[Standin][SQL Server]Injected failure\n"},
      {"cursor open", "fail.select", "2,208,42S02", kPassword, "ZEIT", "",
       kStartEntry + kServerTimeEntry + countAndEnd(0),
       "Morlund_MSSQL: cannot open the booking cursor: SQLSTATE 42S02, native error 208: "
       "[Standin][SQL Server]Injected failure\n"},
      {"fetch", "fail.fetch", "3,1205,40001", kPassword, "ZEIT", "", fullPass,
       "Morlund_MSSQL: reading the bookings failed after 1 bookings; the rest stay for the next "
       "pass: SQLSTATE 40001, native error 1205: [Standin][SQL Server]Injected failure\n"},
      {"marking", "fail.update", "1,1205,40001", kPassword, "ZEIT", "", fullPass,
       "Morlund_MSSQL: marking booking ID '000123', Sto '10', Dtm '20150601000000', Uhr "
       "'18991230074500', Lfn '1' as transferred failed with 1205 (SQLSTATE 40001, native error "
       "1205: [Standin][SQL Server]Injected failure); the journal keeps it: the next pass marks "
       "it and does not export it again\n"},
      {"bookings sharing a key", nullptr, nullptr, kPassword, "ZEIT", "",
       kStartEntry + kServerTimeEntry + kWorkedExampleEntry + kWorkedExampleEntry + countAndEnd(2),
       "Morlund_MSSQL: marking booking ID '000123', Sto '10', Dtm '20150601000000', Uhr "
       "'18991230074500', Lfn '1' as transferred changed 2 rows: they share its key and are all "
       "marked now; any of them not in the transfer file will not be exported\n"},
      {"purge", "fail.delete", "1,547,23000", kPassword, "ZEIT", "", fullPass,
       "Morlund_MSSQL: purging old transferred bookings failed with 547: SQLSTATE 23000, native "
       "error 547: [Standin][SQL Server]Injected failure\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation site;
    site.writeSettings(kUser, c.password, c.dataSourceName);
    site.addBooking(kWorkedExample);
    if (c.control != nullptr && std::string(c.control) == "fail.fetch") {
      site.addBooking(booking("000124", "50P", "1"));
    }
    if (std::string(c.what) == "bookings sharing a key") {
      site.addBooking(kWorkedExample);
    }
    if (c.control != nullptr) {
      site.database.setControl(c.control, c.value);
    }
    auto result = site.run({"Vantoreum.ini"});
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(site.log(), c.log);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.err.find(c.password), std::string::npos);
    EXPECT_EQ(result.exitStatus, c.out == refused ? 255 : 1);
  }
}

// Under systemd, standard error is the journal, and JOURNAL_STREAM names it
// by device and inode: only then does each line carry its priority, so that
// journalctl -p can tell a failed pass from a note.
TEST(PassDiagnosticsTest, PriorityPrefixOnlyWhenStandardErrorIsTheJournal) {
  struct Case {
    const char* what;
    std::string journalStream;  // shell text; $STDERR_ID is standard error's device:inode
    const char* control;
    const char* value;
    std::string password;
    bool consoleGone;
    std::string err;  // the start of standard error, which holds one line
  };
  const std::string refused = "Morlund_MSSQL: cannot connect to data source 'ZEIT'";
  const Case cases[] = {
      {"refused connection", "$STDERR_ID", nullptr, nullptr, "Falsch-99", false, "<3>" + refused},
      {"failed marking", "$STDERR_ID", "fail.update", "1,1205,40001", kPassword, false,
       "<4>Morlund_MSSQL: marking booking ID '000123'"},
      {"console gone", "$STDERR_ID", nullptr, nullptr, kPassword, true,
       "<5>Morlund_MSSQL: console output of this pass was lost"},
      {"another stream named", "1:1", nullptr, nullptr, "Falsch-99", false, refused},
      {"malformed", "${STDERR_ID}x", nullptr, nullptr, "Falsch-99", false, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation site;
    site.writeSettings(kUser, c.password, "ZEIT");
    site.addBooking(kWorkedExample);
    if (c.control != nullptr) {
      site.database.setControl(c.control, c.value);
    }
    ProcessOptions options;
    if (c.consoleGone) {
      options.stdoutReadLimit = 0;
    }
    auto result = runProcess({"/bin/sh", "-c",
                              "STDERR_ID=$(stat -L -c %d:%i /proc/self/fd/2) && JOURNAL_STREAM=" +
                                  c.journalStream + " exec \"$0\" \"$@\"",
                              buildDir() + "/Morlund_MSSQL", "Vantoreum.ini", "/D"},
                             site.work, site.driverPath.environment(), "", options);
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

// Without its directory the run log is dropped, as it always was, but said
// once, not once per entry; so are the journal (and with it the archive of
// sent lines) and the metrics file, which live beside it.
TEST(PassDiagnosticsTest, MissingLogDirectoryIsSaidOnce) {
  Installation site;
  site.addBooking(kWorkedExample);
  std::filesystem::remove_all(site.root.file("Vantoreum_php"));
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err,
            "Morlund_MSSQL: cannot open the run log ../../Vantoreum_php/log/Palvexa#Log.txt: No "
            "such file or directory; its entries of this pass may be missing\n"
            "Morlund_MSSQL: cannot use the journal of written bookings "
            "../../Vantoreum_php/log/Morlund_MSSQL.journal: No such file or directory; this pass "
            "marks booking by booking, and a failure between a line and its marking may export a "
            "booking twice; nor does it archive its lines for Morlund_Settings replay\n"
            "Morlund_MSSQL: cannot write the metrics file "
            "../../Vantoreum_php/log/morlund_export.prom: creating a file beside it: No such file "
            "or directory; monitoring does not see this pass\n");
  EXPECT_EQ(readFile(site.transferPath), "000123,10,20150601,074500,1,T1,01,,,,,,204,,12,dta,\n");
}

}  // namespace
