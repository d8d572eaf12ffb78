// The archive of sent lines in its parts: pass times and the window of a
// replay, month files and their pruning, the reader over damaged and torn
// bytes in blocks of any size, and the writer that finds a torn end or
// fails half-way.

#include "files/LineArchive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>

#include "TestSupport.h"
#include "files/BookingJournal.h"
#include "files/RecordFraming.h"

namespace {

using LineArchive::ArchivedLine;

const char kInstallation[] = "/srv/zeit/Morlund/bin (data source ZEIT)";

ArchivedLine archived(const std::string& idn, const std::string& passTime,
                      const std::string& installation = kInstallation) {
  ArchivedLine line;
  line.installation = installation;
  line.passTime = passTime;
  line.archivedAt = 1796790000;
  line.transferPath = "../../transfer/BEWDATA.dat";
  line.device = 2049;
  line.inode = 77;
  line.offset = 61 * idn.size();
  line.line = idn + ",10,20150601,074500,1,T1,01,,,,,,100,,,50P,\n";
  return line;
}

int64_t secondsOf(const std::string& text) {
  PassTime::CivilTime time;
  EXPECT_EQ(PassTime::parse(text, time), 0) << text;
  return PassTime::secondsOf(time);
}

std::string flipped(std::string record, size_t at) {
  record[at] = static_cast<char>(record[at] ^ 0x10);
  return record;
}

// The first field of each line read, and what was skipped, as one text.
struct Read {
  std::vector<std::string> ids;
  uint64_t damaged = 0;
  uint64_t torn = 0;
  bool operator==(const Read&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Read& read) {
  for (const std::string& id : read.ids) {
    out << id << ' ';
  }
  return out << "damaged " << read.damaged << " torn " << read.torn;
}

// Feeds bytes to the reader in blocks of `block` bytes, as a file read in
// blocks would, keeping what it is not done with.
Read readInBlocks(const std::string& bytes, size_t block) {
  Read read;
  LineArchive::Reading reading;
  auto each = [&read](ArchivedLine& line) {
    read.ids.push_back(line.line.substr(0, line.line.find(',')));
    return true;
  };
  std::string buffer;
  for (size_t at = 0; at < bytes.size(); at += block) {
    buffer += bytes.substr(at, block);
    buffer.erase(0, LineArchive::takeRecords(buffer, false, reading, each));
  }
  LineArchive::takeRecords(buffer, true, reading, each);
  read.damaged = reading.damagedBytes;
  read.torn = reading.tornBytes;
  return read;
}

TEST(LineArchiveTest, PassTimesAreReadAsTheRunLogShowsThemAndComparedAsTimes) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"01.06.2015 08:00:00", true},
      {"29.02.2016 23:59:59", true},
      {"31.12.9999 23:59:59", true},
      {"29.02.2015 08:00:00", false},
      {"31.04.2015 08:00:00", false},
      {"00.06.2015 08:00:00", false},
      {"01.13.2015 08:00:00", false},
      {"01.06.0000 08:00:00", false},
      {"01.06.2015 24:00:00", false},
      {"01.06.2015 08:60:00", false},
      {"01.06.2015 08:00:60", false},
      {"1.06.2015 08:00:00", false},
      {"01.06.15 08:00:00", false},
      {"01.06.2015 08:00", false},
      {"01.06.2015 08:00:00 ", false},
      {"01-06-2015 08:00:00", false},
      {"01.06.2015T08:00:00", false},
      {"01.06.2015 08:0a:00", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PassTime::CivilTime time;
    EXPECT_EQ(PassTime::parse(c.text, time) == 0, c.valid);
    if (c.valid) {
      EXPECT_EQ(PassTime::format(time), c.text);
    }
  }
  // Ascending in time, not as text.
  const char* ascending[] = {"31.12.1969 23:59:59", "01.01.1970 00:00:00", "02.01.1970 00:00:01",
                             "31.12.2015 23:59:59", "01.01.2016 00:00:00", "02.01.2016 00:00:00",
                             "01.02.2016 00:00:00", "29.02.2016 12:00:00", "01.03.2016 00:00:00"};
  EXPECT_EQ(secondsOf(ascending[1]), 0);
  EXPECT_EQ(secondsOf(ascending[2]), 86401);
  for (size_t i = 1; i < std::size(ascending); ++i) {
    EXPECT_LT(secondsOf(ascending[i - 1]), secondsOf(ascending[i])) << ascending[i];
  }
  EXPECT_EQ(secondsOf("01.03.2016 00:00:00") - secondsOf("01.02.2016 00:00:00"), 29 * 86400);
}

