#include <gtest/gtest.h>

#include "InstallationSupport.h"

namespace {

const std::string kRule(48, '>');

TEST(ExportRunTest, NoArgumentPrintsUsageAndLogsNothing) {
  test::SiteLayout site;
  auto result = test::runExport(site, {}, {});
  EXPECT_EQ(result.exitStatus, 98);
  EXPECT_EQ(result.out,
            "Befehlsformat: \n"
            "Morlund_<DB>.EXE <Vantoreum.ini> <ZielPfad>\n"
            "\n"
            "DB           : Datenbanksystem, zB. Oracle\n"
            "Vantoreum.ini: Name und Pfad der Vantoreum.ini-Datei\n"
            "Zielpfad     : Pfad der Uebergabedatei\n"
            "\n");
  EXPECT_FALSE(test::fileExists(site.logPath));
}

TEST(ExportRunTest, MissingSettingsFileEndsWith97) {
  test::SiteLayout site;
  for (const char* echo : {"", "/D"}) {
    SCOPED_TRACE(echo);
    std::vector<std::string> args = {"missing.ini"};
    if (*echo) {
      args.push_back(echo);
    }
    auto result = test::runExport(site, args, {});
    EXPECT_EQ(result.exitStatus, 97);
    EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
    EXPECT_EQ(site.log(), test::crlf("\n" + kRule + "Protokollierung gestartet:\n" +
                                     "Vantoreum.Ini-Datei nicht gefunden\n" +
                                     "Verbinden mit Datenbank fehlgeschlagen\n"));
    EXPECT_FALSE(test::fileExists(site.work + "/BEWDATA.dat"));
    std::remove(site.logPath.c_str());
  }
}

TEST(ExportRunTest, WithoutLogDirectoryTheRunStillEnds) {
  test::TempDir dir;
  auto result = test::runProcess({test::buildDir() + "/Morlund_MSSQL", "missing.ini"}, dir.path());
  EXPECT_EQ(result.exitStatus, 97);
  EXPECT_EQ(result.out, "Vantoreum.Ini-Datei nicht gefunden");
}

}  // namespace
