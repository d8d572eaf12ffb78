#include "files/RunLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"

namespace {

struct LogFiles {
  test::TempDir dir;
  std::string log = dir.file("Palvexa#Log.txt");
  std::string backup = dir.file("Palvexa#Log_bak.txt");
};

TEST(RunLogTest, StoresEveryNewlineAsCrLfAndAddsOne) {
  LogFiles files;
  RunLog::appendEntryAt(files.log, files.backup, "\nfirst");
  RunLog::appendEntryAt(files.log, files.backup, "second\n\n");
  RunLog::appendEntryAt(files.log, files.backup,
                        "\xDC"
                        "bergabe vom ");
  EXPECT_EQ(test::readFile(files.log),
            "\r\nfirst\r\nsecond\r\n\r\n\r\n\xDC"
            "bergabe vom \r\n");
  EXPECT_FALSE(test::fileExists(files.backup));
}

// The threshold is compared as "greater than": a log of exactly 10 MiB after
// an entry stays, one more byte moves it, crossing entry included.
TEST(RunLogTest, RotatesOnlyPastTheThreshold) {
  struct Case {
    long sizeBefore;  // log size before an entry of 8 stored bytes
    bool backupBefore;
    bool rotated;
  };
  const Case cases[] = {
      {RunLog::kRotationBytes - 8, false, false},
      {RunLog::kRotationBytes - 7, false, true},
      {RunLog::kRotationBytes - 7, true, true},
      {RunLog::kRotationBytes + 100, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sizeBefore);
    LogFiles files;
    std::string before = std::string(static_cast<size_t>(c.sizeBefore) - 2, 'x') + "\r\n";
    test::writeFile(files.log, before);
    if (c.backupBefore) {
      test::writeFile(files.backup, "old backup");
    }
    RunLog::appendEntryAt(files.log, files.backup, "abcdef");  // 8 bytes stored
    if (c.rotated) {
      EXPECT_FALSE(test::fileExists(files.log));
      EXPECT_EQ(test::readFile(files.backup), before + "abcdef\r\n");
      RunLog::appendEntryAt(files.log, files.backup, "next");
      EXPECT_EQ(test::readFile(files.log), "next\r\n");
    } else {
      EXPECT_EQ(test::readFile(files.log).size(), static_cast<size_t>(RunLog::kRotationBytes));
      EXPECT_FALSE(test::fileExists(files.backup));
    }
  }
}

TEST(RunLogTest, MissingDirectoryDropsTheEntrySilently) {
  test::TempDir dir;
  std::string log = dir.file("missing/Palvexa#Log.txt");
  RunLog::appendEntryAt(log, dir.file("missing/bak.txt"), "entry");
  EXPECT_FALSE(test::fileExists(log));
}

// What a writer left of an entry it could not finish (the disk took only
// part of it, here by the file-size limit; or the writer was killed) stays
// in the log, and the next entry begins on a line of its own.
TEST(RunLogTest, UnfinishedEntryStaysALineOfItsOwn) {
  struct Case {
    const char* what;
    std::string before;
    long fileSizeLimit;  // for the first entry; 0: none
    std::string after;
  };
  const Case cases[] = {
      {"entry that does not fit", "0123456789\r\n", 18, "0123456789\r\nan ent\r\nnext\r\n"},
      {"entry of a killed writer", "0123456789\r\nan en", 0,
       "0123456789\r\nan en\r\nan entry\r\nnext\r\n"},
      {"half a line end", "0123456789\r", 0, "0123456789\r\r\nan entry\r\nnext\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogFiles files;
    test::writeFile(files.log, c.before);
    auto first = [&] {
      RunLog::appendEntryAt(files.log, files.backup, "an entry");
      return 0;
    };
    EXPECT_EQ(c.fileSizeLimit > 0 ? test::runWithFileSizeLimit(c.fileSizeLimit, first) : first(),
              0);
    RunLog::appendEntryAt(files.log, files.backup, "next");
    EXPECT_EQ(test::readFile(files.log), c.after);
  }
}

// A log moved away (rotated by a pass of another installation that shares
// the log directory) while this writer waits for its turn: the entry goes
// into the log under the name, and the moved one is not rotated again.
TEST(RunLogTest, LogMovedAwayDuringTheWaitGetsNoEntry) {
  LogFiles files;
  test::writeFile(files.log, "old\r\n");
  int holder = open(files.log.c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  std::thread writer([&] { RunLog::appendEntryAt(files.log, files.backup, "new"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(rename(files.log.c_str(), files.backup.c_str()), 0);
  close(holder);
  writer.join();
  EXPECT_EQ(test::readFile(files.backup), "old\r\n");
  EXPECT_EQ(test::readFile(files.log), "new\r\n");
}

}  // namespace
