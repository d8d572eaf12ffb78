// The Windows installer (packaging/windows) under Wine's msiexec: what it
// puts where, the event source it registers, the scheduled task it carries,
// an upgrade that replaces the older version, and a removal that leaves
// nothing behind. Once with stand-in programs (marker bytes), so that the
// installer's source is tested in every run; once more with the installer
// scripts/package --windows built, whose programs must then run installed.

#include <gtest/gtest.h>

#include "ProgramSupport.h"
#include "TestSupport.h"

namespace {

const char kWine[] = "/usr/lib/wine/wine64";
const char kEventSource[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Morlund_MSSQL";
const char kUninstall[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kInstalledTask[] = "C:\\Program Files\\Morlund\\morlund-export.xml";

test::ProcessResult wine(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> command = {kWine};
  command.insert(command.end(), args.begin(), args.end());
  test::ProcessOptions options;
  options.timeoutSeconds = 120;
  return test::runProcess(command, cwd, test::programEnvironment(test::Program::kWindows, {}), "",
                          options);
}

std::string installDirectory() {
  return test::winePrefix() + "/drive_c/Program Files/Morlund";
}

// Installed products named Morlund_MSSQL VERSION.
size_t installedProducts(const std::string& cwd) {
  size_t count = 0;
  for (const std::string& line : test::lines(wine({"reg", "query", kUninstall, "/s"}, cwd).out)) {
    count += line.find("DisplayName") != std::string::npos &&
             line.find("Morlund_MSSQL ") != std::string::npos;
  }
  return count;
}

TEST(WindowsInstallerTest, InstallsUpgradesAndRemovesUnderWine) {
  ASSERT_TRUE(test::fileExists(test::winePrefix() + "/system.reg"))
      << "no Wine prefix in " << test::winePrefix() << ": the test WinePrefix makes it";
  test::TempDir dir;
  struct Installer {
    const char* what;
    std::string msi;          // an older version of it is installed first
    std::string programsDir;  // where the programs it holds come from
    bool runsThePrograms;
  };
  std::vector<Installer> installers;

  // Stand-in programs, as an older and a newer version.
  const std::string version = MORLUND_VERSION;
  for (const char* release : {"old", "new"}) {
    std::string programs = dir.file(release);
    test::makeDirs(programs);
    for (const char* name : {"Morlund_MSSQL", "Morlund_Settings"}) {
      test::writeFile(programs + "/" + name + ".exe",
                      std::string("MZ stand-in for ") + name + ", " + release + "\n");
    }
    std::string msiVersion = std::string(release) == "old" ? "0.9.0" : version;
    auto built = test::runProcess({"/bin/bash", test::sourceDir() + "/packaging/windows/build-msi",
                                   programs, msiVersion, dir.file(std::string(release) + ".msi")},
                                  dir.path());
    ASSERT_EQ(built.exitStatus, 0) << built.err;
  }
  installers.push_back({"stand-in programs", dir.file("new.msi"), dir.file("new"), false});
  std::string built = test::buildDir() + "/morlund-mssql-" + version + "-win64.msi";
  // The fixture MorlundWindows builds it (scripts/package --windows).
  ASSERT_TRUE(test::windowsProgramsMissing().empty() && test::fileExists(built))
      << built << " is missing: " << test::windowsProgramsMissing();
  installers.push_back({"the built installer", built, test::buildDir() + "/windows", true});

  for (const Installer& installer : installers) {
    SCOPED_TRACE(installer.what);
    ASSERT_EQ(wine({"msiexec", "/i", "old.msi", "/qn"}, dir.path()).exitStatus, 0);
    EXPECT_EQ(test::readFile(installDirectory() + "/Morlund_MSSQL.exe"),
              "MZ stand-in for Morlund_MSSQL, old\n");
    auto upgraded = wine({"msiexec", "/i", installer.msi, "/qn"}, dir.path());
    ASSERT_EQ(upgraded.exitStatus, 0) << upgraded.err;

    // The newer version replaced the older one, in Program Files\Morlund.
    EXPECT_EQ(installedProducts(dir.path()), 1u);
    EXPECT_EQ(test::entries(installDirectory()),
              (std::vector<std::string>{"Morlund_MSSQL.exe", "Morlund_Settings.exe", "README.md",
                                        "morlund-export.xml"}));
    for (const char* name : {"Morlund_MSSQL.exe", "Morlund_Settings.exe"}) {
      EXPECT_EQ(test::readFile(installDirectory() + "/" + name),
                test::readFile(installer.programsDir + "/" + name))
          << name;
    }
    EXPECT_EQ(test::readFile(installDirectory() + "/README.md"),
              test::readFile(test::sourceDir() + "/README.md"));
    EXPECT_EQ(test::readFile(installDirectory() + "/morlund-export.xml"),
              test::readFile(test::sourceDir() + "/packaging/windows/morlund-export.xml"));

    // The event source, with a message file that holds "%1" for IDs 1 to 1000.
    auto source = wine({"reg", "query", kEventSource}, dir.path());
    EXPECT_EQ(source.exitStatus, 0) << source.err;
    EXPECT_NE(
        source.out.find("EventMessageFile    REG_SZ    C:\\windows\\system32\\EventCreate.exe"),
        std::string::npos)
        << source.out;
    EXPECT_NE(source.out.find("TypesSupported    REG_DWORD    0x7"), std::string::npos)
        << source.out;

    // The installed task definition is one the Task Scheduler takes (Wine's
    // parser checks the XML, its namespace and the values it knows).
    auto task = wine({"schtasks", "/Create", "/TN", "MorlundTest", "/XML", kInstalledTask, "/F"},
                     dir.path());
    EXPECT_EQ(task.exitStatus, 0) << task.out << task.err;
    wine({"schtasks", "/Delete", "/TN", "MorlundTest", "/F"}, dir.path());

    if (installer.runsThePrograms) {
      for (const char* name : {"Morlund_MSSQL", "Morlund_Settings"}) {
        auto ran = wine({"C:\\Program Files\\Morlund\\" + std::string(name) + ".exe", "--version"},
                        dir.path());
        EXPECT_EQ(ran.exitStatus, 0) << name;
        EXPECT_EQ(ran.out, test::crlf(std::string(name) + " " + version + "\n"));
      }
    }

    auto removed = wine({"msiexec", "/x", installer.msi, "/qn"}, dir.path());
    EXPECT_EQ(removed.exitStatus, 0) << removed.err;
    EXPECT_FALSE(test::fileExists(installDirectory()));
    EXPECT_EQ(wine({"reg", "query", kEventSource}, dir.path()).exitStatus, 1);
    EXPECT_EQ(installedProducts(dir.path()), 0u);
  }
}

}  // namespace
