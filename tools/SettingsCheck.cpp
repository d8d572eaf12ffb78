#include "SettingsCheck.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "CompanionExit.h"
#include "db/BookingCursor.h"
#include "db/BookingRow.h"
#include "db/DbConnection.h"
#include "db/MaintenanceStatements.h"
#include "db/OdbcHeaders.h"
#include "db/TransferMarking.h"
#include "files/BookingJournal.h"
#include "files/ErrorOutput.h"
#include "files/LineArchive.h"
#include "files/RunLog.h"
#include "os/AccessCheck.h"
#include "os/DirectoryEntry.h"
#include "os/FileInfo.h"
#include "os/Memory.h"
#include "os/Paths.h"
#include "run/ExportRun.h"
#include "run/PassLock.h"
#include "run/TextCase.h"
#include "settings/Credentials.h"
#include "settings/SettingsFile.h"

namespace SettingsCheck {

namespace {

enum class Outcome { kOk, kNote, kFail, kSkipped };

// Appended to the pass's marking and purge texts: the statement is compiled
// against the table, its columns and the login's rights as the pass's is,
// and touches no row. A key no booking has would make the server look for
// it, and wait for the locks of a pass that is running.
const char kNoRow[] = "    AND  1 = 0";

// What the steps learn and hand on, in the order a pass needs it.
struct CheckState {
  std::string login;
  std::string password;
  std::string dataSourceName;
  bool credentialsUsable = false;
  bool dataSourceNameUsable = false;
  bool dataSourceRegistered = false;
  bool connected = false;
  bool journalWritable = false;
  int failures = 0;
  // Where the lines go, and whether only failures are said.
  FILE* out = stdout;
  bool failuresOnly = false;
};

CheckState checkState;

// One line per precondition, written at once: the login may take the whole
// login timeout, and the operator should see how far the check got. Every
// line passes the one filter that keeps the password out of sight.
void report(Outcome outcome, const std::string& subject, const std::string& detail) {
  static const char* const kWords[] = {"ok", "note", "FAIL", "skip"};
  if (outcome == Outcome::kFail) {
    ++checkState.failures;
  } else if (checkState.failuresOnly) {
    return;
  }
  std::string line = ErrorOutput::withholdPassword(subject + ": " + detail);
  std::fprintf(checkState.out, "%-4s  %s\n", kWords[static_cast<int>(outcome)], line.c_str());
  std::fflush(checkState.out);
}

// The driver's records of the failed call, all of them.
std::string diagnosticText() {
  return DbConnection::describeLastDiagnostic();
}

// The cipher turns anything into bytes; only a value written with this
// cipher and key comes out as the printable ASCII that Morlund_Settings
// write accepts.
bool isPrintableAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

using Os::absolutePath;

// Whether a pass runs here now, found without keeping one waiting.
void checkWorkingDirectory() {
  std::string subject = "working directory " + absolutePath(".");
  std::string cause;
  switch (PassLock::probe(cause)) {
    case PassLock::kFree:
      report(Outcome::kOk, subject, "no pass runs here now");
      break;
    case PassLock::kFileLockFree:
      report(Outcome::kOk, subject,
             std::string("no pass runs here now; the directory cannot be locked, so passes lock "
                         "its file ") +
                 PassLock::kLockFileName);
      break;
    case PassLock::kHeld:
      report(
          Outcome::kNote, subject,
          "a pass runs here now (it holds the pass lock); a pass started meanwhile waits for it");
      break;
    default:
      report(Outcome::kNote, subject,
             "cannot be locked (" + cause + "); passes here run without the pass lock");
  }
}

// What keeps stored credentials from serving a pass, "; "-joined; usable
// says which of login, password and data source name a pass could use.
std::string credentialProblems(const Credentials::StoredCredentials& stored, bool (&usable)[3]) {
  const char* const* keys = Credentials::kKeys;
  const std::string* values[3] = {&stored.login, &stored.password, &stored.dataSourceName};
  const int* records = stored.answeringRecords;
  std::string problems;
  auto problem = [&problems](const std::string& text) {
    problems += (problems.empty() ? "" : "; ") + text;
  };
  // A record numbered 0, or one whose header has no section, answers every
  // lookup: the pass would log in with the password as its user name.
  bool shared = false;
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (records[i] != 0 && records[i] == records[j] && !shared) {
        shared = true;
        problem("record " + std::to_string(records[i]) + " answers the lookups of both " + keys[i] +
                " and " + keys[j] +
                "; each needs a record of its own, with a number other than 0 and a section in "
                "its header line");
      }
    }
  }
  for (int i = 0; i < 3; ++i) {
    usable[i] = !shared;
    if (records[i] == 0) {
      problem(std::string(keys[i]) + " not found");
      usable[i] = false;
    } else if (!isPrintableAscii(*values[i])) {
      problem(std::string(keys[i]) +
              " does not decrypt to printable ASCII; it was not written by Morlund_Settings "
              "write");
      usable[i] = false;
    } else if (values[i]->empty() && i != 1) {
      problem(std::string(keys[i]) + " is empty");
      usable[i] = false;
    }
  }
  if (usable[2] && Credentials::dataSourceNameForPass(stored).empty()) {
    problem("DATABASE has more than " + std::to_string(SettingsFile::kMaxDataSourceNameLength) +
            " characters; Morlund_MSSQL ignores it");
    usable[2] = false;
  }
  return problems;
}

