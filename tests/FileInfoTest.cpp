#include "os/FileInfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"
#include "os/FileOpening.h"

namespace {

// Names of one file share its identity (its hard links, a symbolic link
// followed); a copy, the link itself and a directory have their own.
TEST(FileInfoTest, IdentityTellsTheNamesOfOneFile) {
  test::TempDir dir;
  std::string file = dir.file("BEWDATA.dat");
  test::writeFile(file, "a,1\n");
  ASSERT_EQ(link(file.c_str(), dir.file("hard").c_str()), 0);
  test::writeFile(dir.file("copy"), "a,1\n");
  ASSERT_EQ(symlink(file.c_str(), dir.file("symbolic").c_str()), 0);
  Os::FileHandle opened;
  Os::FileInfo original;
  Os::Error error;
  ASSERT_EQ(Os::openForReading(file, Os::Links::kFollow, opened, error), 0);
  ASSERT_EQ(Os::examine(opened, original, error), 0);
  EXPECT_EQ(original.kind, Os::FileKind::kRegular);
  EXPECT_EQ(original.size, 4);
  struct Case {
    const char* name;
    Os::Links links;
    bool sameFile;
    Os::FileKind kind;
  };
  const Case cases[] = {
      {"BEWDATA.dat", Os::Links::kFollow, true, Os::FileKind::kRegular},
      {"hard", Os::Links::kDoNotFollow, true, Os::FileKind::kRegular},
      {"copy", Os::Links::kFollow, false, Os::FileKind::kRegular},
      {"symbolic", Os::Links::kFollow, true, Os::FileKind::kRegular},
      {"symbolic", Os::Links::kDoNotFollow, false, Os::FileKind::kSymbolicLink},
      {".", Os::Links::kFollow, false, Os::FileKind::kDirectory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.links == Os::Links::kFollow ? "" : ", not followed"));
    Os::FileInfo named;
    ASSERT_EQ(Os::examineName(dir.file(c.name), c.links, named, error), 0) << error.cause;
    EXPECT_EQ(named.identity == original.identity, c.sameFile);
    EXPECT_EQ(named.kind, c.kind);
  }
  Os::FileInfo missing;
  EXPECT_EQ(Os::examineName(dir.file("missing"), Os::Links::kFollow, missing, error), -1);
  EXPECT_EQ(error.kind, Os::ErrorKind::kNotFound);
  EXPECT_EQ(error.cause, "No such file or directory");
}

}  // namespace
