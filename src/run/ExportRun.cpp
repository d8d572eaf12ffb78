#include "run/ExportRun.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "db/BookingCursor.h"
#include "db/DbConnection.h"
#include "db/MaintenanceStatements.h"
#include "db/TransferMarking.h"
#include "files/BookingJournal.h"
#include "files/ErrorOutput.h"
#include "files/ExportFile.h"
#include "files/LineArchive.h"
#include "files/PassMetrics.h"
#include "files/RunLog.h"
#include "os/Memory.h"
#include "os/Paths.h"
#include "run/ExitStatus.h"
#include "run/ExportReport.h"
#include "run/JournalRecovery.h"
#include "run/PassLock.h"
#include "run/RowsetTransfer.h"
#include "run/TextCase.h"
#include "settings/Credentials.h"
#include "settings/SettingsFile.h"

namespace ExportRun {

namespace {

struct RunState {
  std::string settingsPath;
  std::string transferPath;
  int consoleEcho = 0;
  std::string dataSourceName;
  std::string serverTime;
  int32_t runStatus = 0;
  int32_t rowsFetched = 0;
  int64_t startSeconds = 0;
};

RunState runState;

const char kLogRule[] = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";

void printUsage() {
  std::fputs("Befehlsformat: \n", stdout);
  std::fputs("Morlund_<DB>.EXE <Vantoreum.ini> <ZielPfad>\n", stdout);
  std::fputs("\n", stdout);
  std::fputs("DB           : Datenbanksystem, zB. Oracle\n", stdout);
  std::fputs("Vantoreum.ini: Name und Pfad der Vantoreum.ini-Datei\n", stdout);
  std::fputs("Zielpfad     : Pfad der Uebergabedatei\n", stdout);
  std::fputs("\n", stdout);
}

void takeArguments(int argc, char** argv) {
  runState.settingsPath = argv[1];
  runState.transferPath = transferPathFor(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (upperAscii(argv[i]) == "/D") {
      runState.consoleEcho = 1;
    }
  }
}

// Returns 0 when connected, else the phase result that ends the run.
int32_t settingsAndConnection() {
  std::string cause;
  if (SettingsFile::checkSettingsFile(runState.settingsPath, cause) != 0) {
    RunLog::appendEntry("Vantoreum.Ini-Datei nicht gefunden");
    std::fputs("Vantoreum.Ini-Datei nicht gefunden", stdout);
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot use the settings file %s: %s",
                        runState.settingsPath.c_str(), cause.c_str());
    return ExitStatus::kNoSettingsFile;
  }
  Credentials::StoredCredentials credentials = Credentials::readCredentials(runState.settingsPath);
  ErrorOutput::setPassword(credentials.password);
  runState.dataSourceName = Credentials::dataSourceNameForPass(credentials);
  int32_t connected =
      DbConnection::connect(credentials.login, credentials.password, runState.dataSourceName);
  Os::wipeMemory(credentials.password.data(), credentials.password.size());
  if (connected != 0) {
    std::printf("Datenbankverbindung fehlgeschlagen, Fehler: %d\n", connected);
    std::string address = DbConnection::dataSourceAddress(runState.dataSourceName);
    ErrorOutput::report(
        ErrorOutput::Priority::kFailure, "cannot connect to data source '%s'%s as user '%s': %s",
        runState.dataSourceName.c_str(), address.empty() ? "" : (" (" + address + ")").c_str(),
        credentials.login.c_str(), DbConnection::describeLastDiagnostic().c_str());
  }
  return connected;
}

void logServerTime() {
  runState.runStatus = MaintenanceStatements::serverTime(runState.serverTime);
  if (runState.runStatus != 0) {
    std::string cause = runState.runStatus == SQL_NO_DATA ? std::string("no row")
                                                          : DbConnection::describeLastDiagnostic();
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot read the server time: %s",
                        cause.c_str());
  }
  RunLog::appendEntry(
      "\xDC"
      "bergabe vom " +
      runState.serverTime + "\n");
  if (runState.consoleEcho) {
    std::printf("Uebergabe am %s gestartet\n\n", runState.serverTime.c_str());
  }
}

