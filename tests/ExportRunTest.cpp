#include <gtest/gtest.h>

#include "InstallationSupport.h"
#include "ProgramSupport.h"

namespace {

const std::string kRule(48, '>');

// Linux's program and Windows' under Wine.
class ExportRunTest : public test::ProgramPathTest {};
INSTANTIATE_TEST_SUITE_P(, ExportRunTest, test::kBothPrograms, test::programName);

// Without arguments, and asked for help or the version alone, the program
// prints and ends before the pass starts: no run log, no lock, no database.
// Together with anything else, --version is a settings path like any other.
TEST_P(ExportRunTest, UsageHelpAndVersionLogNothing) {
  const std::string usage =
      "Befehlsformat: \n"
      "Morlund_<DB>.EXE <Vantoreum.ini> <ZielPfad>\n"
      "\n"
      "DB           : Datenbanksystem, zB. Oracle\n"
      "Vantoreum.ini: Name und Pfad der Vantoreum.ini-Datei\n"
      "Zielpfad     : Pfad der Uebergabedatei\n"
      "\n";
  struct Case {
    std::vector<std::string> args;
    int exitStatus;
    std::string out;
    bool logged;
  };
  const Case cases[] = {
      {{}, 98, usage, false},
      {{"--help"}, 0, usage, false},
      {{"--version"}, 0, std::string("Morlund_MSSQL ") + MORLUND_VERSION + "\n", false},
      {{"--version", "/D"}, 97, "Vantoreum.Ini-Datei nicht gefunden", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + std::to_string(c.args.size()));
    test::SiteLayout site;
    auto result = test::runExport(site, c.args, {}, program());
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out, console(c.out));
    EXPECT_EQ(test::fileExists(site.logPath), c.logged);
  }
}

TEST_P(ExportRunTest, MissingSettingsFileEndsWith97) {
  test::SiteLayout site;
  for (const char* echo : {"", "/D"}) {
    SCOPED_TRACE(echo);
    std::vector<std::string> args = {"missing.ini"};
    if (*echo) {
      args.push_back(echo);
    }
    auto result = test::runExport(site, args, {}, program());
    EXPECT_EQ(result.exitStatus, 97);
    EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
    EXPECT_EQ(site.log(), test::crlf("\n" + kRule + "Protokollierung gestartet:\n" +
                                     "Vantoreum.Ini-Datei nicht gefunden\n" +
                                     "Verbinden mit Datenbank fehlgeschlagen\n"));
    EXPECT_FALSE(test::fileExists(site.work + "/BEWDATA.dat"));
    std::remove(site.logPath.c_str());
  }
}

TEST_P(ExportRunTest, WithoutLogDirectoryTheRunStillEnds) {
  test::TempDir dir;
  auto result = test::runProgram(program(), "Morlund_MSSQL", {"missing.ini"}, dir.path());
  EXPECT_EQ(result.exitStatus, 97);
  EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
}

}  // namespace