void checkSettingsFile(const std::string& path) {
  std::string subject = "settings file " + absolutePath(path);
  // The pass's own test: a path that fails it ends a pass with 97.
  std::string cause;
  if (SettingsFile::checkSettingsFile(path, cause) != 0) {
    report(Outcome::kFail, subject,
           cause == "not a regular file" ? "is " + cause : "cannot be read: " + cause);
    return;
  }
  Credentials::StoredCredentials stored = Credentials::readCredentials(path);
  ErrorOutput::setPassword(stored.password);
  bool usable[3];
  std::string problems = credentialProblems(stored, usable);
  checkState.login = stored.login;
  checkState.password = stored.password;
  checkState.dataSourceName = stored.dataSourceName;
  Os::wipeMemory(stored.password.data(), stored.password.size());
  checkState.dataSourceNameUsable = usable[2];
  checkState.credentialsUsable = usable[0] && usable[1] && usable[2];
  if (!problems.empty()) {
    report(Outcome::kFail, subject, problems);
  } else if (checkState.password.empty()) {
    report(Outcome::kOk, subject,
           "LOGIN, PASS and DATABASE found; PASS is empty, so the pass logs in without a "
           "password");
  } else {
    report(Outcome::kOk, subject, "LOGIN, PASS and DATABASE found");
  }
}

// Asks the driver manager itself, so that the answer covers every place it
// reads data sources from (ODBCINI, ODBCSYSINI, /etc/odbc.ini, ~/.odbc.ini).
bool isRegisteredDataSource(const std::string& name) {
  SQLHENV environment = SQL_NULL_HENV;
  if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment) == SQL_ERROR) {
    return false;
  }
  SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                SQL_IS_INTEGER);
  bool found = false;
  SQLCHAR listed[SQL_MAX_DSN_LENGTH + 1];
  SQLCHAR description[256];
  SQLSMALLINT listedLength = 0;
  SQLSMALLINT descriptionLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (!found) {
    SQLRETURN result = SQLDataSources(environment, direction, listed, sizeof listed, &listedLength,
                                      description, sizeof description, &descriptionLength);
    if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO) {
      break;
    }
    // The driver manager takes a data source's name in any case.
    found = upperAscii(reinterpret_cast<char*>(listed)) == upperAscii(name);
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, environment);
  return found;
}

// A data source names its driver by library path or by a name that
// odbcinst.ini (on Windows the registry's ODBCINST.INI) resolves to one.
std::string driverLibrary(const std::string& driver) {
  if (driver.find_first_of("/\\") != std::string::npos) {
    return driver;
  }
  return DbConnection::registeredValue(driver, "Driver", "odbcinst.ini");
}

