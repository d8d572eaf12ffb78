// Passes that meet other passes, other writers of the same transfer file and
// faults of disk and server: every booking exported at least once, none twice
// unless its marking failed, no torn or foreign bytes in the transfer file.
// Linux's program and Windows' under Wine; the writers that meet on one file
// in a test are always of one build, as Wine's locks and flock do not see
// each other.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "PassSupport.h"
#include "ProgramSupport.h"
#include "files/BookingJournal.h"
#include "files/ExportFile.h"

namespace {

using namespace test;

// count bookings <prefix>00001... that are all exported (source 50P).
void addBookings(const Installation& site, int count, const std::string& prefix) {
  site.database.execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(count) +
      ") INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewTID, BewLID, BewSrc, "
      "BewEra) SELECT '" +
      prefix +
      "' || printf('%05d', i), '10', '2015-06-01 00:00:00', '1899-12-30 07:45:00', '1', 'T1', "
      "'01', '50P', '1' FROM n");
}

std::vector<std::string> linesOf(int count, const std::string& prefix, int first = 1) {
  std::vector<std::string> lines;
  for (int i = first; i <= count; ++i) {
    char id[32];
    std::snprintf(id, sizeof id, "%s%05d", prefix.c_str(), i);
    lines.push_back(transferLine(id, "50P", "100"));
  }
  return lines;
}

// The lines of a transfer file, sorted. A zero byte or a line without its
// line feed fails the test.
std::vector<std::string> sortedLines(const std::string& content) {
  EXPECT_EQ(content.find('\0'), std::string::npos) << "zero bytes in the transfer file";
  EXPECT_TRUE(content.empty() || content.back() == '\n') << "torn last line";
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line + "\n");
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The environment that makes the n-th transfer-file write of a pass fail
// half-way after a wait.
std::map<std::string, std::string> failingWrite(int number, int stallMilliseconds) {
  return fileFaults({{"MORLUND_FAULT_WRITE_NUMBER", std::to_string(number)},
                     {"MORLUND_FAULT_WRITE_STALL_MS", std::to_string(stallMilliseconds)}});
}

std::string passLog(const std::string& serverTime, const std::vector<std::string>& entries,
                    int count) {
  std::string log = kStartEntry +
                    "\xDC"
                    "bergabe vom " +
                    serverTime + "\r\n\r\n";
  for (const std::string& entry : entries) {
    log += entry + "\r\n";
  }
  return log +
         "\r\nAnzahl \xFC"
         "bergebener Buchungen : " +
         std::to_string(count) + "\r\n" + kEndEntry;
}

class PassReliabilityTest : public ProgramPathTest {};
INSTANTIATE_TEST_SUITE_P(, PassReliabilityTest, kBothPrograms, programName);

// The second of two passes started together waits for the first and then
// finds nothing left to export; the run log holds both passes, whole. Where
// the directory cannot be locked (NFS), the passes lock a file in it.
TEST_P(PassReliabilityTest, TwoPassesStartedTogetherExportEveryBookingOnce) {
  for (bool directoryLocks : {true, false}) {
    SCOPED_TRACE(directoryLocks ? "directory lock" : "lock file");
    if (!directoryLocks &&
        linuxOnlyCase("lock file", "the preloaded fault library refuses the directory lock")) {
      continue;
    }
    Installation site(GetParam());
    const int kBookings = 300;
    addBookings(site, kBookings, "P");
    site.database.setControl("latency_ms", "1");
    std::map<std::string, std::string> environment;
    if (!directoryLocks) {
      environment = fileFaults({{"MORLUND_FAULT_DIRECTORY_LOCK", "1"}});
    }
    StartedProcess first = site.start({"Vantoreum.ini"}, environment);
    StartedProcess second = site.start({"Vantoreum.ini"}, environment);
    ProcessResult results[2] = {finishProcess(first, 120), finishProcess(second, 120)};
    EXPECT_EQ(results[0].exitStatus, 1);
    EXPECT_EQ(results[1].exitStatus, 1);
    EXPECT_EQ(results[0].err + results[1].err,
              console("Morlund_MSSQL: another pass runs in this working directory; waiting for it "
                      "to end\n"));
    // Windows cannot lock a directory: its passes always lock the file.
    EXPECT_EQ(fileExists(site.work + "/Morlund_MSSQL.lock"), !directoryLocks || windows());
    std::vector<std::string> expected = linesOf(kBookings, "P");
    std::string allLines;
    std::vector<std::string> entries;
    for (int i = 1; i <= kBookings; ++i) {
      char entry[64];
      std::snprintf(entry, sizeof entry, "P%05d,20150601,074500,T1,01,, 1, 50P", i);
      entries.push_back(entry);
      allLines += expected[static_cast<size_t>(i - 1)];
    }
    EXPECT_EQ(readFile(site.transferPath), allLines);
    EXPECT_EQ(site.log(), passLog("01.06.2015 08:00:00", entries, kBookings) +
                              passLog("01.06.2015 08:00:00", {}, 0));
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
  }
}

