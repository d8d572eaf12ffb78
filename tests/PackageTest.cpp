// The Debian package as an operator gets it: unpacked into a scratch root,
// its programs run, its files lie where its units and manual pages say, and
// its control fields name what it needs. CTest builds the package first
// (scripts/package, test PackageBuild).

#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "TestSupport.h"

namespace {

std::string packagePath() {
  glob_t found{};
  std::string path;
  std::string pattern = test::buildDir() + "/morlund-mssql_*.deb";
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc == 1) {
    path = found.gl_pathv[0];
  }
  globfree(&found);
  return path;
}

test::ProcessResult shell(const std::string& command,
                          const std::map<std::string, std::string>& environment = {}) {
  return test::runProcess({"/bin/sh", "-c", command}, "/", environment);
}

// Whether a tool is on the PATH; the test that needs it says so when not.
bool haveTool(const std::string& name) {
  return shell("command -v " + name + " >/dev/null").exitStatus == 0;
}

// The package unpacked, as dpkg would install it, under a scratch root.
class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    package_ = packagePath();
    ASSERT_FALSE(package_.empty())
        << "no single morlund-mssql_*.deb in " << test::buildDir()
        << "; ctest builds it (test PackageBuild), or run scripts/package";
    auto unpacked = test::runProcess({"/usr/bin/dpkg-deb", "-x", package_, root_.path()}, "/");
    ASSERT_EQ(unpacked.exitStatus, 0) << unpacked.err;
  }

  std::string installed(const std::string& path) const { return root_.path() + path; }

  std::string package_;
  test::TempDir root_;
};

TEST_F(PackageTest, HoldsTheProgramsDocumentationAndUnitsOnly) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path())) {
    if (!entry.is_directory()) {
      files.insert(entry.path().string().substr(root_.path().size()));
    }
  }
  const std::set<std::string> expected = {
      "/usr/bin/Morlund_MSSQL",
      "/usr/bin/Morlund_Settings",
      "/usr/share/man/man1/Morlund_MSSQL.1.gz",
      "/usr/share/man/man1/Morlund_Settings.1.gz",
      "/usr/lib/systemd/system/morlund-export.service",
      "/usr/lib/systemd/system/morlund-export.timer",
      "/usr/share/doc/morlund-mssql/README.md",
      "/usr/share/doc/morlund-mssql/copyright",
      "/usr/share/doc/morlund-mssql/changelog.gz",
      "/usr/share/doc/morlund-mssql/examples/odbc.ini",
  };
  EXPECT_EQ(files, expected);
}

TEST_F(PackageTest, InstalledProgramsRunAndAreNoSanitizerBuilds) {
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int exitStatus;
    std::string outStart;
    std::string errStart;
  };
  const Case cases[] = {
      {"Morlund_MSSQL", {}, 98, "Befehlsformat: \n", ""},
      {"Morlund_Settings", {}, 2, "", "Morlund_Settings: missing command\n\nUsage:\n"},
      {"Morlund_Settings",
       {"--version"},
       0,
       std::string("Morlund_Settings ") + MORLUND_VERSION + "\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    std::string binary = installed("/usr/bin/" + c.program);
    std::vector<std::string> argv = {binary};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    test::TempDir cwd;
    auto result = test::runProcess(argv, cwd.path());
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out.substr(0, c.outStart.size()), c.outStart);
    EXPECT_EQ(result.err.substr(0, c.errStart.size()), c.errStart);
    std::string content = test::readFile(binary);
    EXPECT_EQ(content.find("libasan.so"), std::string::npos);
    EXPECT_EQ(content.find("libubsan.so"), std::string::npos);
  }
}

TEST_F(PackageTest, ControlFieldsNameVersionAndDependencies) {
  auto info = test::runProcess({"/usr/bin/dpkg-deb", "-I", package_}, "/");
  ASSERT_EQ(info.exitStatus, 0) << info.err;
  const std::string fields[] = {
      " Package: morlund-mssql\n",
      std::string(" Version: ") + MORLUND_VERSION + "\n",
      " Recommends: tdsodbc\n",
      " Maintainer: ",
      " Section: ",
      " Description: export of time-and-attendance bookings from SQL Server\n",
      "libodbc2 (>= ",
      "libodbcinst2 (>= ",
      "libc6 (>= ",
  };
  for (const std::string& field : fields) {
    EXPECT_NE(info.out.find(field), std::string::npos) << field << "\n" << info.out;
  }
  EXPECT_EQ(info.out.find("libsqlite3"), std::string::npos);
  EXPECT_EQ(info.out.find("libgtest"), std::string::npos);

  // The maintainer scripts tell systemd of the units and stop the timer on
  // removal, never a running pass.
  test::TempDir control;
  auto extracted = test::runProcess({"/usr/bin/dpkg-deb", "-e", package_, control.path()}, "/");
  ASSERT_EQ(extracted.exitStatus, 0) << extracted.err;
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    SCOPED_TRACE(script);
    auto parsed = test::runProcess({"/bin/sh", "-n", control.file(script)}, "/");
    EXPECT_EQ(parsed.exitStatus, 0) << parsed.err;
  }
  std::string prerm = test::readFile(control.file("prerm"));
  EXPECT_NE(prerm.find("stop morlund-export.timer"), std::string::npos) << prerm;
  EXPECT_EQ(prerm.find("morlund-export.service"), std::string::npos) << prerm;
  EXPECT_NE(package_.find("/morlund-mssql_" + std::string(MORLUND_VERSION) + "_"),
            std::string::npos);
}

