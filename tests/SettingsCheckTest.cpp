// Morlund_Settings check on a stand-in installation: every precondition ok,
// then one broken at a time.

#include <arpa/inet.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "InstallationSupport.h"
#include "StandinSupport.h"
#include "settings/ValueCipher.h"

namespace {

const char kLogin[] = "zeitexport";
const char kPassword[] = "Kennwort-7391";

enum Line { kSettings, kDataSource, kCharset, kLogin_, kTable, kLogDirectory, kTarget, kLines };

// A pass's installation: working directory, log directory, target directory
// and a stand-in database with two bookings to transfer and one transferred.
struct CheckSite : test::SiteLayout {
  test::StandinDatabase database{root.file("odbc")};
  std::string target = root.file("transfer");
  std::map<std::string, std::string> environment = database.odbcEnvironment();

  CheckSite() {
    test::makeDirs(target);
    database.addLogin(kLogin, kPassword);
    database.execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewUkz) VALUES ('1', NULL), ('2', 0), ('3', 4)");
    test::writeSettingsFile(settingsPath, kLogin, kPassword, "ZEIT");
  }

  test::ProcessResult check(std::vector<std::string> prefix = {},
                            const std::string& targetArgument = "../../transfer") const {
    prefix.insert(prefix.end(), {test::buildDir() + "/Morlund_Settings", "check", "Vantoreum.ini",
                                 targetArgument});
    return test::runProcess(prefix, work, environment);
  }

  // A data source on FreeTDS in place of the stand-in, on a port where
  // nothing listens.
  void useFreeTds(const std::string& charsetLine) {
    glob_t found{};
    std::string driver;
    if (glob("/usr/lib/*/odbc/libtdsodbc.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
      driver = found.gl_pathv[0];
    }
    globfree(&found);
    ASSERT_FALSE(driver.empty()) << "tdsodbc is not installed";
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(fd);
    test::writeFile(database.iniDirectory() + "/odbcinst.ini",
                    "[FreeTDS]\nDriver = " + driver + "\n");
    test::writeFile(database.iniDirectory() + "/odbc.ini",
                    "[ZEIT]\nDriver = FreeTDS\nServer = 127.0.0.1\nPort = " +
                        std::to_string(ntohs(address.sin_port)) + "\nTDS_Version = 7.4\n" +
                        charsetLine);
  }
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    result.push_back(line);
  }
  return result;
}

// The first word of each line: ok, FAIL or skip.
std::vector<std::string> outcomes(const std::string& text) {
  std::vector<std::string> words;
  for (const std::string& line : lines(text)) {
    words.push_back(line.substr(0, line.find(' ')));
  }
  return words;
}

// Names, sizes, modes and modification times of everything under a
// directory, to show that a check left it as it was.
std::string snapshot(const std::string& directory) {
  std::ostringstream out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    struct stat info;
    lstat(entry.path().c_str(), &info);
    out << entry.path().string() << ' ' << info.st_size << ' ' << info.st_mode << ' '
        << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << '\n';
  }
  return out.str();
}

TEST(SettingsCheckTest, DemoInstallationPassesAndStaysAsItWas) {
  CheckSite site;
  std::string before = snapshot(site.root.path());
  auto result = site.check();
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(outcomes(result.out), std::vector<std::string>(kLines, "ok")) << result.out;
  EXPECT_EQ(result.err, "");
  auto reported = lines(result.out);
  ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
  EXPECT_NE(reported[kTable].find(": 2 bookings not yet transferred"), std::string::npos)
      << reported[kTable];
  EXPECT_NE(reported[kLogin_].find("zeitexport on ZEIT"), std::string::npos);
  EXPECT_NE(reported[kLogDirectory].find(site.root.file("Vantoreum_php/log")), std::string::npos);
  EXPECT_NE(reported[kTarget].find(site.target), std::string::npos);
  EXPECT_EQ(result.out.find(kPassword), std::string::npos);
  EXPECT_EQ(snapshot(site.root.path()), before);
  EXPECT_EQ(site.database.query("SELECT BewIDN, BewUkz FROM Kvl321Bew ORDER BY BewIDN"),
            (std::vector<std::vector<std::string>>{{"1", "NULL"}, {"2", "0"}, {"3", "4"}}));

  // The echo switch in place of the directory leaves the transfer file in
  // the working directory, as in the pass.
  auto echo = site.check({}, "/d");
  EXPECT_EQ(echo.exitStatus, 0) << echo.out;
  reported = lines(echo.out);
  ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
  EXPECT_EQ(reported[kTarget], "ok    target directory .: writable (" + site.work + ")");
}