TEST(LineArchiveTest, SelectionTakesPassesOfTheWindowAndLinesOfTheIds) {
  LineArchive::Selection hour;
  hour.from = secondsOf("01.06.2015 08:00:00");
  hour.to = secondsOf("01.06.2015 09:00:00");
  LineArchive::Selection open = hour;
  open.to.reset();
  LineArchive::Selection ids = hour;
  ids.ids = {"000123", "X7"};
  struct Case {
    const char* what;
    const LineArchive::Selection& selection;
    std::string passTime;
    std::string idn;
    bool taken;
  };
  const Case cases[] = {
      {"from is included", hour, "01.06.2015 08:00:00", "A1", true},
      {"inside", hour, "01.06.2015 08:59:59", "A1", true},
      {"to is not included", hour, "01.06.2015 09:00:00", "A1", false},
      {"before", hour, "01.06.2015 07:59:59", "A1", false},
      {"a day earlier, later as text", hour, "31.05.2015 08:30:00", "A1", false},
      {"a year later, earlier as text", hour, "01.01.2016 08:30:00", "A1", false},
      {"no server time", hour, "", "A1", false},
      {"no time at all", open, "garbage", "A1", false},
      {"no end", open, "31.12.2099 23:59:59", "A1", true},
      {"one of the IDs", ids, "01.06.2015 08:30:00", "000123", true},
      {"another of the IDs", ids, "01.06.2015 08:30:00", "X7", true},
      {"an ID that begins like one", ids, "01.06.2015 08:30:00", "0001234", false},
      {"an ID that one begins with", ids, "01.06.2015 08:30:00", "00012", false},
      {"an ID outside the window", ids, "01.06.2015 09:30:00", "000123", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t seconds = 0;
    EXPECT_EQ(LineArchive::selects(c.selection, archived(c.idn, c.passTime), seconds), c.taken);
  }
}

TEST(LineArchiveTest, MonthFilesAreNamedByMonthAndExpireWhole) {
  EXPECT_EQ(LineArchive::monthFileName(2026, 12), "Morlund_MSSQL.archive.2026-12");
  EXPECT_EQ(LineArchive::monthFileName(987, 3), "Morlund_MSSQL.archive.0987-03");
  const std::pair<const char*, bool> names[] = {
      {"Morlund_MSSQL.archive.2026-12", true},  {"Morlund_MSSQL.archive.2026-1", false},
      {"Morlund_MSSQL.archive.2026-13", false}, {"Morlund_MSSQL.archive.2026-00", false},
      {"Morlund_MSSQL.archive.0000-05", false}, {"Morlund_MSSQL.archive.2026_12", false},
      {"Morlund_MSSQL.archive.20a6-12", false}, {"Morlund_MSSQL.archive.2026-12.x3Fq9Z", false},
      {"Morlund_MSSQL.journal", false},         {"morlund_MSSQL.archive.2026-12", false},
  };
  for (const auto& [name, isMonthFile] : names) {
    SCOPED_TRACE(name);
    int year = 0;
    int month = 0;
    EXPECT_EQ(LineArchive::monthOfFileName(name, year, month), isMonthFile);
    if (isMonthFile) {
      EXPECT_EQ(LineArchive::monthFileName(year, month), name);
    }
  }
  struct Case {
    int year;
    int month;
    PassTime::CivilTime today;
    bool expired;
  };
  const Case cases[] = {
      {2026, 8, {2026, 12, 10}, false},   // ended 100 days ago
      {2026, 8, {2026, 12, 11}, true},    // 101
      {2026, 12, {2026, 12, 31}, false},  // this month
      {2027, 1, {2026, 12, 31}, false},   // a month still to come
      {2025, 12, {2026, 4, 11}, false},   // across the year: 100 days
      {2025, 12, {2026, 4, 12}, true},
      {2024, 1, {2024, 5, 11}, false},  // a leap year's February: 100 days
      {2024, 1, {2024, 5, 12}, true},
      {2015, 6, {2026, 12, 1}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(LineArchive::monthFileName(c.year, c.month) + " on " + PassTime::format(c.today));
    EXPECT_EQ(LineArchive::isExpired(c.year, c.month, c.today), c.expired);
  }
}

// Whatever blocks the bytes come in, the reader hands on the same lines and
// passes over the same bytes: a record of another kind or with a flipped bit
// is damage, a record cut short at the end is torn.
TEST(LineArchiveTest, ReaderTakesWholeRecordsInBlocksOfAnySize) {
  const std::string one = LineArchive::encode(archived("A1", "01.06.2015 08:00:00"));
  const std::string two = LineArchive::encode(archived("A2", "01.06.2015 08:00:00"));
  const std::string three = LineArchive::encode(archived("A3", "01.06.2015 08:05:00"));
  const std::string retired = BookingJournal::encodeRetired({1});
  struct Case {
    const char* what;
    std::string bytes;
    Read read;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"whole", one + two + three, {{"A1", "A2", "A3"}, 0, 0}},
      {"torn end", one + two.substr(0, two.size() - 3), {{"A1"}, 0, two.size() - 3}},
      {"torn in the magic", one + "MJ", {{"A1"}, 0, 2}},
      {"damaged line", one + flipped(two, two.size() - 8) + three, {{"A1", "A3"}, two.size(), 0}},
      {"damaged length", one + flipped(two, 6) + three, {{"A1", "A3"}, two.size(), 0}},
      {"damaged last record", one + flipped(two, 20), {{"A1"}, two.size(), 0}},
      {"garbage before", "MJR0xyz" + one, {{"A1"}, 7, 0}},
      {"a record of another kind", one + retired + two, {{"A1", "A2"}, retired.size(), 0}},
      {"a torn record, then whole ones", one + two.substr(0, 30) + three, {{"A1", "A3"}, 30, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (size_t block : {size_t{1}, size_t{2}, size_t{5}, size_t{64}, size_t{SIZE_MAX / 2}}) {
      SCOPED_TRACE(block);
      EXPECT_EQ(readInBlocks(c.bytes, block), c.read);
    }
  }
}

// A file read in blocks: records across block boundaries, a torn end, and a
// reading stopped by its caller.
TEST(LineArchiveTest, FileIsReadInBlocksAndCanBeStopped) {
  test::TempDir dir;
  std::string path = dir.file(LineArchive::monthFileName(2026, 12));
  std::string bytes;
  const int kLines = 3000;  // about four blocks
  for (int i = 0; i < kLines; ++i) {
    bytes += LineArchive::encode(
        archived(std::string("L").append(std::to_string(i)), "01.12.2026 08:00:00"));
  }
  const std::string torn = LineArchive::encode(archived("T", "01.12.2026 08:00:00")).substr(0, 40);
  test::writeFile(path, bytes + torn);
  ASSERT_GT(bytes.size(), 3u * 64 * 1024);
  int taken = 0;
  bool inOrder = true;
  LineArchive::Reading reading;
  std::string cause;
  auto count = [&](ArchivedLine& line) {
    inOrder = inOrder &&
              line.line.rfind(std::string("L").append(std::to_string(taken)).append(","), 0) == 0;
    ++taken;
    return true;
  };
  ASSERT_EQ(LineArchive::readFile(path, count, reading, cause), 0) << cause;
  EXPECT_EQ(taken, kLines);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(reading.damagedBytes, 0u);
  EXPECT_EQ(reading.tornBytes, torn.size());
  EXPECT_EQ(LineArchive::describeSkipped(path, reading),
            "the archive file " + path +
                " holds 40 bytes of a record cut short at its end (being written now, or by a "
                "pass that died while writing it); they are skipped, and lines recorded there "
                "cannot be sent again");

  LineArchive::Reading stopped;
  taken = 0;
  auto first = [&](ArchivedLine&) { return ++taken < 2; };
  ASSERT_EQ(LineArchive::readFile(path, first, stopped, cause), 0);
  EXPECT_EQ(taken, 2);
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(LineArchive::readFile(dir.file("missing"), first, stopped, cause), -1);
  EXPECT_EQ(cause, "No such file or directory");
}

// What a writer that died leaves at the end is found from the file's last
// bytes, and only that is cut off; where nothing can be told, nothing is.
TEST(LineArchiveTest, WholeEndFindsWhatADeadWriterLeft) {
  const std::string one = LineArchive::encode(archived("A1", "01.06.2015 08:00:00"));
  const std::string two = LineArchive::encode(archived("A2", "01.06.2015 08:00:00"));
  const std::string three = LineArchive::encode(archived("A3", "01.06.2015 08:05:00"));
  const std::string garbage(RecordFraming::kLongestRecord + 1, 'x');
  struct Case {
    const char* what;
    std::string tail;
    bool fromStart;
    size_t end;
  };
  const Case cases[] = {
      {"whole", one + two, true, one.size() + two.size()},
      {"empty", "", true, 0},
      {"a record cut short", one + two + three.substr(0, 25), true, one.size() + two.size()},
      {"only a record cut short", three.substr(0, 25), true, 0},
      {"only a record cut short, file longer", three.substr(0, 25), false, 25},
      {"a damaged last record", one + flipped(two, 20), true, one.size()},
      {"the window starts inside a record", two.substr(9) + three + one.substr(0, 12), false,
       two.size() - 9 + three.size()},
      {"more than a record of garbage after the last", one + garbage, true,
       one.size() + garbage.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(LineArchive::wholeEnd(c.tail, c.fromStart), c.end);
  }
}

std::vector<std::string> idsIn(const std::string& path, LineArchive::Reading& reading) {
  std::vector<std::string> ids;
  std::string cause;
  auto each = [&ids](ArchivedLine& line) {
    ids.push_back(line.line.substr(0, line.line.find(',')));
    return true;
  };
  EXPECT_EQ(LineArchive::readFile(path, each, reading, cause), 0) << cause;
  return ids;
}

// The writer appends whole records to the month file of now, readable by
// its owner only; it cuts off a record cut short that a writer who died
// left, and takes back what a failed write put there. Recovery's lines are
// archived once, whatever the archive held of them.
TEST(LineArchiveTest, WriterLeavesOnlyWholeRecords) {
  test::TempDir dir;
  LineArchive::start(dir.path(), "here (data source ZEIT)");
  ASSERT_EQ(LineArchive::append({archived("A1", "01.06.2015 08:00:00", "elsewhere"),
                                 archived("A2", "01.06.2015 08:00:00")}),
            0);
  std::vector<std::string> paths;
  std::string cause;
  ASSERT_EQ(LineArchive::listFiles(dir.path(), paths, cause), 0);
  ASSERT_EQ(paths.size(), 1u);
  const std::string path = paths[0];
  PassTime::CivilTime now = PassTime::localTimeAt(std::time(nullptr));
  EXPECT_EQ(path, dir.file(LineArchive::monthFileName(now.year, now.month)));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  LineArchive::Reading reading;
  std::string cause2;
  std::vector<ArchivedLine> read;
  LineArchive::readFile(
      path, [&read](ArchivedLine& line) { return read.push_back(line), true; }, reading, cause2);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].installation, "here (data source ZEIT)") << "the pass's own name";
  EXPECT_LE(static_cast<int64_t>(read[1].archivedAt), before);
  EXPECT_GT(static_cast<int64_t>(read[1].archivedAt), before - 60);
  EXPECT_EQ(read[1].passTime, "01.06.2015 08:00:00");
  EXPECT_EQ(read[1].line, archived("A2", "").line);

  // A writer died in the middle of its record.
  std::string cut = LineArchive::encode(archived("X", "01.06.2015 08:00:00")).substr(0, 33);
  test::writeFile(path, test::readFile(path) + cut);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LineArchive::append({archived("A3", "01.06.2015 08:05:00")}), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(": cut 33 bytes of a record cut short or damaged off the end of the archive "
                     "file " +
                     path + "\n"),
            std::string::npos)
      << err;
  reading = {};
  EXPECT_EQ(idsIn(path, reading), (std::vector<std::string>{"A1", "A2", "A3"}));
  EXPECT_EQ(reading.damagedBytes + reading.tornBytes, 0u);

  // Recovery: A2 is there, A4 is not.
  ArchivedLine known = read[1];
  std::vector<bool> held =
      LineArchive::appendMissing({known, archived("A4", "01.06.2015 08:05:00")}, before);
  EXPECT_EQ(held, (std::vector<bool>{true, true}));
  reading = {};
  EXPECT_EQ(idsIn(path, reading), (std::vector<std::string>{"A1", "A2", "A3", "A4"}));

  // A disk that fills up in the middle of the records.
  const std::string whole = test::readFile(path);
  int failed = test::runWithFileSizeLimit(static_cast<long>(whole.size()) + 40, [] {
    return LineArchive::append(
               {archived("A5", "01.06.2015 08:10:00"), archived("A6", "01.06.2015 08:10:00")}) == -1
               ? 1
               : 0;
  });
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(test::readFile(path), whole);
}

// A month file that cannot be opened ends the archiving of the pass, said
// once; nothing else of the pass depends on it.
TEST(LineArchiveTest, ArchiveThatCannotBeWrittenIsSaidAndLeftAlone) {
  test::TempDir dir;
  PassTime::CivilTime now = PassTime::localTimeAt(std::time(nullptr));
  std::string path = dir.file(LineArchive::monthFileName(now.year, now.month));
  test::makeDirs(path);
  LineArchive::start(dir.path(), kInstallation);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LineArchive::append({archived("A1", "01.06.2015 08:00:00")}), -1);
  EXPECT_FALSE(LineArchive::isInUse());
  EXPECT_EQ(LineArchive::append({archived("A2", "01.06.2015 08:00:00")}), -1);
  EXPECT_EQ(LineArchive::appendMissing({archived("A3", "01.06.2015 08:00:00")}, 0),
            std::vector<bool>{false});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string(program_invocation_short_name) +
                     ": cannot open the archive of sent lines " + path +
                     ": Is a directory; this pass archives no more of its lines, and "
                     "Morlund_Settings replay cannot send them again\n");
}