// Without the journal a pass still marks what it exports, one booking at a
// time, but a pass killed between a line and its marking exports that
// booking again; and it archives no line: only the journal's records tell
// which lines are durable, and recovery archives what a killed pass left.
void startJournal() {
  std::string cause;
  std::string installation = BookingJournal::installationName(runState.dataSourceName);
  if (BookingJournal::open(BookingJournal::kJournalPath, installation, cause) == 0) {
    LineArchive::start(LineArchive::kDirectory, installation);
    JournalRecovery::recover();
    return;
  }
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "cannot use the journal of written bookings %s: %s; this pass marks "
                      "booking by booking, and a failure between a line and its marking may "
                      "export a booking twice; nor does it archive its lines for "
                      "Morlund_Settings replay",
                      BookingJournal::kJournalPath, cause.c_str());
}

// Every booking read is marked, exported or not, so that the next pass does
// not read it again. The bookings of a rowset are handled together, once
// the cursor has handed out its last row and before it asks the server for
// the next; without the journal each booking on its own. A booking whose
// line did not reach the transfer file is left unmarked and ends the pass:
// the next pass exports it.
//
// Returns 0, or RowsetTransfer::kLineNotWritten.
int32_t rowLoop() {
  int32_t result = 0;
  std::vector<BookingRow> rowset;
  for (runState.runStatus = BookingCursor::fetch(); runState.runStatus == SQL_SUCCESS;
       runState.runStatus = BookingCursor::fetch()) {
    ++runState.rowsFetched;
    rowset.push_back(currentBookingRow);
    if (BookingJournal::isOpen() && !BookingCursor::rowsetHandedOut()) {
      continue;
    }
    result = RowsetTransfer::transferRowset(rowset, runState.transferPath, runState.serverTime);
    rowset.clear();
    if (result != 0) {
      return result;
    }
  }
  if (!rowset.empty()) {
    result = RowsetTransfer::transferRowset(rowset, runState.transferPath, runState.serverTime);
  }
  return result;
}

// The row loop and what ends it: a line that could not be written ends the
// pass with 90 (said in the run log and on the console), a failed fetch
// leaves the rest for the next pass (said on standard error).
int32_t transferBookings() {
  int opened = BookingCursor::open();
  if (opened != BookingCursor::kOpened) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot open the booking cursor: %s",
                        BookingCursor::describeOpenFailure(opened).c_str());
  }
  int32_t result = rowLoop();
  if (result != 0) {
    RunLog::appendEntry(
        "Fehler beim Schreiben der Zieldatei, \xDC"
        "bergabe abgebrochen");
    std::fputs("Fehler beim Schreiben der Zieldatei, Uebergabe abgebrochen\n", stdout);
    result = ExitStatus::kTransferFileUnwritable;
  }
  if (runState.runStatus == SQL_ERROR && opened == BookingCursor::kOpened) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "reading the bookings failed after %d bookings; the rest stay for the "
                        "next pass: %s",
                        runState.rowsFetched, DbConnection::describeLastDiagnostic().c_str());
  }
  JournalRecovery::finish(result == 0 && runState.runStatus == SQL_NO_DATA &&
                          opened == BookingCursor::kOpened);
  BookingCursor::close();
  return result;
}

