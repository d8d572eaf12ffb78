#include "run/ExportRun.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "db/BookingCursor.h"
#include "db/DbConnection.h"
#include "db/MaintenanceStatements.h"
#include "files/ErrorOutput.h"
#include "files/ExportFile.h"
#include "files/RunLog.h"
#include "run/EraMapping.h"
#include "run/PassLock.h"
#include "run/TextCase.h"
#include "settings/SettingsFile.h"

namespace ExportRun {

namespace {

struct RunState {
  std::string settingsPath;
  std::string transferPath;
  int consoleEcho = 0;
  std::string serverTime;
  int32_t exportCount = 0;
  int32_t runStatus = 0;
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
  std::string reason;
  if (SettingsFile::checkSettingsFile(runState.settingsPath, reason) != 0) {
    RunLog::appendEntry("Vantoreum.Ini-Datei nicht gefunden");
    std::fputs("Vantoreum.Ini-Datei nicht gefunden", stdout);
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot use the settings file %s: %s",
                        runState.settingsPath.c_str(), reason.c_str());
    return 97;
  }
  std::string user = SettingsFile::lookupSetting(runState.settingsPath, "", "LOGIN", 0);
  std::string password = SettingsFile::lookupSetting(runState.settingsPath, "", "PASS", 0);
  ErrorOutput::setPassword(password);
  std::string dataSourceName =
      SettingsFile::lookupSetting(runState.settingsPath, "", "DATABASE", 0);
  if (dataSourceName.size() > SettingsFile::kMaxDataSourceNameLength) {
    dataSourceName.clear();
  }
  int32_t connected = DbConnection::connect(user, password, dataSourceName);
  explicit_bzero(password.data(), password.size());
  if (connected != 0) {
    std::printf("Datenbankverbindung fehlgeschlagen, Fehler: %d\n", connected);
    std::string address = DbConnection::dataSourceAddress(dataSourceName);
    ErrorOutput::report(
        ErrorOutput::Priority::kFailure, "cannot connect to data source '%s'%s as user '%s': %s",
        dataSourceName.c_str(), address.empty() ? "" : (" (" + address + ")").c_str(), user.c_str(),
        DbConnection::describeLastDiagnostic().c_str());
  }
  return connected;
}

// A booking is named on standard error by its key as the line shows it.
std::string bookingKey(const BookingRow& row) {
  return std::string("ID '") + row.BewIDN + "', Sto '" + row.BewSto + "', Dtm '" +
         row.BewDtmCompact + "', Uhr '" + row.BewUhrCompact + "', Lfn '" + row.BewLfn + "'";
}

void reportFailedMarking(const BookingRow& row, int32_t status) {
  std::string cause =
      status == 100 ? std::string("no row changed") : DbConnection::describeLastDiagnostic();
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "marking booking %s as transferred failed with %d (%s); the next pass "
                      "exports it again",
                      bookingKey(row).c_str(), status, cause.c_str());
}

// The marking finds a booking by its key alone. Bookings that share it are
// marked together: one not yet written (its turn still to come when the
// pass ends early, or one the server's cursor then passes over) is never
// exported. Said once per key: the twins come one after the other.
void reportTwins(const BookingRow& row, SQLLEN rows) {
  static std::string lastKey;
  std::string key = bookingKey(row);
  if (key == lastKey) {
    return;
  }
  lastKey = key;
  ErrorOutput::report(ErrorOutput::Priority::kWarning,
                      "marking booking %s as transferred changed %ld rows: they share its key "
                      "and are all marked now; any of them not in the transfer file will not be "
                      "exported",
                      key.c_str(), static_cast<long>(rows));
}

