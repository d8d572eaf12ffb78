#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "InstallationSupport.h"
#include "ProgramSupport.h"
#include "TestSupport.h"
#include "files/PassMetrics.h"
#include "settings/SettingsFile.h"
#include "settings/ValueCipher.h"

namespace {

// The companion of Linux's build and of Windows' under Wine.
class MorlundSettingsTest : public test::ProgramPathTest {
 protected:
  test::ProcessResult run(const std::vector<std::string>& args, const std::string& cwd,
                          const std::string& stdinText = "",
                          test::ProcessOptions options = {}) const {
    return test::runProgram(program(), "Morlund_Settings", args, cwd, {}, stdinText, options);
  }
};
INSTANTIATE_TEST_SUITE_P(, MorlundSettingsTest, test::kBothPrograms, test::programName);

// A child that would read without end meets a memory limit and a deadline
// instead of exhausting the machine or hanging the test.
test::ProcessOptions bounded() {
  test::ProcessOptions options;
  options.memoryLimitMiB = 512;
  options.timeoutSeconds = 30;
  return options;
}

mode_t permissions(const std::string& path) {
  struct stat info;
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

using test::entries;

TEST_P(MorlundSettingsTest, WrittenFileReadsBackThroughBothReaders) {
  test::TempDir dir;
  auto written =
      run({"write", "Vantoreum.ini", "--login", "zeit_user", "--database", "ZEITDB", "--force"},
          dir.path(), "S3cr3t pass!\n");
  ASSERT_EQ(written.exitStatus, 0) << written.err;
  EXPECT_EQ(written.out, "");
  EXPECT_EQ(written.err.find("S3cr"), std::string::npos);

  std::string path = dir.file("Vantoreum.ini");
  if (!windows()) {  // the mode is the Linux file's protection
    EXPECT_EQ(permissions(path), 0600u);
  }
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Vantoreum.ini"});
  const std::pair<std::string, std::string> expected[] = {
      {"LOGIN", "zeit_user"}, {"PASS", "S3cr3t pass!"}, {"DATABASE", "ZEITDB"}};
  for (const auto& [key, value] : expected) {
    SCOPED_TRACE(key);
    EXPECT_EQ(SettingsFile::lookupSetting(path, "", key, 0), value);
    auto lookup = run({"lookup", path, key}, dir.path());
    EXPECT_EQ(lookup.exitStatus, 0);
    EXPECT_EQ(lookup.out, console(value + "\n"));
  }
  // CR LF line ends, and every line pair a header plus number;key;value.
  std::string content = test::readFile(path);
  EXPECT_EQ(content, ";DB;\r\n1;LOGIN;" + ValueCipher::encryptValue("zeit_user") +
                         "\r\n;DB;\r\n2;PASS;" + ValueCipher::encryptValue("S3cr3t pass!") +
                         "\r\n;DB;\r\n3;DATABASE;" + ValueCipher::encryptValue("ZEITDB") + "\r\n");
}

TEST_P(MorlundSettingsTest, PasswordLineEndsAreNotPartOfIt) {
  const std::pair<std::string, std::string> inputs[] = {
      {"pw\r\n", "pw"}, {"pw", "pw"}, {"\n", ""}, {"first\nsecond\n", "first"}};
  for (const auto& [input, password] : inputs) {
    SCOPED_TRACE(password);
    test::TempDir dir;
    auto written = run({"write", "s.ini", "--database", "DSN", "--login", "u"}, dir.path(), input);
    ASSERT_EQ(written.exitStatus, 0) << written.err;
    EXPECT_EQ(SettingsFile::lookupSetting(dir.file("s.ini"), "", "PASS", 0), password);
  }
}

TEST_P(MorlundSettingsTest, ExistingFileIsReplacedOnlyWithForce) {
  test::TempDir dir;
  std::string path = dir.file("Vantoreum.ini");
  test::writeFile(path, "keep me\n");
  chmod(path.c_str(), 0644);

  auto refused = run({"write", path, "--login", "u", "--database", "DSN"}, dir.path(), "pw\n");
  EXPECT_EQ(refused.exitStatus, 2);
  EXPECT_NE(refused.err.find("--force"), std::string::npos);
  EXPECT_EQ(test::readFile(path), "keep me\n");
  if (!windows()) {
    EXPECT_EQ(permissions(path), 0644u);
  }

  auto forced =
      run({"write", path, "--login", "u", "--database", "DSN", "--force"}, dir.path(), "pw\n");
  EXPECT_EQ(forced.exitStatus, 0) << forced.err;
  EXPECT_EQ(SettingsFile::lookupSetting(path, "", "PASS", 0), "pw");
  if (!windows()) {
    EXPECT_EQ(permissions(path), 0600u);
  }
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Vantoreum.ini"});
}

TEST_P(MorlundSettingsTest, RefusesValuesTheFileCannotCarry) {
  struct Case {
    const char* what;
    std::string login;
    std::string database;
    std::string stdinText;
    int exitStatus;
  };
  const Case cases[] = {
      {"96-byte password fits", "u", "DSN", std::string(96, 'p') + "\n", 0},
      {"97-byte password", "u", "DSN", std::string(97, 'p') + "\n", 2},
      {"97-byte login", std::string(97, 'u'), "DSN", "pw\n", 2},
      {"32-character data source", "u", std::string(32, 'd'), "pw\n", 0},
      {"33-character data source, more than the driver manager takes", "u", std::string(33, 'd'),
       "pw\n", 2},
      {"accented letter in password", "u", "DSN", "S3cr\xE9t\n", 2},
      {"tab in login", "u\tv", "DSN", "pw\n", 2},
      {"empty data source", "u", "", "pw\n", 2},
      {"empty login", "", "DSN", "pw\n", 2},
      {"line break in login", "u\nv", "DSN", "pw\n", 2},
      {"zero byte in password", "u", "DSN", std::string("p\0w\n", 4), 2},
      {"no password line at all", "u", "DSN", "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    auto result = run({"write", "s.ini", "--login", c.login, "--database", c.database}, dir.path(),
                      c.stdinText);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.err;
    if (c.exitStatus == 0) {
      EXPECT_EQ(SettingsFile::lookupSetting(dir.file("s.ini"), "", "DATABASE", 0), c.database);
    } else {
      EXPECT_FALSE(result.err.empty());
      EXPECT_TRUE(entries(dir.path()).empty());
    }
  }
}

TEST_P(MorlundSettingsTest, UnwritableTargetFailsWithStatus1) {
  test::TempDir dir;
  auto result = run({"write", dir.file("missing/s.ini"), "--login", "u", "--database", "DSN"},
                    dir.path(), "pw\n");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("missing/s.ini"), std::string::npos);
  auto lookup = run({"lookup", dir.file("absent.ini"), "LOGIN"}, dir.path());
  EXPECT_EQ(lookup.exitStatus, 1);
  EXPECT_EQ(lookup.out, "");
}

// A path that is no regular file is refused at once, without reading it:
// a FIFO has no writer, a device has no end.
TEST_P(MorlundSettingsTest, LookupRefusesWhatIsNoRegularFile) {
  test::TempDir dir;
  test::makeDirs(dir.file("directory.ini"));
  ASSERT_EQ(mkfifo(dir.file("fifo.ini").c_str(), 0600), 0);
  for (const std::string& path : {dir.file("directory.ini"), dir.file("fifo.ini"),
                                  std::string("/dev/zero"), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    if (path != dir.file("directory.ini") && linuxOnlyCase(path, "a FIFO or a Linux device")) {
      continue;
    }
    auto lookup = run({"lookup", path, "LOGIN"}, dir.path(), "", bounded());
    EXPECT_FALSE(lookup.timedOut);
    EXPECT_EQ(lookup.exitStatus, 1);
    EXPECT_EQ(lookup.out, "");
    EXPECT_EQ(lookup.err,
              console("Morlund_Settings: cannot read " + path + ": not a regular file\n"));
  }
}

// A huge regular file: the lookup reads its start only.
TEST_P(MorlundSettingsTest, LookupInAHugeFileEndsSoon) {
  test::TempDir dir;
  std::string path = dir.file("huge.ini");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 8LL << 30), 0);  // sparse: no disk space taken
  close(fd);
  auto lookup = run({"lookup", path, "LOGIN"}, dir.path(), "", bounded());
  EXPECT_FALSE(lookup.timedOut);
  EXPECT_EQ(lookup.exitStatus, 0) << lookup.err;
  EXPECT_EQ(lookup.out, console("\n"));
  EXPECT_LT(lookup.seconds, 10);
}

