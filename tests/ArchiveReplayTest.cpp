// Sending again what the payroll side lost: passes at different server
// times over bookings written between them, some killed between their lines
// and their markings, some with markings that fail or a sync that fails;
// then Morlund_Settings replay of each pass's window and of all of them,
// which must give exactly the bytes each pass appended to the transfer
// file, and change nothing.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "PassSupport.h"
#include "files/BookingJournal.h"
#include "files/LineArchive.h"

namespace {

using namespace test;

// "2015-12-31 23:55:00", as the stand-in's clock takes it, to
// "31.12.2015 23:55:00", as the run log shows the pass's time.
std::string passTimeOf(const std::string& clock) {
  return clock.substr(8, 2) + "." + clock.substr(5, 2) + "." + clock.substr(0, 4) + " " +
         clock.substr(11, 8);
}

ProcessResult replay(const SiteLayout& site, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {buildDir() + "/Morlund_Settings", "replay", "Vantoreum.ini"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProcess(argv, site.work);
}

// The same by the installation's own build of the companion.
ProcessResult replay(const Installation& site, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"replay", "Vantoreum.ini"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return site.runCompanion(argv);
}

// Names, sizes, modes, times and contents of everything under a directory.
std::string snapshot(const std::string& directory) {
  std::ostringstream out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    struct stat info {};
    lstat(entry.path().c_str(), &info);
    out << entry.path().string() << ' ' << info.st_size << ' ' << info.st_mode << ' '
        << info.st_mtim.tv_sec << '.' << info.st_mtim.tv_nsec << '\n';
    if (S_ISREG(info.st_mode)) {
      out << readFile(entry.path().string()) << '\n';
    }
  }
  return out.str();
}

// The lines of text whose first field is one of ids.
std::string linesOf(const std::string& text, const std::set<std::string>& ids) {
  std::string kept;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (ids.count(line.substr(0, line.find(','))) > 0) {
      kept += line + "\n";
    }
  }
  return kept;
}

// What befalls one pass.
enum class Fault {
  kNone,
  kKilledBeforeItsArchive,  // after its lines are synced, before the archive's write
  kKilledAfterItsArchive,   // after the archive's sync, before the journal's note
  kMarkingFails,            // the markings of F... bookings fail (an UPDATE trigger)
  kSyncFails,               // the rowset's lines fail to sync and are taken back
};

struct Step {
  const char* clock;
  std::vector<std::string> added;  // bookings written before the pass, all exported
  Fault fault = Fault::kNone;
};

// Runs the pass and returns the bytes it appended to the transfer file.
std::string runStep(const Installation& site, const Step& step) {
  SCOPED_TRACE(step.clock);
  for (const std::string& idn : step.added) {
    site.addBooking(booking(idn, "50P", "1"));
  }
  site.database.setControl("clock", std::string(step.clock) + ".000");
  site.database.execute("DELETE FROM StandinControl WHERE Name = 'trigger.update'");
  if (step.fault == Fault::kMarkingFails) {
    site.database.setControl("trigger.update", "F%,50000,42000");
  }
  std::string signal = site.root.file("stalling");
  std::remove(signal.c_str());
  bool killed =
      step.fault == Fault::kKilledBeforeItsArchive || step.fault == Fault::kKilledAfterItsArchive;
  std::map<std::string, std::string> faults;
  if (killed) {
    faults = fileFaults({{"MORLUND_FAULT_ARCHIVE_STALL",
                          step.fault == Fault::kKilledBeforeItsArchive ? "write" : "sync"},
                         {"MORLUND_FAULT_ARCHIVE_STALL_MS", "30000"},
                         {"MORLUND_FAULT_ARCHIVE_STALL_SIGNAL", signal}});
  } else if (step.fault == Fault::kSyncFails) {
    faults = fileFaults({{"MORLUND_FAULT_SYNC_NUMBER", "1"}});
  }
  std::string before = fileExists(site.transferPath) ? readFile(site.transferPath) : "";
  StartedProcess pass = site.start({"Vantoreum.ini"}, faults);
  if (killed) {
    for (int wait = 0; wait < 1000 && !fileExists(signal); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fileExists(signal));
    kill(pass.pid, SIGKILL);
  }
  ProcessResult result = finishProcess(pass, 60);
  int expected = step.fault == Fault::kSyncFails ? 90 : 1;
  EXPECT_EQ(killed ? result.signal : result.exitStatus, killed ? SIGKILL : expected) << result.err;
  std::string after = readFile(site.transferPath);
  EXPECT_EQ(after.substr(0, before.size()), before) << "a pass only appends";
  return after.substr(std::min(before.size(), after.size()));
}

