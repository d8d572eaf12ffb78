#include "files/BookingJournal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "TestSupport.h"
#include "files/RecordFraming.h"

namespace {

using BookingJournal::WrittenBooking;

WrittenBooking booking(uint64_t sequence, const std::string& idn, const std::string& line = "") {
  WrittenBooking written;
  written.sequence = sequence;
  written.installation = "/srv/zeit/Morlund/bin (data source ZEIT)";
  written.key = {idn, "10", "2015-06-01 00:00:00", "", "1\t"};
  written.transferPath = "../../transfer/BEWDATA.dat";
  written.device = 2049;
  written.inode = 77;
  written.offset = 100 * sequence;
  written.line = line.empty() ? idn + ",10,20150601,074500,1,T1\n" : line;
  return written;
}

// Appended: g++ 12 sees a false overlap in "..." + std::string&& at -O2.
std::string keyOf(uint64_t sequence) {
  return std::string("A").append(std::to_string(sequence));
}

// "+" marks a line recorded durable, "@" its pass time.
std::vector<std::string> liveIds(const BookingJournal::Contents& contents) {
  std::vector<std::string> ids;
  for (const WrittenBooking& live : contents.live) {
    std::string id = live.key.BewIDN + (live.durable ? "+" : "");
    if (!live.passTime.empty()) {
      id.append("@").append(live.passTime);
    }
    ids.push_back(id);
  }
  return ids;
}

// A Written record as the version before the archive wrote it: its line is
// its last field.
std::string writtenBeforeTheArchive(const WrittenBooking& booking, const std::string& extra = "") {
  std::string payload;
  for (uint64_t value :
       {booking.sequence, booking.device, booking.inode, booking.offset, booking.recordedAt}) {
    RecordFraming::putU64(payload, value);
  }
  for (const std::string* text :
       {&booking.installation, &booking.transferPath, &booking.key.BewIDN, &booking.key.BewSto,
        &booking.key.BewDtm, &booking.key.BewUhr, &booking.key.BewLfn, &booking.line}) {
    RecordFraming::putText(payload, *text);
  }
  return RecordFraming::frame('W', payload + extra);
}

// A torn or damaged record counts as absent, and nothing after it is lost:
// records written after a damaged one are still read.
TEST(BookingJournalTest, ReadsWhatIsWholeAndNothingElse) {
  const std::string one = BookingJournal::encodeWritten(booking(1, "A1"));
  const std::string two = BookingJournal::encodeWritten(booking(2, "A2"));
  const std::string three = BookingJournal::encodeWritten(booking(3, "A3"));
  WrittenBooking timed = booking(4, "A4");
  timed.passTime = "01.06.2015 08:00:00";
  // A pass time whose length (19) runs past the record's end.
  std::string cutLength = "\x13";
  cutLength.append(3, '\0').append("01.");
  const std::string cutPassTime = writtenBeforeTheArchive(booking(5, "A5"), cutLength);
  auto flipped = [](std::string record, size_t at) {
    record[at] = static_cast<char>(record[at] ^ 0x10);
    return record;
  };
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> live;  // "+" marks a line recorded durable
    size_t skipped;
  };
  const Case cases[] = {
      {"empty", "", {}, 0},
      {"written", one + two, {"A1", "A2"}, 0},
      {"durable and retired",
       one + two + BookingJournal::encodeDurable({1, 2}) + BookingJournal::encodeRetired({2}),
       {"A1+"},
       0},
      {"retired before written is no retirement",
       BookingJournal::encodeRetired({1}) + one,
       {"A1"},
       0},
      {"torn last record", one + two.substr(0, two.size() - 1), {"A1"}, 0},
      {"torn durable record", one + BookingJournal::encodeDurable({1}).substr(0, 12), {"A1"}, 0},
      {"damaged line", one + flipped(two, two.size() - 8) + three, {"A1", "A3"}, two.size()},
      {"damaged length", one + flipped(two, 6) + three, {"A1", "A3"}, two.size()},
      {"damaged checksum", flipped(one, one.size() - 1) + two, {"A2"}, one.size()},
      {"garbage before", "garbage" + one, {"A1"}, 7},
      {"sequence written twice keeps the first",
       one + BookingJournal::encodeWritten(booking(1, "B1")),
       {"A1"},
       0},
      {"with its pass time",
       one + BookingJournal::encodeWritten(timed),
       {"A1", "A4@01.06.2015 08:00:00"},
       0},
      {"written before the archive, without a pass time",
       writtenBeforeTheArchive(booking(2, "A2")) + BookingJournal::encodeDurable({2}),
       {"A2+"},
       0},
      {"a pass time longer than its record",
       one + cutPassTime + three,
       {"A1", "A3"},
       cutPassTime.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BookingJournal::Contents contents = BookingJournal::parse(c.bytes);
    EXPECT_EQ(liveIds(contents), c.live);
    EXPECT_EQ(contents.skippedBytes, c.skipped);
  }
  BookingJournal::Contents read = BookingJournal::parse(one + two.substr(0, 30));
  EXPECT_EQ(read.validEnd, one.size()) << "a torn end is cut off from here";
  ASSERT_EQ(read.live.size(), 1u);
  const WrittenBooking expected = booking(1, "A1");
  EXPECT_EQ(read.live[0].key, expected.key);
  EXPECT_EQ(read.live[0].installation, expected.installation);
  EXPECT_EQ(read.live[0].transferPath, expected.transferPath);
  EXPECT_EQ(read.live[0].line, expected.line);
  EXPECT_EQ(read.live[0].offset, expected.offset);
  EXPECT_EQ(read.live[0].inode, expected.inode);
  EXPECT_EQ(read.live[0].passTime, "");
  EXPECT_EQ(BookingJournal::parse(BookingJournal::encodeWritten(timed)).live.at(0).passTime,
            timed.passTime);
  EXPECT_EQ(BookingJournal::parse(three + BookingJournal::encodeRetired({9})).lastSequence, 9u);
}

// A line counts as in place only in the same file, at its offset, whole.
TEST(BookingJournalTest, FindsALineOnlyWhereItsRecordSays) {
  test::TempDir dir;
  std::string path = dir.file("BEWDATA.dat");
  test::writeFile(path, "first,line\nA1,10,20150601\n");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  WrittenBooking written = booking(1, "A1", "A1,10,20150601\n");
  written.transferPath = path;
  written.device = info.st_dev;
  written.inode = info.st_ino;
  written.offset = 11;
  using BookingJournal::LineState;
  struct Case {
    const char* what;
    void (*change)(WrittenBooking&, const std::string&);
    LineState state;
  };
  const Case cases[] = {
      {"in place", [](WrittenBooking&, const std::string&) {}, LineState::kInPlace},
      {"another offset", [](WrittenBooking& w, const std::string&) { w.offset = 10; },
       LineState::kMissing},
      {"past the end", [](WrittenBooking& w, const std::string&) { w.offset = 1u << 30; },
       LineState::kMissing},
      {"torn", [](WrittenBooking&, const std::string& p) { truncate(p.c_str(), 20); },
       LineState::kMissing},
      {"emptied", [](WrittenBooking&, const std::string& p) { truncate(p.c_str(), 0); },
       LineState::kMissing},
      {"taken away", [](WrittenBooking&, const std::string& p) { std::remove(p.c_str()); },
       LineState::kUnknown},
      {"another file under the name",
       [](WrittenBooking&, const std::string& p) {
         std::rename(p.c_str(), (p + ".taken").c_str());
         test::writeFile(p, "first,line\nA1,10,20150601\n");
       },
       LineState::kUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::writeFile(path, "first,line\nA1,10,20150601\n");
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    written.device = info.st_dev;
    written.inode = info.st_ino;
    WrittenBooking changed = written;
    c.change(changed, path);
    EXPECT_EQ(BookingJournal::findLine(changed), c.state);
  }
}

}  // namespace

// At a pass's end a journal with nothing left is emptied, and one grown
// large with retired records is written anew with only the live ones, its
// records (and their lines recorded as synced) as they were.
TEST(BookingJournalTest, EndOfPassEmptiesOrCompacts) {
  struct Case {
    const char* what;
    int written;
    std::vector<uint64_t> kept;  // not retired
    bool compacted;
  };
  const Case cases[] = {
      {"all retired", 10, {}, true},
      {"a few live among many retired", 6000, {17, 5999}, true},
      {"small, with live records", 10, {3}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = dir.file("Morlund_MSSQL.journal");
    std::string bytes;
    std::vector<uint64_t> retired;
    for (int i = 1; i <= c.written; ++i) {
      uint64_t sequence = static_cast<uint64_t>(i);
      bytes += BookingJournal::encodeWritten(booking(sequence, keyOf(sequence)));
      if (std::find(c.kept.begin(), c.kept.end(), sequence) == c.kept.end()) {
        retired.push_back(sequence);
      }
    }
    bytes += BookingJournal::encodeDurable(c.kept) + BookingJournal::encodeRetired(retired);
    test::writeFile(path, bytes);
    std::string cause;
    ASSERT_EQ(BookingJournal::open(path, booking(1, "x").installation, cause), 0) << cause;
    EXPECT_EQ(BookingJournal::heldBookings().size(), c.kept.size());
    BookingJournal::close();
    std::string after = test::readFile(path);
    BookingJournal::Contents contents = BookingJournal::parse(after);
    ASSERT_EQ(contents.live.size(), c.kept.size());
    for (size_t i = 0; i < c.kept.size(); ++i) {
      EXPECT_EQ(contents.live[i].sequence, c.kept[i]);
      EXPECT_TRUE(contents.live[i].durable);
      EXPECT_EQ(contents.live[i].key.BewIDN, keyOf(c.kept[i]));
    }
    EXPECT_EQ(after.size() < bytes.size(), c.compacted) << after.size();
    EXPECT_FALSE(test::fileExists(path + ".new"));
  }
}