// Installation A's disk fails half-way through a line, slowly, while
// installation B appends to the same transfer file. B's lines stay; A's
// failed booking stays unmarked and comes with A's next pass.
TEST_P(PassReliabilityTest, FailedLineLeavesAnotherWritersLinesAlone) {
  MORLUND_LINUX_ONLY("the preloaded fault library fails the write");
  TempDir target;
  Installation a, b;
  addBookings(a, 5, "A");
  addBookings(b, 100, "B");
  b.database.setControl("latency_ms", "3");
  StartedProcess failing = a.start({"Vantoreum.ini", target.path()}, failingWrite(3, 1500));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  StartedProcess other = b.start({"Vantoreum.ini", target.path()});
  ProcessResult failed = finishProcess(failing, 60);
  ProcessResult otherResult = finishProcess(other, 60);
  EXPECT_EQ(failed.exitStatus, 90);
  EXPECT_NE(failed.err.find("write failed on the transfer file"), std::string::npos) << failed.err;
  EXPECT_EQ(otherResult.exitStatus, 1);
  std::string file = target.file("BEWDATA.dat");
  EXPECT_EQ(sortedLines(readFile(file)), sorted(joined(linesOf(2, "A"), linesOf(100, "B"))));
  EXPECT_EQ(a.database.query("SELECT BewIDN FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
            (std::vector<std::vector<std::string>>{{"A00003"}, {"A00004"}, {"A00005"}}));

  EXPECT_EQ(a.run({"Vantoreum.ini", target.path()}).exitStatus, 1);
  EXPECT_EQ(sortedLines(readFile(file)), sorted(joined(linesOf(5, "A"), linesOf(100, "B"))));
}

// A pass killed in the middle of a line leaves a fragment; its booking was
// never marked, so the next pass removes the fragment and writes the line
// whole. Text that is not a fragment of ours is closed, never cut.
TEST_P(PassReliabilityTest, TornLastLineIsRepairedByTheNextPass) {
  MORLUND_LINUX_ONLY("the preloaded fault library stalls the write half-way");
  Installation site(GetParam());
  addBookings(site, 3, "K");
  StartedProcess killed = site.start({"Vantoreum.ini"}, failingWrite(2, 30000));
  std::string content;
  for (int wait = 0; wait < 500; ++wait) {
    content = readFile(site.transferPath);
    if (content.size() > linesOf(1, "K")[0].size()) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(killed.pid, SIGKILL);
  finishProcess(killed, 10);
  ASSERT_EQ(content,
            linesOf(1, "K")[0] + linesOf(2, "K")[1].substr(0, linesOf(2, "K")[1].size() / 2));

  // The journal of the killed pass: its first line is in place, the other
  // two are not (one torn, one never begun).
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  auto named = [](const char* idn) {
    return std::string("booking ID '") + idn +
           "', Sto '10', Dtm '20150601000000', Uhr '18991230074500', Lfn '1'";
  };
  const std::string forgotten =
      " is not in the transfer file BEWDATA.dat any more (its line was removed unfinished, or the "
      "file emptied); the journal forgets it and it is exported again\n";
  EXPECT_EQ(result.err,
            "Morlund_MSSQL: " + named("K00002") + forgotten + "Morlund_MSSQL: " + named("K00003") +
                forgotten + "Morlund_MSSQL: marked " + named("K00001") +
                " as transferred: its line from an earlier pass is in the transfer file "
                "BEWDATA.dat\n"
                "Morlund_MSSQL: removed an unfinished last line from the transfer file "
                "BEWDATA.dat: 25 bytes without a line feed, \"K00002,10,20150601,074500\"\n");
  std::vector<std::string> lines = linesOf(3, "K");
  EXPECT_EQ(readFile(site.transferPath), lines[0] + lines[1] + lines[2]);

  std::string foreign = std::string(ExportFile::kLongestLineBytes, 'x') + "end\tof \"it\"\xFC";
  writeFile(site.transferPath, foreign);
  site.addBooking(booking("000009", "50P", "1"));
  result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err,
            "Morlund_MSSQL: closed the last line of the transfer file BEWDATA.dat with a line "
            "feed: its last 440 bytes held none, ending "
            "\"" +
                std::string(36, 'x') + "end\\x09of \\x22it\\x22\\xFC\"\n");
  EXPECT_EQ(readFile(site.transferPath), foreign + "\n" + transferLine("000009", "50P", "100"));
}

// The payroll side empties the file while a line is failing: the cut-back
// of that line must not make the file longer again (with zero bytes).
TEST_P(PassReliabilityTest, FailedLineNeverExtendsAnEmptiedFile) {
  MORLUND_LINUX_ONLY("the preloaded fault library fails the write");
  Installation site(GetParam());
  addBookings(site, 3, "E");
  StartedProcess failing = site.start({"Vantoreum.ini"}, failingWrite(2, 1500));
  std::string firstLine = linesOf(1, "E")[0];
  for (int wait = 0; wait < 500 && readFile(site.transferPath).size() <= firstLine.size(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(truncate(site.transferPath.c_str(), 0), 0);
  ProcessResult result = finishProcess(failing, 60);
  EXPECT_EQ(result.exitStatus, 90);
  EXPECT_EQ(readFile(site.transferPath), "");
  EXPECT_EQ(site.database.query("SELECT BewIDN FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
            (std::vector<std::vector<std::string>>{{"E00002"}, {"E00003"}}));
}

// The payroll side does not lock: it empties the file while a pass
// repairs its end (while its tail is read, or just before the fragment is
// cut off), or takes the file again and again during a pass. What
// it collected plus what is left holds every booking exactly once, whole,
// with no zero bytes and no empty lines.
TEST_P(PassReliabilityTest, PayrollSideMeetsThePassOnTheTransferFile) {
  struct Case {
    const char* what;
    std::string before;  // the transfer file before the pass
    int bookings;
    const char* emptiedDuring;  // READ or TRUNCATE; nullptr: take the file while the pass runs
  };
  const Case cases[] = {
      {"emptied while a torn end after lines is read", "earlier,line\nK0000", 3, "READ"},
      {"emptied while foreign text is read", std::string(ExportFile::kLongestLineBytes + 10, 'x'),
       3, "READ"},
      {"emptied just before a torn end is cut off", "earlier,line\nK0000", 3, "TRUNCATE"},
      {"taken again and again", "", 2000, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.emptiedDuring != nullptr &&
        linuxOnlyCase(c.what, "the preloaded fault library stalls the pass for the emptying")) {
      continue;
    }
    Installation site(GetParam());
    addBookings(site, c.bookings, "T");
    writeFile(site.transferPath, c.before);
    std::string stalling = site.work + "/stalling";
    std::map<std::string, std::string> environment;
    if (c.emptiedDuring != nullptr) {
      std::string stall = std::string("MORLUND_FAULT_") + c.emptiedDuring + "_STALL_";
      environment = fileFaults({{stall + "MS", "1000"}, {stall + "SIGNAL", stalling}});
    }
    StartedProcess pass = site.start({"Vantoreum.ini"}, environment);
    std::string collected;
    int taken = 0;
    auto take = [&] {
      std::string destination = site.work + "/taken.dat";
      ProcessResult result = site.runCompanion({"take", site.work, destination});
      EXPECT_TRUE(result.exitStatus == 0 || result.exitStatus == 1) << result.err;
      if (result.exitStatus == 0) {
        collected += readFile(destination);
        std::remove(destination.c_str());
        ++taken;
      }
    };
    if (c.emptiedDuring != nullptr) {
      for (int wait = 0; wait < 500 && !fileExists(stalling); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ASSERT_TRUE(fileExists(stalling));
      ASSERT_EQ(truncate(site.transferPath.c_str(), 0), 0);
    } else {
      siginfo_t ended{};
      while (waitid(P_PID, static_cast<id_t>(pass.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             ended.si_pid == 0) {
        take();
      }
      EXPECT_GT(taken, 1);
    }
    ProcessResult result = finishProcess(pass, 120);
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    if (fileExists(site.transferPath)) {
      collected += readFile(site.transferPath);
    }
    EXPECT_EQ(sortedLines(collected), sorted(linesOf(c.bookings, "T")));
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
  }
}

// Passes killed at random moments, then one that runs to its end: every
// booking is in the transfer file exactly once, whole, and marked. A kill
// between a line and its marking leaves the booking in the journal, and the
// next pass marks it instead of exporting it again.
TEST_P(PassReliabilityTest, KilledPassesExportEveryBookingExactlyOnce) {
  for (DriverPath path : {DriverPath::kStandinDriver, DriverPath::kFreeTds}) {
    SCOPED_TRACE(path == DriverPath::kFreeTds ? "FreeTDS" : "stand-in driver");
    Installation site({program(), path});
    const int kBookings = 4000;
    addBookings(site, kBookings, "X");
    // Slow enough that most kills meet a pass in its row loop.
    site.database.setControl(path == DriverPath::kFreeTds ? "wire_latency_ms" : "latency_ms",
                             path == DriverPath::kFreeTds ? "20" : "1");
    unsigned seed = 20261209;
    int killedInTheMiddle = 0;
    for (int round = 0; round < 12; ++round) {
      StartedProcess pass = site.start({"Vantoreum.ini"});
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + rand_r(&seed) % 400));
      kill(pass.pid, SIGKILL);
      ProcessResult killed = finishProcess(pass, 30);
      killedInTheMiddle += killed.signal == SIGKILL;
    }
    EXPECT_GT(killedInTheMiddle, 6);
    ProcessResult last = site.run({"Vantoreum.ini"});
    EXPECT_EQ(last.exitStatus, 1) << last.err;
    EXPECT_EQ(sortedLines(readFile(site.transferPath)), sorted(linesOf(kBookings, "X")));
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
  }
}

// A pass killed inside its marking request's transaction, after its first
// UPDATE (the TDS server stalls the second; the stand-in driver, which runs
// the batch inside the pass, waits 2 s before the COMMIT, as for a log
// flush): the server commits nothing of it, the first UPDATE included, the
// journal holds the rowset, and the next pass marks every booking without
// writing it again.
// A transaction left open by the dead session would keep that pass from
// marking them.
TEST_P(PassReliabilityTest, PassKilledInsideAMarkingRequestLeavesNothingCommitted) {
  for (DriverPath path : {DriverPath::kStandinDriver, DriverPath::kFreeTds}) {
    SCOPED_TRACE(path == DriverPath::kFreeTds ? "FreeTDS" : "stand-in driver");
    Installation site({program(), path});
    addBookings(site, 3, "K");
    bool tds = path == DriverPath::kFreeTds;
    site.database.setControl(tds ? "stall.update" : "commit_cost_ms", tds ? "2" : "2000");
    StartedProcess pass = site.start({"Vantoreum.ini"});
    std::string written = linesOf(3, "K")[0] + linesOf(3, "K")[1] + linesOf(3, "K")[2];
    for (int wait = 0; wait < 500 && readFile(site.transferPath) != written; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pass.pid, SIGKILL);
    EXPECT_EQ(finishProcess(pass, 30).signal, SIGKILL);
    EXPECT_EQ(readFile(site.transferPath), written);
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"3"}}));
    site.database.execute("DELETE FROM StandinControl WHERE Name <> 'clock'");
    ProcessResult next = site.run({"Vantoreum.ini"});
    EXPECT_EQ(next.exitStatus, 1) << next.err;
    EXPECT_EQ(readFile(site.transferPath), written);
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
    EXPECT_EQ(std::count(next.err.begin(), next.err.end(), '\n'), 3) << next.err;
  }
}

// What a killed pass left, as the next pass meets it, then what the pass
// after that does: every booking ends up marked, in the transfer file once
// where its line was verifiably there, and twice only where standard error
// said it might be.
TEST_P(PassReliabilityTest, NextPassMeetsTheJournalAsLeft) {
  const std::string line1 = transferLine("J1", "50P", "100");
  const std::string line2 = transferLine("J2", "50P", "100");
  auto takeAway = [](const Installation& site) {
    ASSERT_EQ(rename(site.transferPath.c_str(), (site.work + "/taken.dat").c_str()), 0);
  };
  // What the killed pass left of J1.
  enum class Left { kNothing, kLine, kSyncedLine, kRecordOnly, kOtherInstallationsRecord };
  struct Case {
    const char* what;
    Left left;
    std::function<void(const Installation&)> meanwhile;
    std::map<std::string, std::string> faults;
    int exitStatus;
    std::string file;        // the transfer file after the pass
    std::string err;         // what standard error says among the rest
    std::string fileAtLast;  // after one more pass
    size_t recordsAtLast;    // live in the journal then
    std::string errAtLast = "";
  };
  const std::map<std::string, std::string> none;
  const auto failingSync = fileFaults({{"MORLUND_FAULT_SYNC_NUMBER", "1"}});
  const Case cases[] = {
      {"line in place, its file cannot be synced", Left::kLine, nullptr, failingSync, 1,
       line1 + line1 + line2,
       "may reach the payroll side twice: its line is in the transfer file BEWDATA.dat, which "
       "cannot be synced (Input/output error)",
       line1 + line1 + line2, 0},
      {"file taken away before the line was noted as synced", Left::kLine, takeAway, none, 1,
       line1 + line2, "which was taken away before the line was synced", line1 + line2, 0},
      {"file taken away after the line was noted as synced", Left::kSyncedLine, takeAway, none, 1,
       line2, "its line from an earlier pass is in the transfer file BEWDATA.dat", line2, 0},
      {"record of another installation", Left::kOtherInstallationsRecord, nullptr, none, 1,
       line1 + line2, "", line1 + line2, 1},
      {"damaged record before a whole one", Left::kLine,
       [](const Installation& site) {
         std::string journal = readFile(journalPath(site));
         journal[journal.size() / 2] ^= 0x20;
         writeFile(journalPath(site), journal + BookingJournal::encodeRetired({7}));
       },
       none, 1, line1 + line1 + line2, "damaged bytes", line1 + line1 + line2, 0},
      {"damaged last record", Left::kLine,
       [](const Installation& site) {
         std::string journal = readFile(journalPath(site));
         journal[journal.size() / 2] ^= 0x20;
         writeFile(journalPath(site), journal);
       },
       none, 1, line1 + line1 + line2, "damaged bytes", line1 + line1 + line2, 0},
      {"torn last record", Left::kRecordOnly,
       [](const Installation& site) {
         std::string journal = readFile(journalPath(site));
         writeFile(journalPath(site), journal.substr(0, journal.size() - 5));
       },
       none, 1, line1 + line2, "", line1 + line2, 0},
      {"a rowset's lines fail to sync", Left::kNothing, nullptr, failingSync, 90, "",
       "fdatasync failed on the transfer file BEWDATA.dat: Input/output error", line1 + line2, 0,
       "is not in the transfer file BEWDATA.dat any more"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.faults.empty() && linuxOnlyCase(c.what, "the preloaded fault library fails the sync")) {
      continue;
    }
    Installation site(GetParam());
    site.addBooking(booking("J1", "50P", "1"));
    site.addBooking(booking("J2", "50P", "1"));
    if (c.left != Left::kNothing) {
      leaveInJournal(
          site, "J1", line1, c.left == Left::kLine || c.left == Left::kSyncedLine,
          c.left == Left::kSyncedLine,
          c.left == Left::kOtherInstallationsRecord ? "/elsewhere (data source ZEIT)" : "");
    }
    if (c.meanwhile) {
      c.meanwhile(site);
    }
    StartedProcess pass = site.start({"Vantoreum.ini"}, c.faults);
    ProcessResult result = finishProcess(pass, 60);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.err;
    EXPECT_EQ(readFile(site.transferPath), c.file);
    auto expectSaid = [](const std::string& err, const std::string& said) {
      if (said.empty()) {
        EXPECT_EQ(err, "");
      } else {
        EXPECT_NE(err.find(said), std::string::npos) << err;
      }
    };
    expectSaid(result.err, c.err);
    result = site.run({"Vantoreum.ini"});
    EXPECT_EQ(result.exitStatus, 1);
    expectSaid(result.err, c.errAtLast);
    EXPECT_EQ(readFile(site.transferPath), c.fileAtLast);
    EXPECT_EQ(site.marks(), (std::vector<std::vector<std::string>>{{"J1", "4"}, {"J2", "4"}}));
    EXPECT_EQ(BookingJournal::parse(readFile(journalPath(site))).live.size(), c.recordsAtLast);
  }
}

// A device cannot sync; the line it took counts as written.
TEST_P(PassReliabilityTest, DevNullAsTransferFileTakesEveryLine) {
  MORLUND_LINUX_ONLY("the transfer file is a symbolic link to /dev/null");
  Installation site(GetParam());
  ASSERT_EQ(symlink("/dev/null", site.transferPath.c_str()), 0);
  addBookings(site, 4, "N");
  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(site.log().find("Buchungen : 4\r\n"), std::string::npos);
  EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
            (std::vector<std::vector<std::string>>{{"0"}}));
}