// Each pass's window gives what that pass appended, whichever pass marked
// its bookings; the whole range gives all, in the order written; with --id
// only those IDs. Replays change neither the installation's files nor the
// table. Both programs, Windows' passes and replays meeting the archive of
// a Windows installation.
class ArchiveReplayOfPassesTest : public ProgramPathTest {};
INSTANTIATE_TEST_SUITE_P(, ArchiveReplayOfPassesTest, kBothPrograms, programName);

TEST_P(ArchiveReplayOfPassesTest, ReplayGivesWhatEachPassAppendedByteForByte) {
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"passes across a year's end, one of them with nothing to send",
       {{"2015-12-31 23:55:00", {"A1", "A2"}},
        {"2016-01-01 00:05:00", {"A3"}},
        {"2016-01-01 00:10:00", {}},
        {"2016-01-02 07:00:00", {"A4", "A5"}}}},
      {"a pass killed after its lines, before its archive: the next marks them",
       {{"2015-06-01 08:00:00", {"A1"}},
        {"2015-06-01 08:05:00", {"K1", "K2"}, Fault::kKilledBeforeItsArchive},
        {"2015-06-01 08:10:00", {"A3"}}}},
      {"a pass killed after its archive, before the journal noted its lines",
       {{"2015-06-01 08:00:00", {"A1"}},
        {"2015-06-01 08:05:00", {"K1", "K2"}, Fault::kKilledAfterItsArchive},
        {"2015-06-01 08:10:00", {"A3"}}}},
      {"a marking that fails for two passes",
       {{"2015-06-01 08:00:00", {"F1", "A1"}, Fault::kMarkingFails},
        {"2015-06-01 08:05:00", {"A2"}, Fault::kMarkingFails},
        {"2015-06-01 08:10:00", {"A3"}}}},
      {"a rowset taken back by a failed sync, written by the next pass",
       {{"2015-06-01 08:00:00", {"A1"}},
        {"2015-06-01 08:05:00", {"S1", "S2"}, Fault::kSyncFails},
        {"2015-06-01 08:10:00", {}}}},
  };
  const std::set<std::string> ids = {"A1", "K2", "F1", "S2", "A5"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool faultLibrary = std::any_of(c.steps.begin(), c.steps.end(), [](const Step& step) {
      return step.fault != Fault::kNone && step.fault != Fault::kMarkingFails;
    });
    if (faultLibrary && linuxOnlyCase(c.what, "the preloaded fault library stalls or fails it")) {
      continue;
    }
    Installation site(GetParam());
    std::vector<std::string> appended;
    std::string all;
    for (const Step& step : c.steps) {
      appended.push_back(runStep(site, step));
      all += appended.back();
    }
    EXPECT_EQ(site.database.query("SELECT count(*) FROM Kvl321Bew WHERE BewUkz IS NOT 4"),
              (std::vector<std::vector<std::string>>{{"0"}}));
    const std::string before = snapshot(site.root.path());
    const auto rowsBefore = site.database.query("SELECT * FROM Kvl321Bew ORDER BY rowid");
    TempDir out;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE(c.steps[i].clock);
      std::vector<std::string> window = {"--from", passTimeOf(c.steps[i].clock)};
      if (i + 1 < c.steps.size()) {
        window.insert(window.end(), {"--to", passTimeOf(c.steps[i + 1].clock)});
      }
      std::string destination =
          out.file(std::string("pass-").append(std::to_string(i)).append(".dat"));
      window.insert(window.begin(), destination);
      ProcessResult result = replay(site, window);
      EXPECT_EQ(result.exitStatus, 0) << result.err;
      EXPECT_EQ(readFile(destination), appended[i]);
    }
    std::string whole = out.file("all.dat");
    ProcessResult result = replay(site, {whole, "--from", passTimeOf(c.steps[0].clock)});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(readFile(whole), all);
    std::vector<std::string> byIds = {out.file("ids.dat"), "--from", "01.01.2015 00:00:00", "--to",
                                      "01.01.2017 00:00:00"};
    for (const std::string& id : ids) {
      byIds.insert(byIds.end(), {"--id", id});
    }
    result = replay(site, byIds);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(readFile(out.file("ids.dat")), linesOf(all, ids));
    EXPECT_EQ(snapshot(site.root.path()), before);
    EXPECT_EQ(site.database.query("SELECT * FROM Kvl321Bew ORDER BY rowid"), rowsBefore);
  }
}