void checkDataSource() {
  if (!checkState.dataSourceNameUsable) {
    report(Outcome::kSkipped, "data source", "no usable DATABASE value in the settings file");
    return;
  }
  const std::string& name = checkState.dataSourceName;
  std::string subject = "data source " + name;
  if (name.size() > DbConnection::kMaxRegisteredNameLength) {
    report(Outcome::kFail, subject,
           "the name has " + std::to_string(name.size()) +
               " characters; the ODBC driver manager refuses names longer than " +
               std::to_string(DbConnection::kMaxRegisteredNameLength));
    return;
  }
  if (!isRegisteredDataSource(name)) {
    report(Outcome::kFail, subject,
           "not registered with the driver manager (odbcinst -q -s lists the data sources)");
    return;
  }
  std::string driver = DbConnection::registeredValue(name, "Driver");
  if (driver.empty()) {
    report(Outcome::kFail, subject, "registered without a Driver");
    return;
  }
  checkState.dataSourceRegistered = true;
  std::string library = driverLibrary(driver);
  std::string detail = "registered, driver " + driver;
  if (!library.empty() && library != driver) {
    detail += " (" + library + ")";
  }
  report(Outcome::kOk, subject, detail);
}

void checkLogin() {
  if (!checkState.credentialsUsable || !checkState.dataSourceRegistered) {
    report(Outcome::kSkipped, "login",
           !checkState.credentialsUsable ? "no usable credentials in the settings file"
                                         : "no registered data source");
    return;
  }
  std::string address = DbConnection::dataSourceAddress(checkState.dataSourceName);
  std::string subject = "login as " + checkState.login + " on " + checkState.dataSourceName +
                        (address.empty() ? "" : " (" + address + ")");
  int connected =
      DbConnection::connect(checkState.login, checkState.password, checkState.dataSourceName);
  Os::wipeMemory(checkState.password.data(), checkState.password.size());
  if (connected != 0) {
    report(Outcome::kFail, subject, diagnosticText());
    return;
  }
  checkState.connected = true;
  report(Outcome::kOk, subject, "connected");
}

// Runs text on a statement of its own. Returns whether it ran; on failure
// the driver's records are in LastDiagnostic.
bool runStatement(const std::string& text) {
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    return false;
  }
  std::string sql = text;
  bool ran = SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS) != SQL_ERROR;
  if (!ran) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return ran;
}

// The code page is tested by its effect, wherever the driver was told it
// (odbc.ini, freetds.conf, the locale): byte 0x80 is the euro sign in
// Windows-1252 and has no place in ISO-8859-1, which FreeTDS falls back to.
void checkClientCharset() {
  const std::string subject = "client charset";
  if (!checkState.connected) {
    report(Outcome::kSkipped, subject, "no connection");
    return;
  }
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    report(Outcome::kFail, subject, diagnosticText());
    return;
  }
  char text[] = "SELECT CHAR(128)";
  char received[16] = "";
  SQLLEN length = 0;
  bool answered =
      SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(text), SQL_NTS) != SQL_ERROR &&
      SQLBindCol(statement, 1, SQL_C_CHAR, received, sizeof received, &length) != SQL_ERROR &&
      SQLFetch(statement) != SQL_ERROR;
  if (!answered) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (!answered) {
    report(Outcome::kFail, subject, "SELECT CHAR(128) failed: " + diagnosticText());
    return;
  }
  if (std::strcmp(received, "\x80") == 0) {
    report(Outcome::kOk, subject, "CHAR(128) arrives as byte 80, the euro sign of Windows-1252");
    return;
  }
  std::string bytes;
  for (const char* c = received; *c != '\0'; ++c) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02X", bytes.empty() ? "" : " ",
                  static_cast<unsigned char>(*c));
    bytes += hex;
  }
  report(Outcome::kFail, subject,
         "CHAR(128) arrives as " + (bytes.empty() ? std::string("nothing") : "bytes " + bytes) +
             ", not as byte 80: texts would not arrive in Windows-1252; for FreeTDS set "
             "ClientCharset = CP1252 in the data source (or client charset = CP1252 in "
             "freetds.conf)");
}