TEST(SettingsCheckTest, EachBrokenPreconditionFailsItsOwnLine) {
  struct Case {
    const char* what;
    std::function<void(CheckSite&)> breakIt;
    std::vector<std::string> expected;
    Line failing;
    const char* reason;
  };
  const std::string wrongPassword = "Falsch-5512";
  const Case cases[] = {
      {"settings file missing",
       [](CheckSite& site) { std::remove(site.settingsPath.c_str()); },
       {"FAIL", "skip", "skip", "skip", "skip", "ok", "ok"},
       kSettings,
       "No such file or directory"},
      {"settings path is a directory",
       [](CheckSite& site) {
         std::remove(site.settingsPath.c_str());
         test::makeDirs(site.settingsPath);
       },
       {"FAIL", "skip", "skip", "skip", "skip", "ok", "ok"},
       kSettings,
       "not a regular file"},
      {"password that was not written by the cipher",
       [](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, "Kenn\x01wort", "ZEIT");
       },
       {"FAIL", "ok", "ok", "skip", "skip", "ok", "ok"},
       kSettings,
       "PASS does not decrypt to printable text"},
      {"wrong password",
       [&](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, wrongPassword, "ZEIT");
       },
       {"ok", "ok", "ok", "FAIL", "skip", "ok", "ok"},
       kLogin_,
       "SQLSTATE 28000"},
      {"unknown data source",
       [](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, kPassword, "NOSUCHDSN");
       },
       {"ok", "FAIL", "skip", "skip", "skip", "ok", "ok"},
       kDataSource,
       "not registered"},
      {"FreeTDS data source without ClientCharset",
       [](CheckSite& site) { site.useFreeTds(""); },
       {"ok", "ok", "FAIL", "FAIL", "skip", "ok", "ok"},
       kCharset,
       "ClientCharset is not set"},
      {"FreeTDS data source with another ClientCharset",
       [](CheckSite& site) { site.useFreeTds("ClientCharset = UTF-8\n"); },
       {"ok", "ok", "FAIL", "FAIL", "skip", "ok", "ok"},
       kCharset,
       "ClientCharset is UTF-8"},
      {"FreeTDS data source with CP1252, nothing listening",
       [](CheckSite& site) { site.useFreeTds("ClientCharset = CP1252\n"); },
       {"ok", "ok", "ok", "FAIL", "skip", "ok", "ok"},
       kLogin_,
       "SQLSTATE 08"},
      {"booking table missing",
       [](CheckSite& site) { site.database.execute("DROP TABLE Kvl321Bew"); },
       {"ok", "ok", "ok", "ok", "FAIL", "ok", "ok"},
       kTable,
       "SQLSTATE"},
      {"log directory missing",
       [](CheckSite& site) { rmdir(site.root.file("Vantoreum_php/log").c_str()); },
       {"ok", "ok", "ok", "ok", "ok", "FAIL", "ok"},
       kLogDirectory,
       "does not exist"},
      {"target directory missing",
       [](CheckSite& site) { rmdir(site.target.c_str()); },
       {"ok", "ok", "ok", "ok", "ok", "ok", "FAIL"},
       kTarget,
       "does not exist"},
      {"target directory is a file",
       [](CheckSite& site) {
         rmdir(site.target.c_str());
         test::writeFile(site.target, "");
       },
       {"ok", "ok", "ok", "ok", "ok", "ok", "FAIL"},
       kTarget,
       "is not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CheckSite site;
    c.breakIt(site);
    auto result = site.check();
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(outcomes(result.out), c.expected) << result.out;
    auto reported = lines(result.out);
    if (reported.size() == static_cast<size_t>(kLines)) {
      EXPECT_NE(reported[c.failing].find(c.reason), std::string::npos) << reported[c.failing];
    }
    for (const std::string& password : {std::string(kPassword), wrongPassword}) {
      EXPECT_EQ(result.out.find(password), std::string::npos);
      EXPECT_EQ(result.err.find(password), std::string::npos);
    }
  }
}

// Root writes into any directory whatever its mode; the check then runs
// without that privilege, as the service's own user would.
TEST(SettingsCheckTest, ReadOnlyTargetDirectoryFails) {
  CheckSite site;
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    prefix = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    auto probe = test::runProcess({prefix[0], prefix[1], prefix[2], "/bin/true"}, "/");
    if (probe.exitStatus != 0) {
      GTEST_SKIP() << "running as root and cannot drop CAP_DAC_OVERRIDE (setpriv: " << probe.err
                   << "); a read-only directory cannot be shown";
    }
  }
  ASSERT_EQ(chmod(site.target.c_str(), 0555), 0);
  auto result = site.check(prefix);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(outcomes(result.out),
            (std::vector<std::string>{"ok", "ok", "ok", "ok", "ok", "ok", "FAIL"}))
      << result.out << result.err;
  auto reported = lines(result.out);
  ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
  EXPECT_NE(reported[kTarget].find("not writable: Permission denied"), std::string::npos)
      << reported[kTarget];

  // An existing transfer file the pass could not append to fails as well.
  ASSERT_EQ(chmod(site.target.c_str(), 0755), 0);
  test::writeFile(site.target + "/BEWDATA.dat", "");
  ASSERT_EQ(chmod((site.target + "/BEWDATA.dat").c_str(), 0444), 0);
  result = site.check(prefix);
  EXPECT_EQ(result.exitStatus, 1);
  reported = lines(result.out);
  ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
  EXPECT_NE(reported[kTarget].find("FAIL  target directory ../../transfer: BEWDATA.dat is not "
                                   "writable"),
            std::string::npos)
      << reported[kTarget];
}

}  // namespace