// Every pass that took its arguments leaves its figures for monitoring,
// also one that stops early; a file that cannot be written changes nothing
// of the pass.
int32_t finishPass(int32_t exitStatus) {
  PassMetrics::PassFigures figures;
  figures.startSeconds = runState.startSeconds;
  figures.endSeconds = static_cast<int64_t>(std::time(nullptr));
  figures.exitStatus = exitStatus;
  const ExportReport::Tally& tally = ExportReport::tally();
  figures.bookingsRead = tally.read;
  figures.bookingsExported = tally.exported;
  figures.bookingsFiltered = tally.filtered;
  figures.bookingsMarked = tally.marked;
  figures.failedMarkings = tally.failedMarkings;
  figures.appendedBytes = tally.appendedBytes;
  figures.bookingsHeld = static_cast<int64_t>(BookingJournal::heldCount(figures.oldestHeldSeconds));
  LineArchive::Figures archived = LineArchive::figures(
      LineArchive::kDirectory, BookingJournal::installationName(runState.dataSourceName));
  figures.archiveBytes = archived.bytes;
  figures.oldestArchivedPassSeconds = archived.oldestPassSeconds;
  PassMetrics::writeBesideRunLog(figures);
  return exitStatus;
}

}  // namespace

// Argument 2 names the target directory unless it is the echo switch. Where
// names ignore case (Windows) the directory is upper-cased, as the tool
// always did there: the upper-cased name names the directory the user gave.
// Where they do not, the path keeps argument 2 as given: the upper-cased
// form could name another directory.
std::string transferPathFor(int argc, char** argv) {
  if (argc >= 3 && upperAscii(argv[2]) != "/D") {
    std::string directory = Os::namesIgnoreCase() ? upperAscii(argv[2]) : std::string(argv[2]);
    return directory + "/" + ExportFile::kTransferFileName;
  }
  return ExportFile::kTransferFileName;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    printUsage();
    return ExitStatus::kUsage;
  }
  // Only as the one argument: a settings file may be called anything else.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    printUsage();
    return ExitStatus::kHelpShown;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Morlund_MSSQL %s\n", MORLUND_VERSION);
    return ExitStatus::kHelpShown;
  }
  takeArguments(argc, argv);
  runState.startSeconds = static_cast<int64_t>(std::time(nullptr));
  ExportReport::start(runState.consoleEcho != 0);
  PassLock::acquire();
  RunLog::appendEntry(std::string("\n") + kLogRule + "Protokollierung gestartet:");

  runState.runStatus = settingsAndConnection();
  if (runState.runStatus != 0) {
    RunLog::appendEntry("Verbinden mit Datenbank fehlgeschlagen");
    return finishPass(runState.runStatus);
  }
  logServerTime();
  if (ExportFile::testAppend(runState.transferPath) != 0) {
    RunLog::appendEntry("Zieldatei auf Server kann nicht erzeugt werden\n");
    if (runState.consoleEcho) {
      std::fputs("Zieldatei auf Server kann nicht erzeugt werden\n", stdout);
    }
    return finishPass(ExitStatus::kTransferFileUnwritable);
  }

  startJournal();
  int32_t transferResult = transferBookings();
  int64_t exported = ExportReport::tally().exported;
  RunLog::appendEntry(
      "\nAnzahl \xFC"
      "bergebener Buchungen : " +
      std::to_string(exported));
  if (runState.consoleEcho) {
    std::printf("\nAnzahl uebergebener Buchungen : %lld", static_cast<long long>(exported));
  }

  // No marking request leaves a transaction open, but one whose answer was
  // lost might have; the purge must not join it.
  TransferMarking::rollbackOpenTransaction();
  int32_t purged = MaintenanceStatements::purge();
  if (purged != 0 && purged != SQL_NO_DATA) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "purging old transferred bookings failed with %d: %s", purged,
                        DbConnection::describeLastDiagnostic().c_str());
  }

  BookingJournal::close();
  LineArchive::prune(static_cast<int64_t>(std::time(nullptr)));
  runState.runStatus = transferResult != 0 ? transferResult : ExitStatus::kPassEnded;
  RunLog::appendEntry(std::string(kLogRule) + "Programm beendet\n\n\n");
  return finishPass(runState.runStatus);
}

}  // namespace ExportRun
