// Morlund_Settings check on a stand-in installation: every precondition ok,
// then one broken at a time, each time followed by a pass that must fail
// exactly where the check said it would.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "DriverPathSupport.h"
#include "InstallationSupport.h"
#include "PassSupport.h"
#include "ProgramSupport.h"
#include "StandinSupport.h"
#include "files/BookingJournal.h"
#include "files/LineArchive.h"
#include "settings/ValueCipher.h"

namespace {

using test::DriverPath;

const char kLogin[] = "zeitexport";
const char kPassword[] = "Kennwort-7391";

enum Line {
  kWorkingDirectory,
  kSettings,
  kDataSource,
  kLogin_,
  kCharset,
  kServerTime,
  kCursor,
  kMarking,
  kPurge,
  kLogDirectory,
  kJournal,
  kArchive,
  kTarget,
  kLines
};

// A pass's installation: working directory, log directory, target directory
// and a stand-in database with two bookings to transfer and one transferred,
// reached along one of the driver paths by the programs of one build.
struct CheckSite : test::SiteLayout {
  test::StandinDatabase database{root.file("odbc")};
  test::DriverPathEnvironment driverPath;
  test::Program program;
  std::string target = root.file("transfer");
  std::map<std::string, std::string> environment = driverPath.environment();

  explicit CheckSite(DriverPath path = DriverPath::kStandinDriver)
      : CheckSite(test::ProgramPath{test::Program::kLinux, path}) {}
  explicit CheckSite(test::ProgramPath variant)
      : driverPath(variant.driver, database), program(variant.program) {
    test::makeDirs(target);
    database.addLogin(kLogin, kPassword);
    database.execute(
        "INSERT INTO Kvl321Bew (BewIDN, BewUkz) VALUES ('1', NULL), ('2', 0), ('3', 4)");
    test::writeSettingsFile(settingsPath, kLogin, kPassword, "ZEIT");
  }

  // prefix: a command that runs the program (setpriv ...).
  test::ProcessResult check(std::vector<std::string> prefix = {},
                            std::vector<std::string> arguments = {"../../transfer"}) const {
    arguments.insert(arguments.begin(), {"check", "Vantoreum.ini"});
    return run(prefix, "Morlund_Settings", arguments);
  }

  test::ProcessResult pass(std::vector<std::string> prefix = {}) const {
    return run(prefix, "Morlund_MSSQL", {"Vantoreum.ini", "../../transfer"});
  }

  test::ProcessResult run(std::vector<std::string> prefix, const std::string& name,
                          const std::vector<std::string>& arguments) const {
    std::vector<std::string> command = test::programCommand(program, name, arguments);
    prefix.insert(prefix.end(), command.begin(), command.end());
    return test::runProcess(prefix, work, test::programEnvironment(program, environment));
  }

  // The port of the TDS server that the FreeTDS registration names.
  std::string tdsPort() const {
    std::string odbcIni = test::readFile(environment.at("ODBCINI"));
    std::string port = odbcIni.substr(odbcIni.find("Port = ") + 7);
    return port.substr(0, port.find('\n'));
  }

  // The FreeTDS registration, for cases that change it.
  void rewriteFreeTds(const std::string& odbcIni, const std::string& freetdsConf) const {
    test::writeFile(environment.at("ODBCINI"), odbcIni);
    test::writeFile(environment.at("FREETDSCONF"), freetdsConf);
  }