// Every booking read is marked, exported or not, so that the next pass does
// not read it again. A booking whose line did not reach the transfer file is
// left unmarked and ends the pass: the next pass exports it.
//
// Returns 0, or 90 when a line could not be written.
int32_t rowLoop() {
  int32_t result = 0;
  int32_t rowsRead = 0;
  bool cursorWasOpen = BookingCursor::isOpen();
  runState.runStatus = BookingCursor::fetch();
  while (runState.runStatus == 0) {
    ++rowsRead;
    if (EraMapping::processRow(currentBookingRow, runState.transferPath, runState.consoleEcho,
                               runState.exportCount) != 0) {
      RunLog::appendEntry(
          "Fehler beim Schreiben der Zieldatei, \xDC"
          "bergabe abgebrochen");
      std::fputs("Fehler beim Schreiben der Zieldatei, Uebergabe abgebrochen\n", stdout);
      result = 90;
      break;
    }
    SQLLEN rowsMarked = -1;
    int32_t marked = MaintenanceStatements::markTransferred(currentBookingRow, &rowsMarked);
    if (rowsMarked > 1) {
      reportTwins(currentBookingRow, rowsMarked);
    }
    if (marked != 0) {
      if (runState.consoleEcho) {
        std::printf("\nFehler 'SQL_MarkTranfer: %d\n", marked);
      }
      reportFailedMarking(currentBookingRow, marked);
    }
    runState.runStatus = BookingCursor::fetch();
  }
  if (runState.runStatus == -1 && cursorWasOpen) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "reading the bookings failed after %d bookings; the rest stay for the "
                        "next pass: %s",
                        rowsRead, DbConnection::describeLastDiagnostic().c_str());
  }
  return result;
}

}  // namespace

// Argument 2 names the target directory unless it is the echo switch. The
// path keeps argument 2 as given: names are case-sensitive here, so the
// upper-cased form could name another directory.
std::string transferPathFor(int argc, char** argv) {
  if (argc >= 3 && upperAscii(argv[2]) != "/D") {
    return std::string(argv[2]) + "/" + ExportFile::kTransferFileName;
  }
  return ExportFile::kTransferFileName;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    printUsage();
    return 98;
  }
  // Only as the one argument: a settings file may be called anything else.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    printUsage();
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Morlund_MSSQL %s\n", MORLUND_VERSION);
    return 0;
  }
  takeArguments(argc, argv);
  PassLock::acquire();
  RunLog::appendEntry(std::string("\n") + kLogRule + "Protokollierung gestartet:");

  runState.runStatus = settingsAndConnection();
  if (runState.runStatus != 0) {
    RunLog::appendEntry("Verbinden mit Datenbank fehlgeschlagen");
    return runState.runStatus;
  }

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

  if (ExportFile::testAppend(runState.transferPath) != 0) {
    RunLog::appendEntry("Zieldatei auf Server kann nicht erzeugt werden\n");
    if (runState.consoleEcho) {
      std::fputs("Zieldatei auf Server kann nicht erzeugt werden\n", stdout);
    }
    return 90;
  }

  runState.exportCount = 0;
  runState.runStatus = BookingCursor::open();
  if (!BookingCursor::isOpen()) {
    std::string cause = runState.runStatus == 0 ? std::string("no statement handle: ") : "";
    ErrorOutput::report(ErrorOutput::Priority::kFailure, "cannot open the booking cursor: %s%s",
                        cause.c_str(), DbConnection::describeLastDiagnostic().c_str());
  }
  int32_t loopResult = rowLoop();
  BookingCursor::close();

  RunLog::appendEntry(
      "\nAnzahl \xFC"
      "bergebener Buchungen : " +
      std::to_string(runState.exportCount));
  if (runState.consoleEcho) {
    std::printf("\nAnzahl uebergebener Buchungen : %d", runState.exportCount);
  }

  int32_t purged = MaintenanceStatements::purge();
  if (purged != 0 && purged != SQL_NO_DATA) {
    ErrorOutput::report(ErrorOutput::Priority::kFailure,
                        "purging old transferred bookings failed with %d: %s", purged,
                        DbConnection::describeLastDiagnostic().c_str());
  }

  runState.runStatus = loopResult != 0 ? loopResult : 1;
  RunLog::appendEntry(std::string(kLogRule) + "Programm beendet\n\n\n");
  return runState.runStatus;
}

}  // namespace ExportRun