// A key ending in a tab is trimmed for its line but found by its marking; a
// key the driver cut (an ID over 50 characters) cannot be found, and that
// is said, not passed over.
TEST_P(PassReliabilityTest, MarkingFindsTabbedKeysAndReportsKeysItCannotFind) {
  Installation site(GetParam());
  site.addBooking(booking("000777\t", "50P", "1"));
  std::string longId(60, 'L');
  site.addBooking(booking(longId, "50P", "1"));
  auto first = site.run({"Vantoreum.ini", "/D"});
  EXPECT_EQ(first.exitStatus, 1);
  EXPECT_EQ(first.out, console("Uebergabe am 01.06.2015 08:00:00 gestartet\n\n"
                               "ID: 000777, Buchung vom 20150601 074500  uebergeben\n"
                               "ID: " +
                               longId.substr(0, 50) +
                               ", Buchung vom 20150601 074500  uebergeben\n"
                               "\nFehler 'SQL_MarkTranfer: 100\n"
                               "\nAnzahl uebergebener Buchungen : 2"));
  EXPECT_EQ(first.err, console("Morlund_MSSQL: marking booking ID '" + longId.substr(0, 50) +
                               "', Sto '10', Dtm '20150601000000', Uhr '18991230074500', Lfn "
                               "'1' as transferred failed with 100 (no row changed); the journal "
                               "keeps it: the next pass marks it and does not export it again\n"));
  EXPECT_EQ(site.marks(),
            (std::vector<std::vector<std::string>>{{"000777\t", "4"}, {longId, "NULL"}}));
  const std::string file =
      transferLine("000777", "50P", "100") + transferLine(longId.substr(0, 50), "50P", "100");
  EXPECT_EQ(readFile(site.transferPath), file);

  // The journal holds it: the next pass tries its marking again (before it
  // reads, and when the cursor returns it) and never writes it again.
  auto second = site.run({"Vantoreum.ini", "/D"});
  EXPECT_EQ(second.out, console("Uebergabe am 01.06.2015 08:00:00 gestartet\n\n\nAnzahl "
                                "uebergebener Buchungen : 0"));
  const std::string again = "Morlund_MSSQL: marking booking ID '" + longId.substr(0, 50) +
                            "', Sto '10', Dtm '20150601000000', Uhr '18991230074500', Lfn '1' "
                            "as transferred failed again with 100 (no row changed); its line is "
                            "in the transfer file from an earlier pass; the journal keeps it: the "
                            "next pass marks it and does not export it again\n";
  EXPECT_EQ(second.err, console(again + again));
  EXPECT_EQ(readFile(site.transferPath), file);
}