// The password is one line of bounded length; a longer one is refused
// without reading on, also from a source without end.
TEST_P(MorlundSettingsTest, PasswordInputIsBounded) {
  struct Case {
    const char* what;
    std::string stdinText;
    std::string stdinPath;
  };
  const Case cases[] = {
      {"endless zero bytes", "", "/dev/zero"},
      {"a line of 4 KiB", std::string(4096, 'p') + "\n", ""},
      {"4 KiB without a line end", std::string(4096, 'p'), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    test::ProcessOptions options = bounded();
    options.stdinPath = c.stdinPath;
    auto written = run({"write", "s.ini", "--login", "u", "--database", "DSN"}, dir.path(),
                       c.stdinText, options);
    EXPECT_FALSE(written.timedOut);
    EXPECT_EQ(written.exitStatus, 2);
    EXPECT_EQ(written.err, console("Morlund_Settings: the password is too long: at most 96 bytes "
                                   "can be stored\n"));
    EXPECT_TRUE(entries(dir.path()).empty());
  }
}

// Output that does not arrive is a failure: a full disk or a reader that
// went away gives status 1 and says so, whatever the command printed.
TEST_P(MorlundSettingsTest, FailedOutputGivesStatus1) {
  test::TempDir dir;
  test::writeFile(dir.file("s.ini"), ";DB;\n1;LOGIN;" + ValueCipher::encryptValue("u") + "\n");
  PassMetrics::writeAt(dir.file("m.prom"), {});
  const std::vector<std::string> commands[] = {
      {"encrypt", "secret"},
      {"decrypt", ValueCipher::encryptValue("secret")},
      {"lookup", "s.ini", "LOGIN"},
      {"metrics", "m.prom"},
      {"--help"},
      {"--version"},
  };
  for (const auto& args : commands) {
    for (bool full : {true, false}) {
      SCOPED_TRACE(args[0] + (full ? " > /dev/full" : " | closed pipe"));
      test::ProcessOptions options;
      options.timeoutSeconds = 30;
      if (full) {
        options.stdoutPath = "/dev/full";
      } else {
        options.stdoutReadLimit = 0;
      }
      auto result = run(args, dir.path(), "", options);
      EXPECT_EQ(result.signal, 0);
      EXPECT_EQ(result.exitStatus, 1);
      std::string reason = systemText(full ? "No space left on device" : "Broken pipe");
      // A write that failed before the last flush (Windows' C runtime
      // writes short lines at once) leaves no cause to tell.
      if (windows() && result.err.find(": write error") != std::string::npos) {
        reason = "write error";
      }
      EXPECT_EQ(result.err,
                console("Morlund_Settings: cannot write to standard output: " + reason + "\n"));
    }
  }
}

TEST_P(MorlundSettingsTest, EncryptAndDecryptUseTheStoredForm) {
  test::TempDir dir;
  auto encrypted = run({"encrypt", "Geheim!"}, dir.path());
  EXPECT_EQ(encrypted.exitStatus, 0);
  EXPECT_EQ(encrypted.out, console(ValueCipher::encryptValue("Geheim!") + "\n"));
  auto decrypted = run({"decrypt", ValueCipher::encryptValue("Geheim!")}, dir.path());
  EXPECT_EQ(decrypted.exitStatus, 0);
  EXPECT_EQ(decrypted.out, console("Geheim!\n"));
}

// The payroll side's way to take the transfer file: whole lines only, never
// over a file it took before and has not read yet.
TEST_P(MorlundSettingsTest, TakeMovesTheTransferFileOrSaysWhyNot) {
  struct Case {
    const char* what;
    std::string before;  // BEWDATA.dat; "/" for a directory, "" for none
    std::string destinationBefore;
    int exitStatus;
    std::string taken;     // the destination afterwards
    std::string left;      // BEWDATA.dat afterwards ("" when gone)
    std::string errStart;  // standard error begins so ("" for none)
  };
  const Case cases[] = {
      {"whole lines", "a,1\nb,2\n", "", 0, "a,1\nb,2\n", "", ""},
      {"torn end", "a,1\nb,", "", 0, "a,1\n", "",
       "Morlund_Settings: removed an unfinished last line from the transfer file "},
      {"foreign last line", "a,1\n" + std::string(440, 'x'), "", 0,
       "a,1\n" + std::string(440, 'x') + "\n", "",
       "Morlund_Settings: closed the last line of the transfer file "},
      {"no file", "", "", 1, "", "", ""},
      {"taken before", "a,1\n", "old\n", 2, "old\n", "a,1\n", "Morlund_Settings: "},
      {"not a file", "/", "", 3, "", "", "Morlund_Settings: cannot take "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = dir.file("BEWDATA.dat");
    std::string destination = dir.file("taken.dat");
    if (c.before == "/") {
      test::makeDirs(path);
    } else if (!c.before.empty()) {
      test::writeFile(path, c.before);
    }
    if (!c.destinationBefore.empty()) {
      test::writeFile(destination, c.destinationBefore);
    }
    auto result = run({"take", dir.path(), destination}, dir.path());
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, c.errStart.size()), c.errStart);
    EXPECT_EQ(result.err.empty(), c.errStart.empty()) << result.err;
    EXPECT_EQ(test::fileExists(destination) ? test::readFile(destination) : "", c.taken);
    if (c.before != "/") {
      EXPECT_EQ(test::fileExists(path) ? test::readFile(path) : "", c.left);
    }
  }
}