void checkServerTime() {
  const std::string subject = "server time";
  if (!checkState.connected) {
    report(Outcome::kSkipped, subject, "no connection");
    return;
  }
  std::string serverTime;
  int status = MaintenanceStatements::serverTime(serverTime);
  if (status == SQL_SUCCESS) {
    report(Outcome::kOk, subject, serverTime);
  } else {
    report(Outcome::kFail, subject, status == SQL_NO_DATA ? "no row" : diagnosticText());
  }
}

// A marking request of the pass's own form beside the open cursor, its
// UPDATEs touching no row; then a fetch that goes to the server, so that a
// driver or server that refuses a second active statement on the
// connection, or that closes the cursor at a COMMIT, fails here and not in
// a pass. firstFetch: what the cursor's first fetch gave.
void checkMarkingRequest(const std::string& subject, int firstFetch) {
  std::string update = TransferMarking::markingStatement(currentBookingRow) + kNoRow;
  TransferMarking::RequestAnswer answer = TransferMarking::runRequest({update, update});
  if (!TransferMarking::toldEveryOutcome(answer, 2)) {
    TransferMarking::rollbackOpenTransaction();
    report(Outcome::kFail, subject,
           "the marking request fails beside the open booking cursor: " +
               TransferMarking::describeDoubt(answer, 2));
    return;
  }
  const std::string ran =
      "the marking request (one transaction) runs beside the open booking cursor";
  if (firstFetch != SQL_SUCCESS) {
    report(Outcome::kOk, subject, ran + "; with no booking waiting, no fetch followed it");
    return;
  }
  int status = SQL_SUCCESS;
  while (status == SQL_SUCCESS && !BookingCursor::rowsetHandedOut()) {
    status = BookingCursor::fetch();
  }
  if (status == SQL_SUCCESS) {
    status = BookingCursor::fetch();
  }
  if (status == SQL_ERROR) {
    report(Outcome::kFail, subject,
           "the booking cursor fails after the marking request's COMMIT: " + diagnosticText());
  } else {
    report(Outcome::kOk, subject, ran + ", and the cursor fetches after its COMMIT");
  }
}

// The pass's own cursor, statement and attributes; then, while it is open
// as during a pass, the marking request. The purge runs after the close, as
// in a pass.
void checkBookingStatements() {
  const std::string cursorSubject = "booking cursor";
  const std::string markingSubject = "marking";
  const std::string purgeSubject = "purge";
  if (!checkState.connected) {
    for (const std::string* subject : {&cursorSubject, &markingSubject, &purgeSubject}) {
      report(Outcome::kSkipped, *subject, "no connection");
    }
    return;
  }
  int opened = BookingCursor::open();
  int status = SQL_ERROR;
  if (opened != BookingCursor::kOpened) {
    report(Outcome::kFail, cursorSubject, BookingCursor::describeOpenFailure(opened));
  } else {
    currentBookingRow = BookingRow{};
    status = BookingCursor::fetch();
    if (status == SQL_SUCCESS) {
      report(Outcome::kOk, cursorSubject,
             std::string("opened; bookings wait for transfer, the first with ID '") +
                 currentBookingRow.BewIDN + "'");
    } else if (status == SQL_NO_DATA) {
      report(Outcome::kOk, cursorSubject, "opened; no booking waits for transfer");
    } else {
      report(Outcome::kFail, cursorSubject, "the first fetch failed: " + diagnosticText());
    }
  }
  if (!BookingCursor::isOpen()) {
    report(Outcome::kSkipped, markingSubject, "no open booking cursor");
  } else {
    checkMarkingRequest(markingSubject, status);
  }
  BookingCursor::close();
  if (runStatement(std::string(MaintenanceStatements::kPurgeText) + kNoRow)) {
    report(Outcome::kOk, purgeSubject, "the DELETE runs");
  } else {
    report(Outcome::kFail, purgeSubject, "the DELETE fails: " + diagnosticText());
  }
}