// A journal grown large with retired records is written anew at the pass's
// end, with only what is still live; the pass holds the journal open under
// its lock meanwhile, and Windows cannot rename a file over one that is held
// open, so there the pass lets go of it first.
TEST_P(PassReliabilityTest, LargeJournalIsWrittenAnewAtThePassEnd) {
  Installation site(GetParam());
  site.addBooking(booking("J1", "50P", "1"));
  site.addBooking(booking("J2", "50P", "1"));
  const std::string line1 = transferLine("J1", "50P", "100");
  // A record another installation sharing the log directory keeps live.
  leaveInJournal(site, "J1", line1, false, false, "/elsewhere (data source ZEIT)");
  std::string journal = readFile(journalPath(site));
  BookingJournal::WrittenBooking retired = BookingJournal::parse(journal).live[0];
  std::vector<uint64_t> sequences;
  for (uint64_t sequence = 100; sequence < 6100; ++sequence) {
    retired.sequence = sequence;
    journal += BookingJournal::encodeWritten(retired);
    sequences.push_back(sequence);
  }
  journal += BookingJournal::encodeRetired(sequences);
  ASSERT_GT(journal.size(), 1024u * 1024u);
  writeFile(journalPath(site), journal);

  auto result = site.run({"Vantoreum.ini"});
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readFile(site.transferPath), line1 + transferLine("J2", "50P", "100"));
  std::string after = readFile(journalPath(site));
  EXPECT_LT(after.size(), 4096u) << "the journal was not written anew";
  BookingJournal::Contents contents = BookingJournal::parse(after);
  ASSERT_EQ(contents.live.size(), 1u);
  EXPECT_EQ(contents.live[0].installation, "/elsewhere (data source ZEIT)");
  EXPECT_EQ(contents.live[0].line, line1);
  EXPECT_FALSE(fileExists(journalPath(site) + ".new"));
  EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
            (std::vector<std::vector<std::string>>{{"0"}}));
}

