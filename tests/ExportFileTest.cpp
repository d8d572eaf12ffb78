#include "files/ExportFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"

namespace {

TEST(ExportFileTest, AppendsAfterEarlierContentWithLfOnly) {
  test::TempDir dir;
  std::string path = dir.file("BEWDATA.dat");
  test::writeFile(path, "earlier,line\n");
  EXPECT_EQ(ExportFile::appendLine(path, "a,b\n"), 0);
  EXPECT_EQ(ExportFile::appendLine(path, "c,d\n"), 0);
  EXPECT_EQ(test::readFile(path), "earlier,line\na,b\nc,d\n");
}

TEST(ExportFileTest, ReportsAFileThatCannotBeOpened) {
  test::TempDir dir;
  EXPECT_EQ(ExportFile::appendLine(dir.file("missing/BEWDATA.dat"), "a\n"), -1);
  EXPECT_EQ(ExportFile::testAppend(dir.file("missing/BEWDATA.dat")), -1);
  EXPECT_EQ(ExportFile::testAppend(dir.file("BEWDATA.dat")), 0);
  EXPECT_EQ(test::readFile(dir.file("BEWDATA.dat")), "");
}

TEST(ExportFileTest, ReportsAFullDevice) {
  EXPECT_EQ(ExportFile::appendLine("/dev/full", "a,b\n"), -1);
}

// A write that stops half-way (here: the file-size limit) must not leave a
// half line behind for the next line to join, and is reported by its real
// cause.
TEST(ExportFileTest, CutsAPartlyWrittenLineBack) {
  test::TempDir dir;
  std::string path = dir.file("BEWDATA.dat");
  test::writeFile(path, "0123456789\n");
  int errPipe[2];
  ASSERT_EQ(pipe(errPipe), 0);  // not a file: the size limit must not cut the report
  int failed = test::runWithFileSizeLimit(16, [&] {
    dup2(errPipe[1], STDERR_FILENO);
    return ExportFile::appendLine(path, "a line that does not fit\n") == -1;
  });
  close(errPipe[1]);
  char err[512] = {};
  EXPECT_GT(read(errPipe[0], err, sizeof err - 1), 0);
  close(errPipe[0]);
  EXPECT_NE(std::string(err).find(": File too large (5 of 25 bytes written)\n"), std::string::npos)
      << err;
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(test::readFile(path), "0123456789\n");
}

// What a writer that died left at the end: a line without its line feed is
// one of ours only if it is shorter than the longest line; it goes, and
// anything else is closed with a line feed and kept.
TEST(ExportFileTest, RepairsATornEndBeforeAppending) {
  const std::string longest(ExportFile::kLongestLineBytes, 'x');
  const std::string shorter(ExportFile::kLongestLineBytes - 1, 'x');
  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"empty", "", "new\n"},
      {"whole lines", "a\n", "a\nnew\n"},
      {"fragment after lines", "a\nfra", "a\nnew\n"},
      {"fragment alone", "fra", "new\n"},
      {"longest fragment after lines", "a\n" + shorter, "a\nnew\n"},
      {"longest fragment alone", shorter, "new\n"},
      {"foreign text alone", longest, longest + "\nnew\n"},
      {"foreign text after lines", "a\n" + longest, "a\n" + longest + "\nnew\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = dir.file("BEWDATA.dat");
    test::writeFile(path, c.before);
    EXPECT_EQ(ExportFile::appendLine(path, "new\n"), 0);
    EXPECT_EQ(test::readFile(path), c.after);
  }
}

// The payroll side takes the file away (here: renames it) while a writer
// waits for its turn: the line goes into a new file under the name, never
// into the file that was taken.
TEST(ExportFileTest, FileTakenAwayDuringTheWaitGetsNoLine) {
  test::TempDir dir;
  std::string path = dir.file("BEWDATA.dat");
  test::writeFile(path, "a\n");
  int holder = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  std::thread writer([&] { EXPECT_EQ(ExportFile::appendLine(path, "b\n"), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(rename(path.c_str(), dir.file("taken.dat").c_str()), 0);
  close(holder);
  writer.join();
  EXPECT_EQ(test::readFile(dir.file("taken.dat")), "a\n");
  EXPECT_EQ(test::readFile(path), "b\n");
}

// A symbolic link to a file the payroll side removed: the append creates the
// file at the link's target, as opening for appending always did.
TEST(ExportFileTest, DanglingSymbolicLinkCreatesItsTarget) {
  test::TempDir dir;
  test::makeDirs(dir.file("share"));
  std::string path = dir.file("BEWDATA.dat");
  ASSERT_EQ(symlink(dir.file("share/import.dat").c_str(), path.c_str()), 0);
  EXPECT_EQ(ExportFile::testAppend(path), 0);
  EXPECT_EQ(ExportFile::appendLine(path, "a\n"), 0);
  std::remove(dir.file("share/import.dat").c_str());
  EXPECT_EQ(ExportFile::appendLine(path, "b\n"), 0);
  EXPECT_EQ(test::readFile(dir.file("share/import.dat")), "b\n");
}

}  // namespace
