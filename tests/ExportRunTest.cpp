#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

const std::string kRule(48, '>');

// A working directory from which the fixed relative log path leads to an
// existing log directory, as at an installation.
struct Site {
  test::TempDir root;
  std::string work = root.file("a/b");
  std::string log = root.file("Vantoreum_php/log/Palvexa#Log.txt");
  Site() {
    test::makeDirs(work);
    test::makeDirs(root.file("Vantoreum_php/log"));
  }
  test::ProcessResult run(std::vector<std::string> args) const {
    args.insert(args.begin(), test::buildDir() + "/Morlund_MSSQL");
    return test::runProcess(args, work);
  }
};

TEST(ExportRunTest, NoArgumentPrintsUsageAndLogsNothing) {
  Site site;
  auto result = site.run({});
  EXPECT_EQ(result.exitStatus, 98);
  EXPECT_EQ(result.out,
            "Befehlsformat: \n"
            "Morlund_<DB>.EXE <Vantoreum.ini> <ZielPfad>\n"
            "\n"
            "DB           : Datenbanksystem, zB. Oracle\n"
            "Vantoreum.ini: Name und Pfad der Vantoreum.ini-Datei\n"
            "Zielpfad     : Pfad der Uebergabedatei\n"
            "\n");
  EXPECT_FALSE(test::fileExists(site.log));
}

TEST(ExportRunTest, MissingSettingsFileEndsWith97) {
  Site site;
  for (const char* echo : {"", "/D"}) {
    SCOPED_TRACE(echo);
    std::vector<std::string> args = {"missing.ini"};
    if (*echo) {
      args.push_back(echo);
    }
    auto result = site.run(args);
    EXPECT_EQ(result.exitStatus, 97);
    EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
    EXPECT_EQ(test::readFile(site.log), test::crlf("\n" + kRule + "Protokollierung gestartet:\n" +
                                                   "Vantoreum.Ini-Datei nicht gefunden\n" +
                                                   "Verbinden mit Datenbank fehlgeschlagen\n"));
    EXPECT_FALSE(test::fileExists(site.work + "/BEWDATA.dat"));
    std::remove(site.log.c_str());
  }
}

TEST(ExportRunTest, WithoutLogDirectoryTheRunStillEnds) {
  test::TempDir dir;
  auto result = test::runProcess({test::buildDir() + "/Morlund_MSSQL", "missing.ini"}, dir.path());
  EXPECT_EQ(result.exitStatus, 97);
  EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
}

}  // namespace