// The first line a started process writes to its standard output, without
// its line feed; empty when none comes within the seconds.
std::string firstLineOf(const StartedProcess& process, int seconds) {
  std::string line;
  pollfd ready = {process.outFd, POLLIN, 0};
  char c = 0;
  while (poll(&ready, 1, seconds * 1000) > 0 && read(process.outFd, &c, 1) == 1 && c != '\n') {
    line += c;
  }
  return line;
}

// Readers that hold the transfer file and the run log open for a whole pass
// (a log viewer, the payroll side's reader) hold up nothing: the pass
// appends its lines and entries to the same files, and the readers read
// them through the handles they held. A reader that opens the lock file and
// the journal while the pass holds them, reads them and renames them away
// and back is not refused either. On Windows that takes the share modes of
// every handle the pass opens, which only another Windows process meets (no
// Linux process sees them): the readers there are tests/windows/
// WineFileProbe.exe, which opens files as the C runtime's fopen does,
// sharing reading and writing but not deleting.
TEST_P(PassReliabilityTest, ReadersHoldingTheFilesDoNotHoldUpThePass) {
  Installation site(GetParam());
  addBookings(site, 1, "R");
  ASSERT_EQ(site.run({"Vantoreum.ini"}).exitStatus, 1);
  addBookings(site, 300, "S");
  site.database.setControl("latency_ms", "100");
  TempDir scratch;
  const std::string stop = scratch.file("stop");
  const std::string lockFile = site.work + "/Morlund_MSSQL.lock";
  StartedProcess holder;
  std::string heldTransfer;
  std::string heldLog;
  if (windows()) {
    holder = startProcess(probeCommand({"hold", programPath(stop), programPath(site.transferPath),
                                        programPath(site.logPath)}),
                          site.work, programEnvironment(Program::kWindows, {}));
    ASSERT_EQ(firstLineOf(holder, 30), "held");
  } else {
    // A reader's descriptors, read after the pass.
    holder.outFd = -1;
  }
  std::ifstream transferReader(site.transferPath, std::ios::binary);
  std::ifstream logReader(site.logPath, std::ios::binary);
  StartedProcess during;
  if (windows()) {
    during = startProcess(
        probeCommand({"during", programPath(lockFile), programPath(journalPath(site))}), site.work,
        programEnvironment(Program::kWindows, {}));
  }
  StartedProcess pass = site.start({"Vantoreum.ini"});
  ProcessResult passed = finishProcess(pass, 120);
  EXPECT_EQ(passed.exitStatus, 1);
  EXPECT_EQ(passed.err, "");
  EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
            (std::vector<std::vector<std::string>>{{"0"}}));
  std::string transfer = readFile(site.transferPath);
  std::string log = readFile(site.logPath);
  EXPECT_EQ(sortedLines(transfer), sorted(joined(linesOf(1, "R"), linesOf(300, "S"))));
  if (windows()) {
    ProcessResult read = finishProcess(during, 60);
    EXPECT_EQ(read.exitStatus, 0) << read.err;
    EXPECT_NE(read.out.find("renamed it away and back\nread "), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("the locks were held throughout\n"), std::string::npos)
        << read.out << " (the pass ended too soon for the test)";
    writeFile(stop, "");
    ProcessResult held = finishProcess(holder, 60);
    EXPECT_EQ(held.exitStatus, 0) << held.err;
    EXPECT_EQ(held.out, std::to_string(transfer.size()) + "\n" + transfer +
                            std::to_string(log.size()) + "\n" + log);
  } else {
    std::ostringstream transferRead;
    std::ostringstream logRead;
    transferRead << transferReader.rdbuf();
    logRead << logReader.rdbuf();
    EXPECT_EQ(transferRead.str(), transfer);
    EXPECT_EQ(logRead.str(), log);
  }
}