// Whether directory exists as a directory; says on the subject's line why
// not, and what that means for a pass, when it does not.
bool isDirectory(const std::string& subject, const std::string& directory,
                 const char* missingMeans) {
  Os::FileInfo info;
  Os::Error error;
  if (Os::examineName(directory, Os::Links::kFollow, info, error) != 0) {
    report(Outcome::kFail, subject,
           error.kind == Os::ErrorKind::kNotFound ? std::string("does not exist; ") + missingMeans
                                                  : "cannot be examined: " + error.cause);
    return false;
  }
  if (info.kind != Os::FileKind::kDirectory) {
    report(Outcome::kFail, subject, "is not a directory");
    return false;
  }
  return true;
}

// The run log is appended to and, past its size limit, renamed: the pass
// needs write and search permission on its directory, and write permission
// on the log should it exist already.
void checkLogDirectory() {
  std::string logPath = RunLog::kLogPath;
  std::string directory = Os::directoryOf(logPath);
  std::string fileName = logPath.substr(directory.size() + 1);
  std::string subject = "run log directory " + absolutePath(directory);
  if (!isDirectory(subject, directory, "the pass would write no run log")) {
    return;
  }
  Os::Error error;
  if (Os::checkAccess(directory, Os::Access::kCreateFilesIn, error) != 0) {
    report(Outcome::kFail, subject, "not writable: " + error.cause);
    return;
  }
  std::string filePath = directory + "/" + fileName;
  Os::FileInfo info;
  if (Os::examineName(filePath, Os::Links::kFollow, info, error) == 0 &&
      (info.kind == Os::FileKind::kDirectory ||
       Os::checkAccess(filePath, Os::Access::kWrite, error) != 0)) {
    report(Outcome::kFail, subject,
           fileName + (info.kind == Os::FileKind::kDirectory ? " is a directory"
                                                             : " is not writable: " + error.cause));
    return;
  }
  report(Outcome::kOk, subject, "writable");
}

// A journal that a pass cannot write only costs it the batches and the
// promise of exporting each booking once: a note, not a failure. Bookings it
// holds are marked by the next pass, before anything else.
void checkJournal() {
  std::string subject = std::string("journal ") + absolutePath(BookingJournal::kJournalPath);
  BookingJournal::Inspection found;
  std::string installation = BookingJournal::installationName(checkState.dataSourceName);
  if (BookingJournal::inspect(BookingJournal::kJournalPath, installation, found) != 0) {
    report(Outcome::kNote, subject,
           "cannot be read (" + found.cause +
               "); passes here mark booking by booking, and a failure between a line and its "
               "marking may export a booking twice");
    return;
  }
  checkState.journalWritable = found.writable;
  std::string others;
  if (found.others > 0) {
    others = "; " + std::to_string(found.others) +
             " more of other installations that share this log directory";
  }
  if (!found.writable) {
    report(Outcome::kNote, subject,
           "cannot be written (" + found.cause +
               "); passes here mark booking by booking, and a failure between a line and its "
               "marking may export a booking twice" +
               others);
  } else if (found.own > 0) {
    report(Outcome::kNote, subject,
           "writable; holds " + std::to_string(found.own) +
               (found.own == 1 ? " booking" : " bookings") +
               " written by an earlier pass and not marked yet: the next pass marks "
               "those whose lines are in the transfer file, before it reads any" +
               others);
  } else {
    report(Outcome::kOk, subject, "writable; holds no bookings" + others);
  }
}

// What the archive of sent lines holds of this installation, as the line
// of the check says it.
std::string archiveContents(const LineArchive::Inspection& found) {
  if (found.passes == 0) {
    return "holds no pass of this installation";
  }
  auto counted = [](size_t count, const char* one, const char* many) {
    return std::to_string(count).append(count == 1 ? one : many);
  };
  std::string text = "holds ";
  text.append(counted(found.passes, " pass", " passes"))
      .append(" of this installation, the oldest ")
      .append(found.oldestPass)
      .append(", ")
      .append(counted(found.lines, " line", " lines"))
      .append("; ")
      .append(counted(found.files, " file", " files"))
      .append(" of ")
      .append(std::to_string(found.bytes))
      .append(" bytes");
  const LineArchive::Reading& skipped = found.skipped;
  if (skipped.damagedBytes + skipped.tornBytes > 0) {
    text.append("; ")
        .append(std::to_string(skipped.damagedBytes + skipped.tornBytes))
        .append(" bytes damaged or cut short are skipped");
  }
  return text;
}