// An archive laid out directly, as its passes would have left it.
struct ArchiveSite : SiteLayout {
  std::string installation;
  std::string logDirectory = root.file("Vantoreum_php/log");

  ArchiveSite() {
    writeSettingsFile(settingsPath, kUser, kPassword, "ZEIT");
    char* resolved = realpath(work.c_str(), nullptr);
    installation = std::string(resolved) + " (data source ZEIT)";
    std::free(resolved);
  }

  void writeMonth(const char* month, const std::string& bytes) const {
    writeFile(logDirectory + "/Morlund_MSSQL.archive." + month, bytes);
  }

  // The record of a line of this installation.
  std::string record(const std::string& idn, const std::string& passTime) const {
    LineArchive::ArchivedLine archived;
    archived.installation = installation;
    archived.passTime = passTime;
    archived.transferPath = "BEWDATA.dat";
    archived.line = transferLine(idn, "50P", "100");
    return LineArchive::encode(archived);
  }
};

// What a replay says and how it ends, where it finds what it needs and
// where not. Nothing is ever left behind but a whole DEST.
TEST(ArchiveReplayTest, ReplaySaysWhatItSentOrWhyNot) {
  struct Case {
    const char* what;
    std::function<void(ArchiveSite&)> prepare;
    std::vector<std::string> window;
    int exitStatus;
    std::string written;  // DEST's content; "-" when there is none
    std::string err;      // standard error, with DEST for the destination
  };
  const std::string summary = "Morlund_Settings: replay: ";
  const std::string line1 = transferLine("A1", "50P", "100");
  const std::string line2 = transferLine("A2", "50P", "100");
  const Case cases[] = {
      {"two passes, one after the other",
       [](ArchiveSite&) {},
       {"--from", "01.06.2015 08:00:00", "--to", "01.06.2015 08:05:01"},
       0,
       line1 + line2,
       summary +
           "2 lines of 2 passes from 01.06.2015 08:00:00 to 01.06.2015 08:05:01 (not included) "
           "written to DEST\n"},
      {"from before the oldest pass, up to now",
       [](ArchiveSite&) {},
       {"--from", "31.05.2015 00:00:00"},
       0,
       line1 + line2,
       summary +
           "warning: --from 31.05.2015 00:00:00 lies before the oldest pass the archive holds, "
           "01.06.2015 08:00:00; lines of earlier passes are not in it\n" +
           summary + "2 lines of 2 passes from 31.05.2015 00:00:00 up to now written to DEST\n"},
      {"a window without a pass",
       [](ArchiveSite&) {},
       {"--from", "01.06.2015 08:00:01", "--to", "01.06.2015 08:05:00"},
       0,
       "",
       summary + "warning: no pass lies in the window; DEST is empty\n" + summary +
           "0 lines of 0 passes from 01.06.2015 08:00:01 to 01.06.2015 08:05:00 (not included) "
           "written to DEST\n"},
      {"IDs that no line has",
       [](ArchiveSite&) {},
       {"--from", "01.06.2015 08:00:00", "--id", "B1", "--id", "A"},
       0,
       "",
       summary + "no line of these passes has one of the IDs; DEST is empty\n" + summary +
           "0 lines with the IDs A, B1 of 2 passes from 01.06.2015 08:00:00 up to now written "
           "to DEST\n"},
      {"an archive of another installation only",
       [](ArchiveSite& site) {
         site.installation = "/elsewhere (data source ZEIT)";
         site.writeMonth("2015-06", site.record("A1", "01.06.2015 08:00:00"));
       },
       {"--from", "01.06.2015 08:00:00"},
       0,
       "",
       summary + "warning: the archive of sent lines holds no pass of this installation, HERE\n" +
           summary + "warning: no pass lies in the window; DEST is empty\n" + summary +
           "0 lines of 0 passes from 01.06.2015 08:00:00 up to now written to DEST\n"},
      {"damage between the lines",
       [](ArchiveSite& site) {
         site.writeMonth("2015-06", site.record("A1", "01.06.2015 08:00:00") + "damage" +
                                        site.record("A2", "01.06.2015 08:05:00"));
       },
       {"--from", "01.06.2015 08:00:00"},
       0,
       line1 + line2,
       summary +
           "the archive file ../../Vantoreum_php/log/Morlund_MSSQL.archive.2015-06 holds "
           "6 damaged bytes; they are skipped, and lines recorded there cannot be sent "
           "again\n" +
           summary + "2 lines of 2 passes from 01.06.2015 08:00:00 up to now written to DEST\n"},
      {"DEST exists",
       [](ArchiveSite& site) { writeFile(site.root.file("out/DEST"), "taken\n"); },
       {"--from", "01.06.2015 08:00:00"},
       2,
       "taken\n",
       "Morlund_Settings: DEST exists; replay never replaces a file\n"},
      {"no settings file",
       [](ArchiveSite& site) { std::remove(site.settingsPath.c_str()); },
       {"--from", "01.06.2015 08:00:00"},
       1,
       "-",
       "Morlund_Settings: cannot read Vantoreum.ini: No such file or directory\n"},
      {"no log directory",
       [](ArchiveSite& site) { std::filesystem::remove_all(site.logDirectory); },
       {"--from", "01.06.2015 08:00:00"},
       1,
       "-",
       "Morlund_Settings: cannot read the archive of sent lines in ../../Vantoreum_php/log: No "
       "such file or directory\n"},
      {"a month file that cannot be read",
       [](ArchiveSite& site) { makeDirs(site.logDirectory + "/Morlund_MSSQL.archive.2015-07"); },
       {"--from", "01.06.2015 08:00:00"},
       1,
       "-",
       "Morlund_Settings: cannot read the archive file "
       "../../Vantoreum_php/log/Morlund_MSSQL.archive.2015-07: not a regular file\n"},
      {"no directory for DEST",
       [](ArchiveSite& site) { std::filesystem::remove_all(site.root.file("out")); },
       {"--from", "01.06.2015 08:00:00"},
       1,
       "-",
       "Morlund_Settings: cannot create a file beside DEST: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ArchiveSite site;
    const std::string here = site.installation;
    makeDirs(site.root.file("out"));
    site.writeMonth("2015-06", site.record("A1", "01.06.2015 08:00:00") + site.record("X1", "") +
                                   site.record("A2", "01.06.2015 08:05:00"));
    c.prepare(site);
    const std::string logBefore = snapshot(site.root.path() + "/Vantoreum_php");
    std::string destination = site.root.file("out/DEST");
    std::vector<std::string> arguments = c.window;
    arguments.insert(arguments.begin(), destination);
    ProcessResult result = replay(site, arguments);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out, "");
    std::string err = c.err;
    for (size_t at = err.find("DEST"); at != std::string::npos;
         at = err.find("DEST", at + destination.size())) {
      err.replace(at, 4, destination);
    }
    if (size_t at = err.find("HERE"); at != std::string::npos) {
      err.replace(at, 4, here);
    }
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(fileExists(destination) ? readFile(destination) : "-", c.written);
    if (fileExists(site.root.file("out"))) {
      EXPECT_EQ(entries(site.root.file("out")).size(), c.written == "-" ? 0u : 1u)
          << "no temporary file is left";
    }
    if (fileExists(site.logDirectory)) {
      EXPECT_EQ(snapshot(site.root.path() + "/Vantoreum_php"), logBefore);
    }
  }
}

