#include "files/ErrorOutput.h"

#include <gtest/gtest.h>

namespace {

// JOURNAL_STREAM names standard error only in the form systemd writes it;
// anything else would put priority prefixes into a plain log.
TEST(ErrorOutputTest, JournalStreamNamesTheStreamOnlyInSystemdsForm) {
  struct Case {
    const char* text;
    bool names;  // device 64769, inode 1234567
  };
  const Case cases[] = {
      {"64769:1234567", true},    {"64769:1234568", false},  {"\n64769:1234567", false},
      {" 64769: 1234567", false}, {"+64769:1234567", false}, {"064769:1234567", false},
      {"64769:1234567 ", false},  {"64769:", false},         {"64769", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ErrorOutput::journalStreamNames(c.text, 64769, 1234567), c.names);
  }
  // A minus wraps around to the largest numbers, and past 64 bits sscanf
  // gave the largest one.
  EXPECT_TRUE(ErrorOutput::journalStreamNames("0:0", 0, 0));
  EXPECT_FALSE(ErrorOutput::journalStreamNames("-1:-1", ~0ull, ~0ull));
  EXPECT_FALSE(ErrorOutput::journalStreamNames("18446744073709551616:1", ~0ull, 1));
  EXPECT_TRUE(ErrorOutput::journalStreamNames("18446744073709551615:1", ~0ull, 1));
}

}  // namespace
