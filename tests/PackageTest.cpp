// The Debian package as an operator gets it: unpacked into a scratch root,
// its programs run, its files lie where its units and manual pages say, and
// its control fields name what it needs. CTest builds the package first
// (scripts/package, test PackageBuild).

#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

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

using test::lines;

// The value of KEY= in a unit file, empty when it is not set.
std::string unitSetting(const std::string& unit, const std::string& key) {
  for (const std::string& line : lines(unit)) {
    if (line.rfind(key + "=", 0) == 0) {
      return line.substr(key.size() + 1);
    }
  }
  return "";
}

// The drop-in of the README's credential section: its indented block that
// holds a LoadCredential= line, so that the test checks what operators copy.
std::string credentialDropIn(const std::string& readme) {
  const std::string indent = "    ";
  std::vector<std::string> all = lines(readme);
  size_t at = 0;
  while (at < all.size() && all[at].rfind(indent + "LoadCredential=", 0) != 0) {
    ++at;
  }
  size_t begin = at;
  while (begin > 0 && all[begin - 1].rfind(indent, 0) == 0) {
    --begin;
  }
  std::string block;
  for (size_t i = begin; i < all.size() && all[i].rfind(indent, 0) == 0; ++i) {
    block += all[i].substr(indent.size()) + "\n";
  }
  return block;
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
      {"Morlund_MSSQL", {"--version"}, 0, "Morlund_MSSQL " MORLUND_VERSION "\n", ""},
      {"Morlund_MSSQL", {"--help"}, 0, "Befehlsformat: \n", ""},
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
      // The postinst runs adduser.
      " Depends: adduser, ",
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
      {"Morlund_MSSQL.1.gz", {".SH SYNOPSIS",       ".SH ARGUMENTS",
                              ".SH OPTIONS",        ".SH WORKING DIRECTORY",
                              ".SH FILES",          ".SH ENVIRONMENT",
                              ".SH EXIT STATUS",    ".SH STANDARD ERROR",
                              ".SH SECURITY",       ".SH EXAMPLES",
                              "\n.B 255\n",         "\n.B 97\n",
                              "\n.B 90\n",          "\n.B \\-\\-version\n",
                              "\n.B \\-\\-help\n",  "\n.B JOURNAL_STREAM\n",
                              "\n.B ODBCSYSINI\n",  "\n.B ODBCINI\n",
                              "\n.B FREETDSCONF\n", "\n.B CREDENTIALS_DIRECTORY\n",
                              "\n.B <3>\n",         "\n.B <4>\n",
                              "\n.B <5>\n",         ".SH MONITORING"}},
      {"Morlund_Settings.1.gz",
       {".SH SYNOPSIS", ".SH COMMANDS", ".SH EXIT STATUS", ".SH ENVIRONMENT", ".SH FILES",
        ".SH SECURITY", "\n.BI check ", "\n.BI write ", "\n.BI lookup ", "\n.BI encrypt ",
        "\n.BI decrypt ", "\n.BR metrics ", "\n.BI replay ", "\n.B \\-\\-version\n"}},
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
// Documentation= (here the unpacked ones), also with the credential drop-in
// of the README. Its offline assessment rates the service's exposure from 0
// to 10; the hardening keeps it at 2 or below.
TEST_F(PackageTest, UnitsPassSystemdAnalyzeVerify) {
  std::string service = test::readFile(installed("/usr/lib/systemd/system/morlund-export.service"));
  std::string timer = test::readFile(installed("/usr/lib/systemd/system/morlund-export.timer"));
  const std::pair<const std::string*, const char*> settings[] = {
      {&service, "\nType=oneshot\n"},
      {&service, "\nExecStart=/usr/bin/Morlund_MSSQL Vantoreum.ini "},
      {&service, "\nWorkingDirectory=/"},
      {&service, "\nSuccessExitStatus=1\n"},
      // A oneshot service has no start timeout of its own.
      {&service, "\nTimeoutStartSec="},
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

  // What operators copy from the README, and the same in the manual page.
  const std::string binary = "/usr/bin/Morlund_MSSQL";
  std::string dropIn =
      credentialDropIn(test::readFile(installed("/usr/share/doc/morlund-mssql/README.md")));
  EXPECT_NE(dropIn.find("[Service]\nLoadCredential=Vantoreum.ini:/etc/morlund/Vantoreum.ini\n"),
            std::string::npos)
      << dropIn;
  // Without the empty ExecStart= a oneshot service runs both commands.
  EXPECT_NE(dropIn.find("\nExecStart=\nExecStart=" + binary + " %d/Vantoreum.ini "),
            std::string::npos)
      << dropIn;
  std::string manual =
      shell("gzip -dc '" + installed("/usr/share/man/man1/Morlund_MSSQL.1.gz") + "'").out;
  for (const std::string& line : lines(dropIn)) {
    EXPECT_NE(manual.find("\n" + line + "\n"), std::string::npos) << line;
  }

  if (!haveTool("systemd-analyze")) {
    GTEST_SKIP() << "systemd-analyze is not installed (package systemd); units not verified";
  }
  auto unpackedBinary = [&](std::string text) {
    for (size_t at = text.find(binary); at != std::string::npos;
         at = text.find(binary, at + installed(binary).size())) {
      text.replace(at, binary.size(), installed(binary));
    }
    return text;
  };
  test::TempDir units;
  test::writeFile(units.file("morlund-export.service"), unpackedBinary(service));
  test::writeFile(units.file("morlund-export.timer"), timer);
  const std::map<std::string, std::string> environment = {{"MANPATH", installed("/usr/share/man")},
                                                          {"SYSTEMD_LOG_COLOR", "0"}};

  auto security = test::runProcess({"/usr/bin/systemd-analyze", "security", "--offline=true",
                                    units.file("morlund-export.service")},
                                   "/", environment);
  const std::string level = "Overall exposure level for morlund-export.service: ";
  size_t at = security.out.find(level);
  ASSERT_NE(at, std::string::npos) << security.out << security.err;
  EXPECT_LE(std::stod(security.out.substr(at + level.size())), 2.0) << security.out;

  const std::pair<const char*, std::string> cases[] = {
      {"shipped units", ""},
      {"with the credential drop-in", dropIn},
  };
  for (const auto& [what, addition] : cases) {
    SCOPED_TRACE(what);
    if (!addition.empty()) {
      test::makeDirs(units.file("morlund-export.service.d"));
      test::writeFile(units.file("morlund-export.service.d/credential.conf"),
                      unpackedBinary(addition));
    }
    auto verified =
        test::runProcess({"/usr/bin/systemd-analyze", "verify",
                          units.file("morlund-export.service"), units.file("morlund-export.timer")},
                         "/", environment);
    EXPECT_EQ(verified.exitStatus, 0) << verified.out << verified.err;
    EXPECT_EQ(verified.out + verified.err, "");
  }
}

// The maintainer scripts as dpkg runs them through install, upgrade, removal
// and purge, in a private mount namespace whose /etc is a copy of this
// system's: the real adduser creates the user there, the real
// deb-systemd-helper keeps its links and records under the scratch root
// (DPKG_ROOT), and systemctl and deb-systemd-invoke only log their calls, as
// on a machine where systemd runs.
TEST_F(PackageTest, MaintainerScriptsKeepTheUserAndTheSitesChoiceOfTimer) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a private mount namespace; maintainer scripts not run";
  }
  for (const char* tool : {"unshare", "adduser", "deb-systemd-helper"}) {
    if (!haveTool(tool)) {
      GTEST_SKIP() << tool << " is not installed; maintainer scripts not run";
    }
  }
  auto probe = shell("unshare --mount --propagation private /bin/true");
  if (probe.exitStatus != 0) {
    GTEST_SKIP() << "cannot make a private mount namespace here (" << probe.err
                 << "); maintainer scripts not run";
  }
  // The user the service runs as is the one the postinst creates.
  std::string service = test::readFile(installed("/usr/lib/systemd/system/morlund-export.service"));
  const std::string name = unitSetting(service, "User");
  ASSERT_FALSE(name.empty()) << service;
  EXPECT_EQ(unitSetting(service, "Group"), name);

  test::TempDir control;
  auto extracted = test::runProcess({"/usr/bin/dpkg-deb", "-e", package_, control.path()}, "/");
  ASSERT_EQ(extracted.exitStatus, 0) << extracted.err;
  auto copied = shell("cp -a /etc '" + installed("/etc") + "' && cd '" + installed("/etc") +
                      "' && sed -i '/^" + name + ":/d' passwd group shadow gshadow" +
                      " && rm -f systemd/system/timers.target.wants/morlund-export.timer");
  ASSERT_EQ(copied.exitStatus, 0) << copied.err;
  test::TempDir stubs;
  for (const char* command : {"systemctl", "deb-systemd-invoke"}) {
    test::writeFile(stubs.file(command), std::string("#!/bin/sh\necho \"") + command +
                                             " $*\" >> '" + stubs.file("calls") + "'\n");
    ASSERT_EQ(chmod(stubs.file(command).c_str(), 0755), 0);
  }
  test::writeFile(stubs.file("calls"), "");

  const std::string timer = "/usr/lib/systemd/system/morlund-export.timer";
  const std::string enableLink = "/etc/systemd/system/timers.target.wants/morlund-export.timer";
  const std::string record =
      "/var/lib/systemd/deb-systemd-helper-enabled/morlund-export.timer.dsh-also";
  const std::string stamp = "/var/lib/systemd/timers/stamp-morlund-export.timer";
  // The time of the timer's last pass, as systemd keeps it.
  test::makeDirs(installed("/var/lib/systemd/timers"));
  test::writeFile(installed(stamp), "");

  struct Step {
    const char* what;
    const char* script;
    std::vector<std::string> args;
    bool siteEnablesTimerBefore;
    bool unitsRemovedBefore;
    bool timerEnabledAfter;
    bool stateAfter;
    std::string calls;
  };
  const std::string reload = "systemctl --system daemon-reload\n";
  const Step steps[] = {
      {"install", "postinst", {"configure", ""}, false, false, false, true, reload},
      {"upgrade, old prerm", "prerm", {"upgrade", MORLUND_VERSION}, true, false, true, true, ""},
      {"upgrade, old postrm", "postrm", {"upgrade", MORLUND_VERSION}, false, false, true, true, ""},
      {"upgrade", "postinst", {"configure", MORLUND_VERSION}, false, false, true, true, reload},
      {"remove, prerm",
       "prerm",
       {"remove"},
       false,
       false,
       true,
       true,
       "deb-systemd-invoke stop morlund-export.timer\n"},
      {"remove, postrm", "postrm", {"remove"}, false, true, false, true, reload},
      {"purge", "postrm", {"purge"}, false, false, false, false, ""},
  };
  std::string passwdLine;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.siteEnablesTimerBefore) {
      test::makeDirs(installed("/etc/systemd/system/timers.target.wants"));
      std::filesystem::create_symlink(timer, installed(enableLink));
    }
    if (step.unitsRemovedBefore) {
      std::filesystem::remove(installed(timer));
      std::filesystem::remove(installed("/usr/lib/systemd/system/morlund-export.service"));
    }
    std::vector<std::string> argv = {
        "/usr/bin/unshare",
        "--mount",
        "--propagation",
        "private",
        "/bin/sh",
        "-c",
        "mount --bind \"$1/etc\" /etc && mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system"
        " && shift && exec /bin/sh \"$@\"",
        "sh",
        root_.path(),
        control.file(step.script)};
    argv.insert(argv.end(), step.args.begin(), step.args.end());
    size_t callsBefore = test::readFile(stubs.file("calls")).size();
    auto ran = test::runProcess(argv, "/",
                                {{"PATH", stubs.path() + ":/usr/sbin:/usr/bin:/sbin:/bin"},
                                 {"DPKG_ROOT", root_.path()},
                                 {"DPKG_MAINTSCRIPT_PACKAGE", "morlund-mssql"},
                                 {"DPKG_MAINTSCRIPT_NAME", step.script}});
    EXPECT_EQ(ran.exitStatus, 0) << ran.out << ran.err;
    EXPECT_EQ(test::readFile(stubs.file("calls")).substr(callsBefore), step.calls);
    EXPECT_EQ(std::filesystem::is_symlink(installed(enableLink)), step.timerEnabledAfter);
    EXPECT_EQ(test::fileExists(installed(record)), step.stateAfter);
    EXPECT_EQ(test::fileExists(installed(stamp)), step.stateAfter);

    // The system user of the service, created once and never taken away.
    std::string user;
    for (const std::string& line : lines(test::readFile(installed("/etc/passwd")))) {
      if (line.rfind(name + ":", 0) == 0) {
        user = line;
      }
    }
    if (passwdLine.empty()) {
      passwdLine = user;
    }
    EXPECT_EQ(user, passwdLine);
  }

  std::vector<std::string> fields;
  std::istringstream entry(passwdLine);
  for (std::string field; std::getline(entry, field, ':');) {
    fields.push_back(field);
  }
  ASSERT_EQ(fields.size(), 7u) << passwdLine;
  EXPECT_GE(std::stoi(fields[2]), 100) << passwdLine;
  EXPECT_LT(std::stoi(fields[2]), 1000) << passwdLine;
  EXPECT_EQ(fields[5], "/nonexistent");
  EXPECT_EQ(fields[6], "/usr/sbin/nologin");
  EXPECT_NE(test::readFile(installed("/etc/group")).find("\n" + name + ":x:" + fields[3] + ":"),
            std::string::npos);
}
}  // namespace
