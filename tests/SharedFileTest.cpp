#include "os/SharedFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "TestSupport.h"
#include "os/FileData.h"

namespace {

std::string contentOf(const Os::FileHandle& file) {
  std::string bytes;
  Os::Error error;
  EXPECT_EQ(Os::readFromStart(file, 1024, bytes, error), 0) << error.cause;
  return bytes;
}

// Another process takes the file away while a writer waits for the writers'
// lock that a third one holds: renames it, removes it, or puts another file
// under its name. The writer opens the name anew each time, and after the
// fourth time keeps the file it opened last, saying that the name no longer
// names it.
TEST(SharedFileTest, OpensTheNameAnewWhileOthersTakeTheFileAway) {
  enum class Taking { kNothing, kRenamedAway, kRemoved, kReplaced };
  struct Case {
    const char* what;
    Taking taking;
    int times;  // in this many waits, from the first
    bool create;
    int result;
    bool named;
    bool created;
    std::string content;  // of the file opened
    int waits;
  };
  const Case cases[] = {
      {"lock released", Taking::kNothing, 0, true, Os::kOpened, true, false, "old\n", 1},
      {"renamed away", Taking::kRenamedAway, 1, true, Os::kOpened, true, true, "", 1},
      {"removed", Taking::kRemoved, 1, true, Os::kOpened, true, true, "", 1},
      {"another file under the name", Taking::kReplaced, 1, true, Os::kOpened, true, false,
       "another 1\n", 1},
      {"another file at every attempt", Taking::kReplaced, 4, true, Os::kOpened, false, false,
       "another 3\n", 4},
      {"removed, not to be created", Taking::kRemoved, 1, false, Os::kNotOpened, false, false, "",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = dir.file("BEWDATA.dat");
    test::writeFile(path, "old\n");
    Os::SharedFile holder;
    Os::Error error;
    ASSERT_EQ(Os::openForAppending(path, Os::SharedFileOptions(), holder, error), Os::kOpened);
    int waits = 0;
    Os::SharedFileOptions options;
    options.create = c.create;
    options.beforeWaiting = [&] {
      if (++waits <= c.times) {
        std::string taken = path + ".taken" + std::to_string(waits);
        if (c.taking == Taking::kRemoved) {
          std::remove(path.c_str());
        } else {
          std::rename(path.c_str(), taken.c_str());
        }
        if (c.taking == Taking::kReplaced) {
          test::writeFile(path, "another " + std::to_string(waits) + "\n");
        }
      }
      holder = Os::SharedFile();
      Os::Error holderError;
      if (waits < c.times) {
        EXPECT_EQ(Os::openForAppending(path, Os::SharedFileOptions(), holder, holderError),
                  Os::kOpened);
      }
    };
    Os::SharedFile file;
    EXPECT_EQ(Os::openForAppending(path, options, file, error), c.result) << error.cause;
    EXPECT_EQ(waits, c.waits);
    if (c.result != Os::kOpened) {
      EXPECT_EQ(error.kind, Os::ErrorKind::kNotFound);
      continue;
    }
    EXPECT_EQ(file.named, c.named);
    EXPECT_EQ(file.created, c.created);
    EXPECT_TRUE(file.readable);
    EXPECT_EQ(contentOf(file.handle), c.content);
  }
}

// What is under the name decides whether and how it is opened.
TEST(SharedFileTest, OpensWhatTheOptionsAllowUnderTheName) {
  enum class Name { kRegular, kDirectory, kFifo, kFifoWithReader, kLinkToRegular, kMissing };
  struct Case {
    const char* what;
    Name name;
    bool regularOnly;
    bool acceptFifo;
    Os::Links links;
    int result;
    Os::ErrorKind kind;  // of a failure
    bool readable;       // of a file opened
  };
  const Os::Links follow = Os::Links::kFollow;
  const Os::Links noFollow = Os::Links::kDoNotFollow;
  const Os::ErrorKind notRegular = Os::ErrorKind::kNotRegularFile;
  const Os::ErrorKind none = Os::ErrorKind::kNone;
  const Case cases[] = {
      {"regular file", Name::kRegular, true, false, noFollow, 0, none, true},
      {"directory", Name::kDirectory, true, false, follow, -1, notRegular, false},
      {"directory, any kind", Name::kDirectory, false, true, follow, -1, Os::ErrorKind::kOther,
       false},
      {"FIFO, regular only", Name::kFifo, true, false, follow, -1, notRegular, false},
      {"FIFO without a reader", Name::kFifo, false, true, follow, -1, Os::ErrorKind::kOther, false},
      {"FIFO with a reader", Name::kFifoWithReader, false, true, follow, 0, none, false},
      {"link, followed", Name::kLinkToRegular, true, false, follow, 0, none, true},
      {"link, not followed", Name::kLinkToRegular, true, false, noFollow, -1, notRegular, false},
      {"link, opened without following", Name::kLinkToRegular, false, false, noFollow, -1,
       Os::ErrorKind::kOther, false},
      {"missing, regular only", Name::kMissing, true, false, noFollow, -1, Os::ErrorKind::kNotFound,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = dir.file("BEWDATA.dat");
    int reader = -1;
    if (c.name == Name::kRegular) {
      test::writeFile(path, "a\n");
    } else if (c.name == Name::kDirectory) {
      test::makeDirs(path);
    } else if (c.name == Name::kFifo || c.name == Name::kFifoWithReader) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      if (c.name == Name::kFifoWithReader) {
        reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
      }
    } else if (c.name == Name::kLinkToRegular) {
      test::writeFile(dir.file("target.dat"), "a\n");
      ASSERT_EQ(symlink(dir.file("target.dat").c_str(), path.c_str()), 0);
    }
    Os::SharedFileOptions options;
    options.create = false;
    options.regularOnly = c.regularOnly;
    options.acceptFifo = c.acceptFifo;
    options.links = c.links;
    Os::SharedFile file;
    Os::Error error;
    EXPECT_EQ(Os::openShared(path, options, file, error), c.result);
    EXPECT_EQ(error.kind, c.kind) << error.cause;
    EXPECT_EQ(file.handle.isOpen(), c.result == 0);
    EXPECT_EQ(file.readable, c.readable);
    if (c.name == Name::kFifoWithReader) {
      size_t written = 0;
      EXPECT_EQ(Os::writeAll(file.handle, "line\n", written, error), 0);
      char got[8] = {};
      EXPECT_EQ(read(reader, got, sizeof got), 5);
      close(reader);
    }
  }
}

}  // namespace