  // A data source on FreeTDS in place of the stand-in, on a port where
  // nothing listens.
  void useFreeTds(const std::string& charsetLine) {
    std::string driver = test::freeTdsDriver();
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

using test::lines;

// The month file the site's passes archive their lines in now.
std::string archiveFileOfThisMonth(const CheckSite& site) {
  PassTime::CivilTime now = PassTime::localTimeAt(std::time(nullptr));
  return site.root.file(
      std::string("Vantoreum_php/log/").append(LineArchive::monthFileName(now.year, now.month)));
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

class SettingsCheckOnBothPathsTest : public test::ProgramPathTest {};

TEST_P(SettingsCheckOnBothPathsTest, DemoInstallationPassesAndStaysAsItWas) {
  CheckSite site(GetParam());
  std::string before = snapshot(site.root.path());
  auto before_rows = site.database.query("SELECT * FROM Kvl321Bew ORDER BY BewIDN");
  // The pass's own argument forms: a directory, then the echo switch.
  auto result = site.check({}, {"../../transfer", "/D"});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(outcomes(result.out), std::vector<std::string>(kLines, "ok")) << result.out;
  EXPECT_EQ(result.err, "");
  auto reported = lines(fromConsole(result.out));
  ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
  // Windows cannot lock a directory: its passes always lock the lock file.
  EXPECT_EQ(reported[kWorkingDirectory],
            "ok    working directory " + programPath(site.work) + ": no pass runs here now" +
                (windows() ? "; the directory cannot be locked, so passes lock its file "
                             "Morlund_MSSQL.lock"
                           : ""));
  EXPECT_EQ(reported[kSettings], "ok    settings file " + programPath(site.settingsPath) +
                                     ": LOGIN, PASS and DATABASE found");
  // Read from the registration the same on both (Windows' registry, where
  // the tests register the data source as unixODBC's files do).
  EXPECT_EQ(reported[kDataSource], driverPath() == DriverPath::kFreeTds
                                       ? "ok    data source ZEIT: registered, driver FreeTDS (" +
                                             test::freeTdsDriver() + ")"
                                       : "ok    data source ZEIT: registered, driver " +
                                             test::buildDir() + "/libSqlServerStandin.so");
  EXPECT_EQ(reported[kCharset],
            "ok    client charset: CHAR(128) arrives as byte 80, the euro sign of Windows-1252");
  EXPECT_EQ(reported[kCursor],
            "ok    booking cursor: opened; bookings wait for transfer, the first with ID '1'");
  // The server and port come from the registration too.
  EXPECT_EQ(reported[kLogin_], "ok    login as zeitexport on ZEIT" +
                                   (driverPath() == DriverPath::kFreeTds
                                        ? " (server 127.0.0.1, port " + site.tdsPort() + ")"
                                        : std::string()) +
                                   ": connected");
  EXPECT_EQ(
      reported[kLogDirectory],
      "ok    run log directory " + programPath(site.root.file("Vantoreum_php/log")) + ": writable");
  std::string archiveLine = "ok    archive of sent lines ";
  archiveLine.append(programPath(site.root.file("Vantoreum_php/log/Morlund_MSSQL.archive.*")))
      .append(": writable; holds no pass of this installation");
  EXPECT_EQ(reported[kArchive], archiveLine);
  EXPECT_EQ(reported[kTarget],
            "ok    target directory " + programPath(site.target) + ": can create BEWDATA.dat");
  EXPECT_EQ(snapshot(site.root.path()), before);
  EXPECT_EQ(site.database.query("SELECT * FROM Kvl321Bew ORDER BY BewIDN"), before_rows);

  // The echo switch in place of the directory leaves the transfer file in
  // the working directory, as in the pass.
  test::writeFile(site.transferPath, "");
  auto echo = site.check({}, {"/d", "../../transfer"});
  EXPECT_EQ(echo.exitStatus, 0) << echo.out;
  reported = lines(fromConsole(echo.out));
  ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
  EXPECT_EQ(reported[kTarget], "ok    target directory " + programPath(site.work) +
                                   ": can append to BEWDATA.dat and create it anew");
}

INSTANTIATE_TEST_SUITE_P(, SettingsCheckOnBothPathsTest, test::kEveryProgramAndDriverPath,
                         test::programPathName);

// Each case breaks one precondition. The check's lines must say so where
// it lies, and a pass run right after must fail there and nowhere else:
// a check that says ok while the pass fails is worse than none.
TEST(SettingsCheckTest, EachBrokenPreconditionFailsWhereThePassFails) {
  struct Case {
    const char* what;
    DriverPath path;
    std::function<void(CheckSite&)> breakIt;
    std::vector<std::string> expected;
    Line line;
    const char* reason;
    int passStatus;       // -1: no pass is run
    const char* passErr;  // a part of the pass's standard error; "" for none at all
  };
  const DriverPath kStandin = DriverPath::kStandinDriver;
  const DriverPath kFreeTds = DriverPath::kFreeTds;
  const std::string ok = "ok";
  auto allOkBut = [](std::initializer_list<std::pair<Line, const char*>> changes) {
    std::vector<std::string> words(kLines, "ok");
    for (const auto& [line, word] : changes) {
      words[line] = word;
    }
    return words;
  };
  const std::vector<std::string> noSettings = allOkBut({{kSettings, "FAIL"},
                                                        {kDataSource, "skip"},
                                                        {kLogin_, "skip"},
                                                        {kCharset, "skip"},
                                                        {kServerTime, "skip"},
                                                        {kCursor, "skip"},
                                                        {kMarking, "skip"},
                                                        {kPurge, "skip"}});
  const std::vector<std::string> noLogin = allOkBut({{kLogin_, "FAIL"},
                                                     {kCharset, "skip"},
                                                     {kServerTime, "skip"},
                                                     {kCursor, "skip"},
                                                     {kMarking, "skip"},
                                                     {kPurge, "skip"}});
  std::vector<std::string> noDataSource = noLogin;
  noDataSource[kDataSource] = "FAIL";
  noDataSource[kLogin_] = "skip";
  std::vector<std::string> unusablePassword = noSettings;
  unusablePassword[kDataSource] = "ok";
  const char* refused = "cannot connect to data source";
  const std::string wrongPassword = "Falsch-5512";
  const Case cases[] = {
      {"settings file missing", kStandin,
       [](CheckSite& site) { std::remove(site.settingsPath.c_str()); }, noSettings, kSettings,
       "No such file or directory", 97, "cannot use the settings file"},
      {"settings path is a directory", kStandin,
       [](CheckSite& site) {
         std::remove(site.settingsPath.c_str());
         test::makeDirs(site.settingsPath);
       },
       noSettings, kSettings, "not a regular file", 97, "not a regular file"},
      {"password that was not written by the cipher", kStandin,
       [](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, "Kenn\x01wort", "ZEIT");
       },
       unusablePassword, kSettings, "PASS does not decrypt to printable ASCII", 255, refused},
      {"a file that is no settings file at all", kStandin,
       [](CheckSite& site) { test::writeFile(site.settingsPath, "hello\nworld\n"); }, noSettings,
       kSettings, "record 1 answers the lookups of both LOGIN and PASS", 255, refused},
      {"a first record numbered 0 answers every lookup with the password", kStandin,
       [](CheckSite& site) {
         test::writeFile(site.settingsPath,
                         ";DB;\r\n0;PASS;" + ValueCipher::encryptValue(kPassword) + "\r\n");
       },
       noSettings, kSettings, "record 1 answers the lookups of both LOGIN and PASS", 255,
       "cannot connect to data source '(the password; not shown)' as user '(the password; not "
       "shown)'"},
      {"empty password, which the server takes", kStandin,
       [](CheckSite& site) {
         site.database.addLogin(kLogin, "");
         test::writeSettingsFile(site.settingsPath, kLogin, "", "ZEIT");
       },
       allOkBut({}), kSettings, "PASS is empty, so the pass logs in without a password", 1, ""},
      {"login the same as the password", kStandin,
       [](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kPassword, kPassword, "ZEIT");
       },
       noLogin, kLogin_, "login as (the password; not shown) on ZEIT: SQLSTATE 28000", 255,
       "as user '(the password; not shown)'"},
      {"wrong password", kStandin,
       [&](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, wrongPassword, "ZEIT");
       },
       noLogin, kLogin_, "SQLSTATE 28000", 255, refused},
      {"unknown data source", kStandin,
       [](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, kPassword, "NOSUCHDSN");
       },
       noDataSource, kDataSource, "not registered", 255, refused},
      {"data source name longer than the driver manager takes", kStandin,
       [](CheckSite& site) {
         test::writeSettingsFile(site.settingsPath, kLogin, kPassword, std::string(35, 'Z'));
       },
       noDataSource, kDataSource,
       "the name has 35 characters; the ODBC driver manager refuses names longer than 32", 255,
       refused},
      {"FreeTDS, nothing listening: every record of the refusal", kStandin,
       [](CheckSite& site) { site.useFreeTds("ClientCharset = CP1252\n"); }, noLogin, kLogin_,
       "SQLSTATE 08S01, native error 20009: [unixODBC][FreeTDS][SQL Server]Unable to connect: "
       "Adaptive Server is unavailable or does not exist | SQLSTATE 08001",
       255, "| SQLSTATE 08001"},
      {"FreeTDS without ClientCharset", kFreeTds,
       [](CheckSite& site) {
         test::registerFreeTdsDataSource(site.database.iniDirectory() + "/freetds",
                                         std::stoi(site.tdsPort()), "");
       },
       allOkBut({{kCharset, "FAIL"}}), kCharset, "CHAR(128) arrives as bytes 3F, not as byte 80", 1,
       ""},
      {"busy connection", kStandin, [](CheckSite& site) { site.database.setControl("busy", "1"); },
       allOkBut({{kMarking, "FAIL"}}), kMarking,
       "the marking request fails beside the open booking cursor: SQLSTATE HY000", 1,
       "Connection is busy with results for another command"},
      {"busy connection through FreeTDS", kFreeTds,
       [](CheckSite& site) { site.database.setControl("busy", "1"); },
       allOkBut({{kMarking, "FAIL"}}), kMarking, "Connection is busy with results", 1,
       "Connection is busy with results for another command"},
      // A server that closes cursors at a COMMIT (CURSOR_CLOSE_ON_COMMIT ON)
      // would end every pass after its first rowset.
      {"cursors closed at a COMMIT", kStandin,
       [](CheckSite& site) { site.database.setControl("cursor_close_on_commit", "1"); },
       allOkBut({{kMarking, "FAIL"}}), kMarking,
       "the booking cursor fails after the marking request's COMMIT: SQLSTATE HY000, native "
       "error 16950",
       1, "reading the bookings failed after"},
      {"cursors closed at a COMMIT through FreeTDS", kFreeTds,
       [](CheckSite& site) { site.database.setControl("cursor_close_on_commit", "1"); },
       allOkBut({{kMarking, "FAIL"}}), kMarking, "native error 16950", 1,
       "reading the bookings failed after"},
      {"a column of the booking SELECT missing", kStandin,
       [](CheckSite& site) { site.database.execute("ALTER TABLE Kvl321Bew DROP COLUMN BewRes"); },
       allOkBut({{kCursor, "FAIL"}, {kMarking, "skip"}}), kCursor, "SQLSTATE 42S22", 1,
       "cannot open the booking cursor: SQLSTATE 42S22"},
      {"UPDATE refused", kStandin,
       [](CheckSite& site) { site.database.setControl("fail.update", "1,229,42000"); },
       // The pass's request fails as a whole; marked one by one, the later
       // UPDATEs are no longer refused.
       allOkBut({{kMarking, "FAIL"}}), kMarking, "native error 229", 1,
       "did not tell that each of them was marked (SQLSTATE 42000, native error 229"},
      {"DELETE refused", kStandin,
       [](CheckSite& site) { site.database.setControl("fail.delete", "1,229,42000"); },
       allOkBut({{kPurge, "FAIL"}}), kPurge, "native error 229", 1, "purging old transferred"},
      {"log directory missing", kStandin,
       [](CheckSite& site) { rmdir(site.root.file("Vantoreum_php/log").c_str()); },
       allOkBut({{kLogDirectory, "FAIL"}, {kJournal, "note"}, {kArchive, "note"}}), kLogDirectory,
       "does not exist", 1, "cannot open the run log"},
      {"journal is a directory", kStandin,
       [](CheckSite& site) {
         test::makeDirs(site.root.file("Vantoreum_php/log/Morlund_MSSQL.journal"));
       },
       allOkBut({{kJournal, "note"}, {kArchive, "note"}}), kJournal,
       "cannot be read (not a regular file)", 1, "cannot use the journal of written bookings"},
      {"archive of sent lines without the journal", kStandin,
       [](CheckSite& site) {
         test::makeDirs(site.root.file("Vantoreum_php/log/Morlund_MSSQL.journal"));
       },
       allOkBut({{kJournal, "note"}, {kArchive, "note"}}), kArchive,
       "passes here archive no line, as they keep no journal; holds no pass of this installation",
       1, "nor does it archive its lines"},
      {"archive file of this month is a directory", kStandin,
       [](CheckSite& site) { test::makeDirs(archiveFileOfThisMonth(site)); },
       allOkBut({{kArchive, "note"}}), kArchive,
       ": not a regular file); Morlund_Settings replay cannot send lines again", 1,
       "cannot open the archive of sent lines"},
      {"archive holds passes, and damage", kStandin,
       [](CheckSite& site) {
         char* work = realpath(site.work.c_str(), nullptr);
         std::string installation = std::string(work) + " (data source ZEIT)";
         free(work);
         std::string bytes;
         for (const char* passTime : {"01.06.2015 08:05:00", "01.06.2015 08:00:00"}) {
           LineArchive::ArchivedLine line;
           line.installation = installation;
           line.passTime = passTime;
           line.line = "1,,,,,,,,,,,,204,,,,\n";
           bytes += LineArchive::encode(line) + (bytes.empty() ? "damage" : "");
           line.installation = "/elsewhere (data source ZEIT)";
           line.passTime = "01.01.2015 08:00:00";
           bytes += LineArchive::encode(line);
         }
         test::writeFile(archiveFileOfThisMonth(site), bytes);
       },
       allOkBut({{kArchive, "note"}}), kArchive,
       "writable; holds 2 passes of this installation, the oldest 01.06.2015 08:00:00, 2 lines; "
       "1 file of ",
       1, ""},
      {"journal holds a booking whose file was taken", kStandin,
       [](CheckSite& site) {
         BookingJournal::WrittenBooking held;
         held.sequence = 7;
         char* work = realpath(site.work.c_str(), nullptr);
         held.installation = std::string(work) + " (data source ZEIT)";
         free(work);
         held.key.BewIDN = "1";
         held.transferPath = "../../transfer/BEWDATA.dat";
         held.line = "1,,,,,,,,,,,,204,,,,\n";
         test::writeFile(site.root.file("Vantoreum_php/log/Morlund_MSSQL.journal"),
                         BookingJournal::encodeWritten(held));
       },
       allOkBut({{kJournal, "note"}}), kJournal, "holds 1 booking written by an earlier pass", 1,
       "may reach the payroll side twice"},
      {"target directory missing", kStandin, [](CheckSite& site) { rmdir(site.target.c_str()); },
       allOkBut({{kTarget, "FAIL"}}), kTarget, "does not exist", 90,
       "cannot create the transfer file"},
      {"target directory is a file", kStandin,
       [](CheckSite& site) {
         rmdir(site.target.c_str());
         test::writeFile(site.target, "");
       },
       allOkBut({{kTarget, "FAIL"}}), kTarget, "is not a directory", 90,
       "cannot create the transfer file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CheckSite site(c.path);
    c.breakIt(site);
    auto result = site.check();
    bool failed = std::find(c.expected.begin(), c.expected.end(), "FAIL") != c.expected.end();
    EXPECT_EQ(result.exitStatus, failed ? 1 : 0);
    EXPECT_EQ(outcomes(result.out), c.expected) << result.out;
    EXPECT_EQ(result.err, "");
    auto reported = lines(result.out);
    if (reported.size() == static_cast<size_t>(kLines)) {
      EXPECT_NE(reported[c.line].find(c.reason), std::string::npos) << reported[c.line];
    }
    auto pass = site.pass();
    EXPECT_EQ(pass.exitStatus, c.passStatus) << pass.err;
    if (*c.passErr == '\0') {
      EXPECT_EQ(pass.err, "");
    } else {
      EXPECT_NE(pass.err.find(c.passErr), std::string::npos) << pass.err;
    }
    for (const std::string& password : {std::string(kPassword), wrongPassword}) {
      for (const std::string* shown : {&result.out, &result.err, &pass.out, &pass.err}) {
        EXPECT_EQ(shown->find(password), std::string::npos) << *shown;
      }
    }
  }
}

// As on NFS: a directory opened for reading cannot be locked.
void lockFileOnly(CheckSite& site) {
  for (const auto& [name, value] : test::fileFaults({{"MORLUND_FAULT_DIRECTORY_LOCK", "1"}})) {
    site.environment[name] = value;
  }
}

// Where the check says ok although something is unusual, the pass runs.
TEST(SettingsCheckTest, UnusualButWorkingSitesAreOk) {
  struct Case {
    const char* what;
    DriverPath path;
    std::function<void(CheckSite&)> change;
    bool passRunsNow;
    Line line;
    const char* expected;  // the line after its first word
  };
  const Case cases[] = {
      {"ClientCharset in freetds.conf, not in the data source", DriverPath::kFreeTds,
       [](CheckSite& site) {
         site.rewriteFreeTds("[ZEIT]\nDriver = FreeTDS\nServername = standin\nTDS_Version = 7.4\n",
                             "[standin]\nhost = 127.0.0.1\nport = " + site.tdsPort() +
                                 "\nclient charset = CP1252\n");
       },
       false, kCharset,
       "ok    client charset: CHAR(128) arrives as byte 80, the euro sign of Windows-1252"},
      {"a pass runs now", DriverPath::kStandinDriver, [](CheckSite&) {}, true, kWorkingDirectory,
       "note  working directory WORK: a pass runs here now (it holds the pass lock); a pass "
       "started meanwhile waits for it"},
      {"a directory that cannot be locked", DriverPath::kStandinDriver, lockFileOnly, false,
       kWorkingDirectory,
       "ok    working directory WORK: no pass runs here now; the directory cannot be locked, so "
       "passes lock its file Morlund_MSSQL.lock"},
      {"a pass runs now, holding the lock file", DriverPath::kStandinDriver, lockFileOnly, true,
       kWorkingDirectory,
       "note  working directory WORK: a pass runs here now (it holds the pass lock); a pass "
       "started meanwhile waits for it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CheckSite site(c.path);
    c.change(site);
    // The lock a running pass holds on its working directory, or on the
    // lock file where the directory cannot be locked.
    bool fileLock = site.environment.count("MORLUND_FAULT_DIRECTORY_LOCK") != 0;
    int lock = fileLock ? open((site.work + "/Morlund_MSSQL.lock").c_str(), O_RDWR | O_CREAT, 0666)
                        : open(site.work.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(lock, 0);
    if (c.passRunsNow) {
      ASSERT_EQ(flock(lock, LOCK_EX), 0);
    }
    auto result = site.check();
    close(lock);
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    auto reported = lines(result.out);
    ASSERT_EQ(reported.size(), static_cast<size_t>(kLines));
    std::string expected = c.expected;
    if (expected.find("WORK") != std::string::npos) {
      expected.replace(expected.find("WORK"), 4, site.work);
    }
    EXPECT_EQ(reported[c.line], expected);
    auto pass = site.pass();
    EXPECT_EQ(pass.exitStatus, 1);
    EXPECT_EQ(pass.err, "");
    std::string written = test::readFile(site.target + "/BEWDATA.dat");
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 2) << written;
  }
}

// Root writes into any directory whatever its mode; the check and the pass
// then run without that privilege, as the service's own user would.
TEST(SettingsCheckTest, TargetPermissionsAsThePassMeetsThem) {
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    prefix = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    auto probe = test::runProcess({prefix[0], prefix[1], prefix[2], "/bin/true"}, "/");
    if (probe.exitStatus != 0) {
      GTEST_SKIP() << "running as root and cannot drop CAP_DAC_OVERRIDE (setpriv: " << probe.err
                   << "); a read-only directory cannot be shown";
    }
  }
  struct Case {
    const char* what;
    mode_t directoryMode;
    int fileMode;  // -1: no BEWDATA.dat
    const char* line;
    int passStatus;
  };
  const Case cases[] = {
      {"read-only directory", 0555, -1,
       "FAIL  target directory TARGET: cannot create BEWDATA.dat: Permission denied", 90},
      {"read-only transfer file", 0755, 0444,
       "FAIL  target directory TARGET: BEWDATA.dat is not writable: Permission denied", 90},
      {"read-only directory, writable transfer file", 0555, 0644,
       "ok    target directory TARGET: can append to the existing BEWDATA.dat; could not "
       "re-create it (Permission denied), so a pass after it was taken away ends with status 90",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CheckSite site;
    std::string transferFile = site.target + "/BEWDATA.dat";
    if (c.fileMode >= 0) {
      test::writeFile(transferFile, "");
      ASSERT_EQ(chmod(transferFile.c_str(), static_cast<mode_t>(c.fileMode)), 0);
    }
    ASSERT_EQ(chmod(site.target.c_str(), c.directoryMode), 0);
    auto result = site.check(prefix);
    EXPECT_EQ(result.exitStatus, c.passStatus == 1 ? 0 : 1) << result.out << result.err;
    auto reported = lines(result.out);
    ASSERT_EQ(reported.size(), static_cast<size_t>(kLines)) << result.out;
    std::string expected = c.line;
    expected.replace(expected.find("TARGET"), 6, site.target);
    EXPECT_EQ(reported[kTarget], expected);
    auto pass = site.pass(prefix);
    EXPECT_EQ(pass.exitStatus, c.passStatus) << pass.err;
    chmod(site.target.c_str(), 0755);
  }
}

}  // namespace