// The file as the pass wrote it passes; one that is missing, cut short,
// changed by hand or not a file does not, and standard error says where.
TEST_P(MorlundSettingsTest, MetricsPrintsTheFileAndChecksIt) {
  PassMetrics::PassFigures pass;
  pass.exitStatus = 1;
  pass.bookingsRead = 12;
  test::TempDir written;
  ASSERT_EQ(PassMetrics::writeAt(written.file("m.prom"), pass), 0);
  const std::string good = test::readFile(written.file("m.prom"));
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string read = "morlund_export_pass_read_bookings 12\n";
  struct Case {
    const char* what;
    std::string content;  // "/" for a FIFO, "" for no file
    int exitStatus;
    std::string errPart;  // standard error holds it ("" for none at all)
  };
  const Case cases[] = {
      {"as written", good, 0, ""},
      {"no file", "", 1, "m.prom: " + systemText("No such file or directory") + "\n"},
      {"a FIFO", "/", 1, "m.prom: not a regular file\n"},
      {"without # EOF", replaced("# EOF\n", ""), 1, ": the file ends before line 50, '# EOF'\n"},
      {"a value changed by hand", replaced(read, "morlund_export_pass_read_bookings 1e3\n"), 1,
       ": line 18 'morlund_export_pass_read_bookings 1e3' has no whole number as its value\n"},
      {"a sample missing", replaced(read, ""), 1,
       ": line 18 is '# HELP morlund_export_pass_exported_bookings Bookings the last pass "},
      {"a sample twice", replaced(read, read + read), 1,
       ": line 19 is 'morlund_export_pass_read_bookings 12' where '# HELP "},
      {"a line after # EOF", good + "x 1\n", 1, ": line 51 'x 1' follows # EOF\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.content == "/" && linuxOnlyCase(c.what, "a FIFO made with mkfifo")) {
      continue;
    }
    test::TempDir dir;
    std::string path = dir.file("m.prom");
    if (c.content == "/") {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (!c.content.empty()) {
      test::writeFile(path, c.content);
    }
    auto result = run({"metrics", path}, dir.path(), "", bounded());
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out, console(c.content == "/" ? "" : c.content));
    if (c.errPart.empty()) {
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(result.err.rfind("Morlund_Settings: ", 0), 0u) << result.err;
      EXPECT_NE(result.err.find(console(c.errPart)), std::string::npos) << result.err;
    }
  }

  // Without FILE: the file beside the run log, found from the working
  // directory as the pass finds it.
  test::SiteLayout site;
  test::writeFile(site.root.file("Vantoreum_php/log/morlund_export.prom"), good);
  auto beside = run({"metrics"}, site.work);
  EXPECT_EQ(beside.exitStatus, 0) << beside.err;
  EXPECT_EQ(beside.out, console(good));
}