// The archive of sent lines lies beside the journal and is kept only with
// it: what Morlund_Settings replay can send again. One a pass cannot write
// costs the pass nothing but that: a note, not a failure.
void checkArchive() {
  std::string pattern = std::string(LineArchive::kDirectory) + "/" + LineArchive::kFilePrefix + "*";
  std::string subject = "archive of sent lines " + absolutePath(pattern);
  LineArchive::Inspection found;
  std::string installation = BookingJournal::installationName(checkState.dataSourceName);
  if (LineArchive::inspect(LineArchive::kDirectory, installation, found) != 0) {
    report(Outcome::kNote, subject,
           "cannot be read (" + found.cause + "); Morlund_Settings replay cannot send lines again");
    return;
  }
  std::string contents = archiveContents(found);
  const LineArchive::Reading& skipped = found.skipped;
  if (!checkState.journalWritable) {
    report(Outcome::kNote, subject,
           "passes here archive no line, as they keep no journal; " + contents);
  } else if (!found.writable) {
    report(Outcome::kNote, subject,
           "cannot be written (" + found.cause + "); passes here archive no line; " + contents);
  } else {
    report(skipped.damagedBytes + skipped.tornBytes > 0 ? Outcome::kNote : Outcome::kOk, subject,
           "writable; " + contents);
  }
}

// The pass appends to the transfer file, creating it when it is missing;
// the payroll side takes it away between passes, so the pass must usually
// be able to create it.
void checkTarget(const std::string& transferPath) {
  std::string directory = Os::directoryOf(transferPath);
  std::string fileName = transferPath.substr(transferPath.find_last_of('/') + 1);
  std::string subject = "target directory " + absolutePath(directory);
  if (!isDirectory(subject, directory, "the pass would end with status 90")) {
    return;
  }
  Os::FileInfo info;
  Os::Error directoryProblem;
  Os::Error error;
  bool canCreate = Os::checkAccess(directory, Os::Access::kCreateFilesIn, directoryProblem) == 0;
  bool exists = Os::examineName(transferPath, Os::Links::kFollow, info, error) == 0;
  if (exists && info.kind == Os::FileKind::kDirectory) {
    report(Outcome::kFail, subject, fileName + " is a directory");
    return;
  }
  if (exists && Os::checkAccess(transferPath, Os::Access::kWrite, error) != 0) {
    report(Outcome::kFail, subject, fileName + " is not writable: " + error.cause);
    return;
  }
  if (canCreate) {
    report(Outcome::kOk, subject,
           exists ? "can append to " + fileName + " and create it anew" : "can create " + fileName);
  } else if (exists) {
    report(Outcome::kOk, subject,
           "can append to the existing " + fileName + "; could not re-create it (" +
               directoryProblem.cause + "), so a pass after it was taken away ends with status 90");
  } else {
    report(Outcome::kFail, subject, "cannot create " + fileName + ": " + directoryProblem.cause);
  }
}

}  // namespace

int connectAsThePass(const char* settingsPath, std::string& dataSourceName) {
  checkState = CheckState();
  checkState.out = stderr;
  checkState.failuresOnly = true;
  checkSettingsFile(settingsPath);
  checkDataSource();
  checkLogin();
  dataSourceName = checkState.dataSourceName;
  return checkState.connected ? 0 : -1;
}

void reportCursorFailure(int openResult) {
  report(Outcome::kFail, "booking cursor", BookingCursor::describeOpenFailure(openResult));
}

int run(int argc, char** argv) {
  checkState = CheckState();
  checkWorkingDirectory();
  checkSettingsFile(argv[1]);
  checkDataSource();
  checkLogin();
  checkClientCharset();
  checkServerTime();
  checkBookingStatements();
  checkLogDirectory();
  checkJournal();
  checkArchive();
  checkTarget(ExportRun::transferPathFor(argc, argv));
  return checkState.failures == 0 ? CompanionExit::kDone : CompanionExit::kFailed;
}

}  // namespace SettingsCheck