// At a pass's end the month files whose month ended more than 100 days ago
// go, whole; this month's and any other name stay.
TEST(LineArchiveTest, PruneRemovesExpiredMonthFilesOnly) {
  test::TempDir dir;
  const std::vector<std::string> kept = {
      "Morlund_MSSQL.archive.2026-09", "Morlund_MSSQL.archive.2026-12",
      "Morlund_MSSQL.archive.2027-01", "Morlund_MSSQL.archive.2015-06.x3Fq9Z",
      "Morlund_MSSQL.journal"};
  for (const std::string& name : kept) {
    test::writeFile(dir.file(name), "kept");
  }
  test::writeFile(dir.file("Morlund_MSSQL.archive.2026-08"), "old");
  test::writeFile(dir.file("Morlund_MSSQL.archive.2015-06"), "older");
  LineArchive::start(dir.path(), kInstallation);
  testing::internal::CaptureStderr();
  LineArchive::prune(PassTime::localUnixSeconds({2026, 12, 11, 12, 0, 0}));
  std::string err = testing::internal::GetCapturedStderr();
  std::vector<std::string> left = kept;
  std::sort(left.begin(), left.end());
  EXPECT_EQ(test::entries(dir.path()), left);
  const std::string said = std::string(program_invocation_short_name) +
                           ": removed the archive file " + dir.path() + "/Morlund_MSSQL.archive.";
  EXPECT_EQ(err, said + "2015-06: its month ended more than 100 days ago\n" + said +
                     "2026-08: its month ended more than 100 days ago\n");
}

