#include "os/FileData.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "TestSupport.h"
#include "os/SharedFile.h"

namespace {

// A write the system takes only in part (here: up to the file-size limit)
// is followed by one for the rest, which fails with the real cause; written
// says how far the bytes got.
TEST(FileDataTest, WriteAllWritesTheRestOrSaysWhyNot) {
  struct Case {
    const char* what;
    const char* path;  // "" for a file of 10 bytes
    long fileSizeLimit;
    std::string result;  // written, and the cause of a failure
  };
  const Case cases[] = {
      {"no limit", "", 0, "25 "},
      {"limit past the bytes", "", 100, "25 "},
      {"limit within the bytes", "", 16, "6 File too large"},
      {"limit at the file's end", "", 10, "0 File too large"},
      {"full device", "/dev/full", 0, "0 No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = *c.path != '\0' ? c.path : dir.file("data");
    if (*c.path == '\0') {
      test::writeFile(path, "0123456789");
    }
    int said[2];
    ASSERT_EQ(pipe(said), 0);  // not a file: the size limit must not cut the result
    auto write = [&] {
      Os::SharedFile file;
      Os::Error error;
      size_t written = 0;
      if (Os::openShared(path, Os::SharedFileOptions(), file, error) != 0) {
        return 1;
      }
      int result = Os::writeAll(file.handle, std::string(25, 'x'), written, error);
      std::string text = std::to_string(written) + " " + (result == 0 ? "" : error.cause);
      return ::write(said[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                             : 1;
    };
    ASSERT_EQ(c.fileSizeLimit > 0 ? test::runWithFileSizeLimit(c.fileSizeLimit, write) : write(),
              0);
    close(said[1]);
    char result[64] = {};
    EXPECT_GT(read(said[0], result, sizeof result - 1), 0);
    close(said[0]);
    EXPECT_EQ(std::string(result), c.result);
  }
}

// A file is read in parts of 64 KiB: whatever its size and the limit, the
// bytes come back whole and in order.
TEST(FileDataTest, ReadFromStartReadsUpToItsEndOrTheLimit) {
  struct Case {
    size_t size;
    size_t longest;
    size_t expected;
  };
  const Case cases[] = {
      {0, 100, 0},
      {10, 100, 10},
      {10, 4, 4},
      {65536, SIZE_MAX, 65536},
      {70000, SIZE_MAX, 70000},
      {70000, 65537, 65537},
      {200000, 131072, 131072},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, at most " + std::to_string(c.longest));
    test::TempDir dir;
    std::string bytes;
    for (size_t i = 0; i < c.size; ++i) {
      bytes += static_cast<char>('a' + i * 7 % 26);
    }
    test::writeFile(dir.file("data"), bytes);
    Os::SharedFile file;
    Os::Error error;
    ASSERT_EQ(Os::openShared(dir.file("data"), Os::SharedFileOptions(), file, error), 0);
    std::string read;
    EXPECT_EQ(Os::readFromStart(file.handle, c.longest, read, error), 0) << error.cause;
    EXPECT_EQ(read, bytes.substr(0, c.expected));
  }
}

}  // namespace