// A server that stops answering: the statement times out, the pass goes on
// and ends normally, and what was not marked comes with the next pass.
TEST_P(PassReliabilityTest, StalledStatementTimesOutAndNothingIsLost) {
  struct Case {
    const char* control;
    const char* value;
    std::vector<std::string> unmarked;
    std::string echo;  // between the exported lines and the count
  };
  const Case cases[] = {
      // Fetch 1 is the server time's; fetch 3 reads the second booking.
      {"stall.fetch", "3", {"S00002", "S00003"}, ""},
      // The marking request stalls at its second statement and times out;
      // marked one by one, that booking and the next are marked after all.
      {"stall.update", "2", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    Installation site(GetParam());
    addBookings(site, 3, "S");
    site.database.setControl(c.control, c.value);
    StartedProcess pass = site.start({"Vantoreum.ini", "/D"});
    ProcessResult result = finishProcess(pass, 60);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.err.find("SQLSTATE HYT00"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find(c.echo), std::string::npos) << result.out;
    std::vector<std::vector<std::string>> unmarked;
    for (const std::string& id : c.unmarked) {
      unmarked.push_back({id});
    }
    EXPECT_EQ(site.database.query("SELECT BewIDN FROM Kvl321Bew WHERE BewUkz IS NOT 4"), unmarked);
    std::string firstPass = readFile(site.transferPath);

    site.database.execute("DELETE FROM StandinControl WHERE Name = '" + std::string(c.control) +
                          "'");
    EXPECT_EQ(site.run({"Vantoreum.ini"}).exitStatus, 1);
    std::string again;
    for (const std::string& id : c.unmarked) {
      again += transferLine(id, "50P", "100");
    }
    EXPECT_EQ(readFile(site.transferPath), firstPass + again);
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
  }
}

}  // namespace
