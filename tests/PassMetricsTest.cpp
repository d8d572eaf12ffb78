#include "files/PassMetrics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>

#include "PassSupport.h"
#include "ProgramSupport.h"
#include "TestSupport.h"
#include "files/PassTime.h"

namespace {

using PassMetrics::PassFigures;

// Debian's prometheus_client (python3-prometheus-client), as Prometheus's own
// OpenMetrics parser stands in for the scraper: one line per sample, its
// family's type and unit before it. The parser refuses a file without
// "# EOF" at its end, a counter sample without "_total", a unit that the
// name does not end with.
std::string parsedByPrometheusClient(const std::string& path) {
  const char* script =
      "import sys\n"
      "from prometheus_client.openmetrics.parser import text_string_to_metric_families\n"
      "for family in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
      "    for sample in family.samples:\n"
      "        print(family.type, family.unit or '-', sample.name, sample.labels, sample.value)\n";
  auto parsed = test::runProcess({"/usr/bin/python3", "-c", script, path}, "/");
  EXPECT_EQ(parsed.exitStatus, 0) << parsed.err;
  return parsed.out;
}

// What the parser must find, in the file's order.
std::string expectedSamples(const PassFigures& f, int64_t lastComplete) {
  const std::pair<const char*, int64_t> samples[] = {
      {"seconds pass_start_timestamp_seconds", f.startSeconds},
      {"seconds pass_end_timestamp_seconds", f.endSeconds},
      {"- pass_exit_status", f.exitStatus},
      {"seconds last_complete_pass_timestamp_seconds", lastComplete},
      {"- pass_read_bookings", f.bookingsRead},
      {"- pass_exported_bookings", f.bookingsExported},
      {"- pass_filtered_bookings", f.bookingsFiltered},
      {"- pass_marked_bookings", f.bookingsMarked},
      {"- pass_failed_markings", f.failedMarkings},
      {"bytes pass_appended_bytes", f.appendedBytes},
      {"- journal_held_bookings", f.bookingsHeld},
      {"seconds journal_oldest_held_timestamp_seconds", f.oldestHeldSeconds},
      {"bytes archive_bytes", f.archiveBytes},
      {"seconds archive_oldest_pass_timestamp_seconds", f.oldestArchivedPassSeconds},
  };
  std::string text;
  for (const auto& [unitAndName, value] : samples) {
    std::string s = unitAndName;
    text += "gauge " + s.insert(s.find(' ') + 1, "morlund_export_") + " {} " +
            std::to_string(value) + "\n";
  }
  return text;
}

PassFigures figures(int32_t exitStatus, int64_t start, int64_t read, int64_t failed) {
  PassFigures f;
  f.startSeconds = start;
  f.endSeconds = start + 7;
  f.exitStatus = exitStatus;
  f.bookingsRead = read;
  f.bookingsFiltered = read / 4;
  f.bookingsExported = read - read / 4;
  f.bookingsMarked = read - failed;
  f.failedMarkings = failed;
  f.appendedBytes = f.bookingsExported * 121;
  f.bookingsHeld = failed * 3;
  f.oldestHeldSeconds = failed > 0 ? start - 3600 : 0;
  f.archiveBytes = read * 173;
  f.oldestArchivedPassSeconds = read > 0 ? start - 30 * 86400 : 0;
  return f;
}

// The last complete pass comes from this pass when it ran to its end, and
// from the file before it otherwise, over any number of passes that did not.
TEST(PassMetricsTest, FileRecordsEveryKindOfPass) {
  const int64_t t0 = 1796790000;
  const PassFigures clean = figures(1, t0, 40, 0);
  const PassFigures stoppedByWrite = figures(90, t0 + 300, 12, 0);
  // A file of the version before the archive: without its two metrics.
  PassMetrics::RecordedPass earlier;
  earlier.figures = clean;
  earlier.lastCompleteSeconds = clean.endSeconds;
  std::string beforeTheArchive;
  for (const std::string& line : test::lines(PassMetrics::render(earlier))) {
    if (line.find("morlund_export_archive_") == std::string::npos) {
      beforeTheArchive += line + "\n";
    }
  }
  struct Case {
    const char* what;
    std::vector<PassFigures> before;
    std::string damagedBefore;  // the previous file, when not written by passes
    PassFigures pass;
    int64_t lastComplete;
  };
  const Case cases[] = {
      {"clean pass, no previous file", {}, "", clean, t0 + 7},
      {"failed markings after a clean pass", {clean}, "", figures(1, t0 + 300, 13, 2), t0 + 307},
      {"stopped by a write failure", {clean}, "", stoppedByWrite, t0 + 7},
      {"no connection after a pass stopped early",
       {clean, stoppedByWrite},
       "",
       figures(255, t0 + 600, 0, 0),
       t0 + 7},
      {"no settings file, no previous file", {}, "", figures(97, t0, 0, 0), 0},
      {"stopped by a write failure after a damaged file",
       {},
       "morlund_export_last_complete_pass_timestamp_seconds 17967x\n",
       stoppedByWrite,
       0},
      {"figures beyond 32 bits", {}, "", figures(1, t0, 5000000000, 1), t0 + 7},
      {"stopped by a write failure after a file of the version before the archive",
       {},
       beforeTheArchive,
       stoppedByWrite,
       t0 + 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string path = dir.file(PassMetrics::kFileName);
    if (!c.damagedBefore.empty()) {
      test::writeFile(path, c.damagedBefore);
    }
    for (const PassFigures& earlier : c.before) {
      ASSERT_EQ(PassMetrics::writeAt(path, earlier), 0);
    }
    mode_t umaskBefore = umask(027);  // the service's
    EXPECT_EQ(PassMetrics::writeAt(path, c.pass), 0);
    umask(umaskBefore);

    EXPECT_EQ(parsedByPrometheusClient(path), expectedSamples(c.pass, c.lastComplete));
    PassMetrics::RecordedPass recorded;
    std::string reason;
    EXPECT_EQ(PassMetrics::parse(test::readFile(path), recorded, reason), 0) << reason;
    EXPECT_EQ(recorded.lastCompleteSeconds, c.lastComplete);
    EXPECT_EQ(test::entries(dir.path()), std::vector<std::string>{PassMetrics::kFileName});
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
  }
}

// A collector reading while passes write finds a whole file every time.
// Written in place instead of renamed, the file is empty or half written in
// some of these reads.
TEST(PassMetricsTest, AReaderNeverSeesPartOfAFile) {
  test::TempDir dir;
  std::string path = dir.file(PassMetrics::kFileName);
  ASSERT_EQ(PassMetrics::writeAt(path, figures(1, 1796790000, 1, 0)), 0);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    for (int64_t i = 0; i < 200; ++i) {
      // Figures of changing length, so that a mix of two files shows too.
      if (PassMetrics::writeAt(path, figures(i % 2 == 0 ? 1 : 255, 1796790000 + i,
                                             i % 3 == 0 ? 7 : 70000000000 + i, i % 5)) != 0) {
        _exit(1);
      }
    }
    _exit(0);
  }
  int reads = 0;
  int partial = 0;
  std::string example;
  int status = 0;
  while (waitpid(writer, &status, WNOHANG) == 0) {
    std::string text;
    std::string reason;
    ASSERT_EQ(PassMetrics::readFile(path, text, reason), 0) << reason;
    ++reads;
    PassMetrics::RecordedPass recorded;
    if (PassMetrics::parse(text, recorded, reason) != 0) {
      ++partial;
      example = reason;
    }
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(reads, 20);
  EXPECT_EQ(partial, 0) << example;
  EXPECT_EQ(test::entries(dir.path()), std::vector<std::string>{PassMetrics::kFileName});
}

// A file that cannot be written is said on standard error, once; the file
// of the pass before stays whole and no temporary file is left.
TEST(PassMetricsTest, FileThatCannotBeWrittenIsReported) {
  struct Case {
    const char* what;
    bool previousIsDirectory;
    long fileSizeLimit;
    bool unwritableDirectory;
    std::string cause;
  };
  const Case cases[] = {
      {"directory not writable", false, LONG_MAX, true,
       "creating a file beside it: Permission denied"},
      {"disk full", false, 600, false, "writing it: File too large"},
      {"name taken by a directory", true, LONG_MAX, false,
       "renaming it into place: Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string directory = dir.file("log");
    std::string path = directory + "/" + PassMetrics::kFileName;
    test::makeDirs(directory);
    if (c.previousIsDirectory) {
      test::makeDirs(path);
    } else {
      ASSERT_EQ(PassMetrics::writeAt(path, figures(1, 1796790000, 3, 0)), 0);
    }
    std::string before = c.previousIsDirectory ? "" : test::readFile(path);
    if (c.unwritableDirectory) {
      chmod(directory.c_str(), 0555);
    }
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    int failed = test::runWithFileSizeLimit(c.fileSizeLimit, [&] {
      dup2(errPipe[1], STDERR_FILENO);
      // Root writes any directory; nobody does not.
      if (c.unwritableDirectory && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
        return 2;
      }
      return PassMetrics::writeAt(path, figures(255, 1796790600, 0, 0)) == -1 ? 1 : 0;
    });
    close(errPipe[1]);
    std::string err;
    char chunk[512];
    for (ssize_t n; (n = read(errPipe[0], chunk, sizeof chunk)) > 0;) {
      err.append(chunk, static_cast<size_t>(n));
    }
    close(errPipe[0]);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(err, std::string(program_invocation_short_name) + ": cannot write the metrics file " +
                       path + ": " + c.cause + "; monitoring does not see this pass\n");
    chmod(directory.c_str(), 0755);
    EXPECT_EQ(c.previousIsDirectory ? "" : test::readFile(path), before);
    EXPECT_EQ(test::entries(directory), std::vector<std::string>{PassMetrics::kFileName});
  }
}

// The bytes of the site's archive of sent lines, as its files are now.
int64_t archiveBytes(const test::SiteLayout& site) {
  int64_t bytes = 0;
  std::string directory = site.root.file("Vantoreum_php/log");
  for (const std::string& name : test::entries(directory)) {
    if (name.rfind("Morlund_MSSQL.archive.", 0) == 0) {
      bytes += static_cast<int64_t>(test::readFile(directory + "/" + name).size());
    }
  }
  EXPECT_GT(bytes, 0);
  return bytes;
}

// What real passes of both programs leave, as counted: a clean one, one
// whose marking fails for a booking (the journal holds it), one stopped by a
// line that cannot be written (the last complete pass carried over). The
// file must parse as written, so Windows' must hold the same bytes.
class PassMetricsOfPassesTest : public test::ProgramPathTest {};
INSTANTIATE_TEST_SUITE_P(, PassMetricsOfPassesTest, test::kBothPrograms, test::programName);

TEST_P(PassMetricsOfPassesTest, PassesLeaveTheirFiguresAsCounted) {
  test::Installation site(GetParam());
  const std::string path = site.root.file("Vantoreum_php/log/morlund_export.prom");
  const int64_t lineBytes = static_cast<int64_t>(test::transferLine("A00001", "50P", "100").size());
  struct Case {
    const char* what;
    std::vector<std::string> exported;  // bookings added before the pass, source 50P
    int filtered;                       // bookings added besides, not exported
    const char* triggerPattern;         // marking fails for these IDs, or nullptr
    bool failingWrite;
    int32_t exitStatus;
    int64_t read, exportedCount, marked, failed, held;
  };
  const Case cases[] = {
      {"clean pass", {"A00001", "A00002"}, 1, nullptr, false, 1, 3, 2, 3, 0, 0},
      {"a failed marking", {"B00001", "B00002"}, 0, "B00002", false, 1, 2, 2, 1, 1, 1},
      // B00002 is marked from the journal first; C00001's record stays, its
      // line not written, for the next pass to forget.
      {"a line that cannot be written", {"C00001"}, 0, nullptr, true, 90, 1, 0, 1, 0, 1},
  };
  int64_t lastComplete = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.failingWrite && linuxOnlyCase(c.what, "the preloaded fault library fails the write")) {
      continue;
    }
    site.database.execute("DELETE FROM StandinControl WHERE Name LIKE 'trigger.%'");
    for (const std::string& idn : c.exported) {
      site.addBooking(test::booking(idn, "50P", "1"));
    }
    for (int i = 0; i < c.filtered; ++i) {
      site.addBooking(test::booking("F0000" + std::to_string(i), "DTA", "300"));
    }
    if (c.triggerPattern != nullptr) {
      site.database.setControl("trigger.update", std::string(c.triggerPattern) + ",50000,42000");
    }
    std::map<std::string, std::string> environment = site.driverPath.environment();
    if (c.failingWrite) {
      for (const auto& [name, value] : test::fileFaults({{"MORLUND_FAULT_WRITE_NUMBER", "1"}})) {
        environment[name] = value;
      }
    }
    int64_t before = static_cast<int64_t>(std::time(nullptr));
    auto pass = test::runExport(site, {"Vantoreum.ini"}, environment, program());
    int64_t after = static_cast<int64_t>(std::time(nullptr));
    ASSERT_EQ(pass.exitStatus, c.exitStatus) << pass.err;

    PassMetrics::RecordedPass recorded;
    std::string reason;
    ASSERT_EQ(PassMetrics::parse(test::readFile(path), recorded, reason), 0) << reason;
    const PassFigures& found = recorded.figures;
    EXPECT_GE(found.startSeconds, before);
    EXPECT_LE(found.endSeconds, after);
    EXPECT_LE(found.startSeconds, found.endSeconds);
    PassFigures counted;
    counted.startSeconds = found.startSeconds;
    counted.endSeconds = found.endSeconds;
    counted.exitStatus = c.exitStatus;
    counted.bookingsRead = c.read;
    counted.bookingsExported = c.exportedCount;
    counted.bookingsFiltered = c.filtered;
    counted.bookingsMarked = c.marked;
    counted.failedMarkings = c.failed;
    counted.appendedBytes = c.exportedCount * lineBytes;
    counted.bookingsHeld = c.held;
    counted.oldestHeldSeconds = c.held > 0 ? found.oldestHeldSeconds : 0;
    // Every case's pass (the first exports two lines) runs at the stand-in's
    // 01.06.2015 08:00:00, which the archive files its lines under.
    counted.archiveBytes = archiveBytes(site);
    counted.oldestArchivedPassSeconds = PassTime::localUnixSeconds({2015, 6, 1, 8, 0, 0});
    if (c.held > 0) {
      EXPECT_GT(found.oldestHeldSeconds, 0);
      EXPECT_LE(found.oldestHeldSeconds, after);
    }
    if (c.exitStatus == 1) {
      lastComplete = found.endSeconds;
    }
    EXPECT_EQ(parsedByPrometheusClient(path), expectedSamples(counted, lastComplete));
  }
}

}  // namespace