TEST_F(PackageTest, ManualPagesRenderWithoutWarnings) {
  if (!haveTool("groff")) {
    GTEST_SKIP() << "groff is not installed (package groff-base); manual pages not checked";
  }
  const std::pair<const char*, std::vector<std::string>> pages[] = {
      {"Morlund_MSSQL.1.gz",
       {".SH SYNOPSIS", ".SH ARGUMENTS", ".SH WORKING DIRECTORY", ".SH FILES", ".SH EXIT STATUS",
        ".SH STANDARD ERROR", ".SH EXAMPLES", "\n.B 255\n", "\n.B 97\n", "\n.B 90\n"}},
      {"Morlund_Settings.1.gz",
       {".SH SYNOPSIS", ".SH COMMANDS", ".SH EXIT STATUS", "\n.BI check ", "\n.BI write ",
        "\n.BI lookup ", "\n.BI encrypt ", "\n.BI decrypt ", "\n.B \\-\\-version\n"}},
  };
  for (const auto& [page, markers] : pages) {
    SCOPED_TRACE(page);
    std::string path = installed(std::string("/usr/share/man/man1/") + page);
    auto rendered = shell("gzip -dc '" + path + "' | groff -man -ww -z");
    EXPECT_EQ(rendered.exitStatus, 0);
    EXPECT_EQ(rendered.err, "");
    auto source = shell("gzip -dc '" + path + "'");
    for (const std::string& marker : markers) {
      EXPECT_NE(source.out.find(marker), std::string::npos) << marker;
    }
  }
}

// systemd-analyze checks the units as systemd would load them: keys, the
// executable of ExecStart (here the unpacked one) and the manual pages of
// Documentation= (here the unpacked ones).
TEST_F(PackageTest, UnitsPassSystemdAnalyzeVerify) {
  std::string service = test::readFile(installed("/usr/lib/systemd/system/morlund-export.service"));
  std::string timer = test::readFile(installed("/usr/lib/systemd/system/morlund-export.timer"));
  const std::pair<const std::string*, const char*> settings[] = {
      {&service, "\nType=oneshot\n"},
      {&service, "\nExecStart=/usr/bin/Morlund_MSSQL Vantoreum.ini "},
      {&service, "\nWorkingDirectory=/"},
      {&service, "\nSuccessExitStatus=1\n"},
      {&service, "\nUMask=0027\n"},
      {&service, "\nNoNewPrivileges=yes\n"},
      {&service, "\nProtectSystem=strict\n"},
      {&service, "\nReadWritePaths="},
      {&service, "\nProtectHome=yes\n"},
      {&service, "\nPrivateTmp=yes\n"},
      {&timer, "\nOnCalendar=*:0/5\n"},
      {&timer, "\nPersistent=true\n"},
      {&timer, "\nWantedBy=timers.target\n"},
  };
  for (const auto& [unit, setting] : settings) {
    EXPECT_NE(unit->find(setting), std::string::npos) << setting;
  }

  if (!haveTool("systemd-analyze")) {
    GTEST_SKIP() << "systemd-analyze is not installed (package systemd); units not verified";
  }
  test::TempDir units;
  std::string binary = "/usr/bin/Morlund_MSSQL";
  std::string adjusted = service;
  adjusted.replace(adjusted.find(binary), binary.size(), installed(binary));
  test::writeFile(units.file("morlund-export.service"), adjusted);
  test::writeFile(units.file("morlund-export.timer"), timer);
  auto verified =
      test::runProcess({"/usr/bin/systemd-analyze", "verify", units.file("morlund-export.service"),
                        units.file("morlund-export.timer")},
                       "/", {{"MANPATH", installed("/usr/share/man")}, {"SYSTEMD_LOG_COLOR", "0"}});
  EXPECT_EQ(verified.exitStatus, 0) << verified.out << verified.err;
  EXPECT_EQ(verified.out + verified.err, "");
}

}  // namespace