// The metrics read the start of the oldest file that holds a pass of this
// installation; the check reads every line.
TEST(LineArchiveTest, FiguresAndInspectionTellWhatTheArchiveHolds) {
  test::TempDir dir;
  auto file = [&dir](const char* month, const std::vector<ArchivedLine>& lines) {
    std::string bytes;
    for (const ArchivedLine& line : lines) {
      bytes += LineArchive::encode(line);
    }
    test::writeFile(dir.file(std::string("Morlund_MSSQL.archive.") + month), bytes);
    return bytes.size();
  };
  int64_t bytes = 0;
  bytes += file("2026-10", {archived("O1", "03.10.2026 10:00:00", "other")});
  bytes += file("2026-11",
                {archived("A1", "", kInstallation), archived("A2", "05.11.2026 10:00:00"),
                 archived("A3", "05.11.2026 10:00:00"), archived("A4", "01.11.2026 09:00:00")});
  bytes += file("2026-12", {archived("A5", "01.12.2026 09:00:00")});
  test::writeFile(dir.file("Morlund_MSSQL.journal"), "not counted");

  LineArchive::Figures figures = LineArchive::figures(dir.path(), kInstallation);
  EXPECT_EQ(figures.bytes, bytes);
  EXPECT_EQ(figures.oldestPassSeconds, PassTime::localUnixSeconds({2026, 11, 5, 10, 0, 0}));
  EXPECT_EQ(LineArchive::figures(dir.path(), "other").oldestPassSeconds,
            PassTime::localUnixSeconds({2026, 10, 3, 10, 0, 0}));
  EXPECT_EQ(LineArchive::figures(dir.path(), "nobody").oldestPassSeconds, 0);
  EXPECT_EQ(LineArchive::figures(dir.file("missing"), kInstallation).bytes, 0);

  LineArchive::Inspection found;
  ASSERT_EQ(LineArchive::inspect(dir.path(), kInstallation, found), 0) << found.cause;
  EXPECT_EQ(found.files, 3u);
  EXPECT_EQ(found.bytes, bytes);
  EXPECT_EQ(found.passes, 3u);
  EXPECT_EQ(found.lines, 5u);
  EXPECT_EQ(found.oldestPass, "01.11.2026 09:00:00");
  EXPECT_TRUE(found.writable) << found.cause;

  test::writeFile(dir.file("Morlund_MSSQL.archive.2026-11"), "damage");
  ASSERT_EQ(LineArchive::inspect(dir.path(), kInstallation, found), 0) << found.cause;
  EXPECT_EQ(found.lines, 1u);
  EXPECT_EQ(found.skipped.damagedBytes, 6u);
  EXPECT_EQ(LineArchive::inspect(dir.file("missing"), kInstallation, found), -1);
  EXPECT_EQ(found.cause, "No such file or directory");
}

}  // namespace