// DEST gets the mode a pass's transfer file would get: 0666 under the
// umask.
TEST(ArchiveReplayTest, ReplayGivesDestTheTransferFilesMode) {
  ArchiveSite site;
  site.writeMonth("2015-06", site.record("A1", "01.06.2015 08:00:00"));
  for (mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
    SCOPED_TRACE(mask);
    std::string destination = site.root.file(std::string("replayed-").append(std::to_string(mask)));
    mode_t before = umask(mask);
    ProcessResult result = replay(site, {destination, "--from", "01.06.2015 08:00:00"});
    umask(before);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    struct stat info {};
    ASSERT_EQ(stat(destination.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask);
  }
}

// The archive fails (a full disk): the pass goes on, says so once, and the
// journal keeps its promise: a booking whose marking failed is marked by
// the next pass and never written twice. What was not archived is not
// replayed.
TEST(ArchiveReplayTest, PassGoesOnWhenTheArchiveCannotBeWritten) {
  Installation site;
  site.addBooking(booking("F1", "50P", "1"));
  site.addBooking(booking("A1", "50P", "1"));
  site.database.setControl("trigger.update", "F%,50000,42000");
  std::map<std::string, std::string> environment = site.driverPath.environment();
  auto faults = fileFaults({{"MORLUND_FAULT_ARCHIVE_WRITE", "1"}});
  environment.insert(faults.begin(), faults.end());
  ProcessResult first = runExport(site, {"Vantoreum.ini"}, environment);
  EXPECT_EQ(first.exitStatus, 1);
  const std::string file = transferLine("A1", "50P", "100") + transferLine("F1", "50P", "100");
  EXPECT_EQ(readFile(site.transferPath), file);
  // The archive once, the request that did not tell, F1's marking.
  EXPECT_EQ(std::count(first.err.begin(), first.err.end(), '\n'), 3) << first.err;
  EXPECT_NE(first.err.find("Morlund_MSSQL: cannot write the archive of sent lines "
                           "../../Vantoreum_php/log/Morlund_MSSQL.archive."),
            std::string::npos)
      << first.err;
  EXPECT_NE(first.err.find(": No space left on device; this pass archives no more of its lines, "
                           "and Morlund_Settings replay cannot send them again\n"),
            std::string::npos)
      << first.err;
  BookingJournal::Contents held = BookingJournal::parse(readFile(journalPath(site)));
  ASSERT_EQ(held.live.size(), 1u);
  EXPECT_TRUE(held.live[0].durable);
  EXPECT_EQ(held.live[0].passTime, "01.06.2015 08:00:00");

  site.database.execute("DELETE FROM StandinControl WHERE Name = 'trigger.update'");
  site.database.setControl("clock", "2015-06-01 08:05:00.000");
  ProcessResult second = site.run({"Vantoreum.ini"});
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(readFile(site.transferPath), file);
  EXPECT_EQ(site.marks(), (std::vector<std::vector<std::string>>{{"F1", "4"}, {"A1", "4"}}));
  TempDir out;
  ProcessResult replayed = replay(site, {out.file("lost.dat"), "--from", "01.06.2015 08:00:00"});
  EXPECT_EQ(replayed.exitStatus, 0);
  EXPECT_EQ(readFile(out.file("lost.dat")), "");
}

// A pass removes the month files whose month ended more than 100 days ago,
// whole, and says so; this month's file and other names stay.
TEST(ArchiveReplayTest, PassPrunesOldMonthFilesWhole) {
  Installation site;
  std::string log = site.root.file("Vantoreum_php/log/");
  writeFile(log + "Morlund_MSSQL.archive.2015-06", "old");
  writeFile(log + "Morlund_MSSQL.archive.2015-06.x3Fq9Z", "not a month file");
  site.addBooking(booking("A1", "50P", "1"));
  ProcessResult pass = site.run({"Vantoreum.ini"});
  EXPECT_EQ(pass.exitStatus, 1);
  EXPECT_EQ(pass.err,
            "Morlund_MSSQL: removed the archive file "
            "../../Vantoreum_php/log/Morlund_MSSQL.archive.2015-06: its month ended more than "
            "100 days ago\n");
  PassTime::CivilTime now = PassTime::localTimeAt(std::time(nullptr));
  std::string thisMonth = LineArchive::monthFileName(now.year, now.month);
  EXPECT_EQ(entries(log), (std::vector<std::string>{"Morlund_MSSQL.archive.2015-06.x3Fq9Z",
                                                    thisMonth, "Morlund_MSSQL.journal",
                                                    "Palvexa#Log.txt", "morlund_export.prom"}));
}

}  // namespace