TEST_P(MorlundSettingsTest, UsageErrorsExitWith2) {
  test::TempDir dir;
  const std::vector<std::string> wrong[] = {
      {},
      {"frobnicate"},
      {"encrypt"},
      {"encrypt", "a", "b"},
      {"lookup", "s.ini"},
      {"write", "s.ini", "--login", "u"},
      {"write", "s.ini", "--database", "DSN"},
      {"write", "s.ini", "--login", "u", "--database", "DSN", "--verbose"},
      {"write", "s.ini", "--login", "u", "--login", "v", "--database", "DSN"},
      {"write", "s.ini", "--login", "u", "--database"},
      {"check"},
      {"take", "."},
      {"take", ".", "taken.dat", "more"},
      {"metrics", "m.prom", "more"},
      {"replay", "s.ini"},
      {"replay", "s.ini", "out.dat"},
      {"replay", "s.ini", "out.dat", "--from", "1.06.2015 08:00:00"},
      {"replay", "s.ini", "out.dat", "--from", "31.02.2015 08:00:00"},
      {"replay", "s.ini", "out.dat", "--from", "2015-06-01 08:00:00"},
      {"replay", "s.ini", "out.dat", "--from", "01.06.2015 08:00:00", "--to",
       "01.06.2015 07:59:59"},
      {"replay", "s.ini", "out.dat", "--from", "01.06.2015 08:00:00", "--to",
       "01.06.2015 08:00:00"},
      {"replay", "s.ini", "out.dat", "--from", "01.06.2015 08:00:00", "--from",
       "02.06.2015 08:00:00"},
      {"replay", "s.ini", "out.dat", "--from", "01.06.2015 08:00:00", "--verbose", "1"},
      {"replay", "s.ini", "out.dat", "--from", "01.06.2015 08:00:00", "--id"},
      {"replay", "s.ini", "", "--from", "01.06.2015 08:00:00"},
      {"--version", "extra"},
  };
  for (const auto& args : wrong) {
    SCOPED_TRACE(args.empty() ? "(none)" : args.back());
    auto result = run(args, dir.path(), "pw\n");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("Usage:"), std::string::npos);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(entries(dir.path()).empty());

  auto help = run({"--help"}, dir.path());
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_EQ(help.out.rfind("Usage:", 0), 0u);
  EXPECT_EQ(help.err, "");

  auto version = run({"--version"}, dir.path());
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.out, console(std::string("Morlund_Settings ") + MORLUND_VERSION + "\n"));
}

}  // namespace
