#include "files/ExportFile.h"

#include <gtest/gtest.h>

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
// half line behind for the next line to join.
TEST(ExportFileTest, CutsAPartlyWrittenLineBack) {
  test::TempDir dir;
  std::string path = dir.file("BEWDATA.dat");
  test::writeFile(path, "0123456789\n");
  int failed = test::runWithFileSizeLimit(
      16, [&] { return ExportFile::appendLine(path, "a line that does not fit\n") == -1; });
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

}  // namespace
