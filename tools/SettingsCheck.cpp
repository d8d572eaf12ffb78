#include "SettingsCheck.h"

#include <fcntl.h>
#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/BookingCursor.h"
#include "db/DbConnection.h"
#include "files/RunLog.h"
#include "run/TextCase.h"
#include "settings/SettingsFile.h"

namespace SettingsCheck {

namespace {

enum class Outcome { kOk, kFail, kSkipped };

// What the steps learn and hand on, in the order a pass needs it.
struct CheckState {
  std::string login;
  std::string password;
  std::string dataSourceName;
  bool credentialsUsable = false;
  bool dataSourceNameUsable = false;
  bool dataSourceRegistered = false;
  bool connected = false;
  int failures = 0;
};

CheckState checkState;

// One line per precondition, written at once: the login may take the whole
// login timeout, and the operator should see how far the check got.
void report(Outcome outcome, const std::string& subject, const std::string& detail) {
  const char* word = outcome == Outcome::kOk ? "ok" : outcome == Outcome::kFail ? "FAIL" : "skip";
  std::printf("%-4s  %s: %s\n", word, subject.c_str(), detail.c_str());
  std::fflush(stdout);
  if (outcome == Outcome::kFail) {
    ++checkState.failures;
  }
}

// Control characters mean that a value was not written with this cipher
// (or not for this key); bytes from 0x80 are Windows-1252 letters.
bool isPrintableText(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return !text.empty();
}

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::string profileValue(const std::string& section, const char* key, const char* file) {
  char value[1024] = "";
  SQLGetPrivateProfileString(section.c_str(), key, "", value, sizeof value, file);
  return value;
}

std::string resolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) {
    return path;
  }
  return resolved;
}

// The driver's own words, with the password blanked should a driver ever
// repeat it.
std::string diagnosticText() {
  std::string text = DbConnection::describeLastDiagnostic();
  const std::string& password = checkState.password;
  if (!password.empty()) {
    for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at)) {
      text.replace(at, password.size(), "***");
    }
  }
  return text;
}

void checkSettingsFile(const std::string& path) {
  std::string subject = "settings file " + path;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    report(Outcome::kFail, subject, std::string("cannot be read: ") + std::strerror(errno));
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    report(Outcome::kFail, subject, "is not a regular file");
    return;
  }
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    report(Outcome::kFail, subject, std::string("cannot be read: ") + std::strerror(errno));
    return;
  }
  std::fclose(file);

  const char* keys[3] = {"LOGIN", "PASS", "DATABASE"};
  std::string* values[3] = {&checkState.login, &checkState.password, &checkState.dataSourceName};
  std::string problems;
  bool usable[3];
  for (int i = 0; i < 3; ++i) {
    *values[i] = SettingsFile::lookupSetting(path, "", keys[i], 0);
    std::string problem;
    if (values[i]->empty()) {
      problem = std::string(keys[i]) + " not found or empty";
    } else if (!isPrintableText(*values[i])) {
      problem = std::string(keys[i]) + " does not decrypt to printable text";
    } else if (i == 2 && values[i]->size() > SettingsFile::kMaxDataSourceNameLength) {
      problem = "DATABASE has more than " + std::to_string(SettingsFile::kMaxDataSourceNameLength) +
                " characters; Morlund_MSSQL ignores it";
    }
    usable[i] = problem.empty();
    if (!problem.empty()) {
      problems += (problems.empty() ? "" : "; ") + problem;
    }
  }
  checkState.dataSourceNameUsable = usable[2];
  checkState.credentialsUsable = usable[0] && usable[1] && usable[2];
  if (!problems.empty()) {
    report(Outcome::kFail, subject, problems);
    return;
  }
  report(Outcome::kOk, subject, "LOGIN, PASS and DATABASE found");
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
    found = strcasecmp(reinterpret_cast<char*>(listed), name.c_str()) == 0;
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, environment);
  return found;
}

// A data source names its driver by library path or by a name that
// odbcinst.ini resolves to one.
std::string driverLibrary(const std::string& driver) {
  if (driver.find('/') != std::string::npos) {
    return driver;
  }
  return profileValue(driver, "Driver", "odbcinst.ini");
}

bool isFreeTdsDriver(const std::string& driver, const std::string& library) {
  std::string names = lowerAscii(driver + " " + library);
  return names.find("tdsodbc") != std::string::npos || names.find("freetds") != std::string::npos;
}

void checkDataSource(std::string& driver, std::string& library) {
  if (!checkState.dataSourceNameUsable) {
    report(Outcome::kSkipped, "data source", "no usable DATABASE value in the settings file");
    return;
  }
  std::string subject = "data source " + checkState.dataSourceName;
  if (!isRegisteredDataSource(checkState.dataSourceName)) {
    report(Outcome::kFail, subject,
           "not registered with the driver manager (odbcinst -q -s lists the data sources)");
    return;
  }
  driver = profileValue(checkState.dataSourceName, "Driver", "odbc.ini");
  if (driver.empty()) {
    report(Outcome::kFail, subject, "registered without a Driver");
    return;
  }
  checkState.dataSourceRegistered = true;
  library = driverLibrary(driver);
  std::string detail = "registered, driver " + driver;
  if (!library.empty() && library != driver) {
    detail += " (" + library + ")";
  }
  report(Outcome::kOk, subject, detail);
}

// FreeTDS hands texts over in the client character set it is told; only
// CP1252 keeps the bookings' texts in the code page of the transfer file.
void checkClientCharset(const std::string& driver, const std::string& library) {
  const std::string subject = "client charset";
  if (!checkState.dataSourceRegistered) {
    report(Outcome::kSkipped, subject, "no registered data source");
    return;
  }
  if (!isFreeTdsDriver(driver, library)) {
    report(Outcome::kOk, subject, "not a FreeTDS data source");
    return;
  }
  std::string charset = profileValue(checkState.dataSourceName, "ClientCharset", "odbc.ini");
  std::string folded = lowerAscii(charset);
  if (folded == "cp1252" || folded == "windows-1252") {
    report(Outcome::kOk, subject, "ClientCharset = " + charset);
  } else if (charset.empty()) {
    report(Outcome::kFail, subject,
           "ClientCharset is not set for this FreeTDS data source; set ClientCharset = CP1252");
  } else {
    report(Outcome::kFail, subject, "ClientCharset is " + charset + "; set ClientCharset = CP1252");
  }
}

void checkLogin() {
  if (!checkState.credentialsUsable || !checkState.dataSourceRegistered) {
    report(Outcome::kSkipped, "login",
           !checkState.credentialsUsable ? "no usable credentials in the settings file"
                                         : "no registered data source");
    return;
  }
  std::string subject = "login as " + checkState.login + " on " + checkState.dataSourceName;
  if (DbConnection::connect(checkState.login, checkState.password, checkState.dataSourceName) !=
      0) {
    report(Outcome::kFail, subject, diagnosticText());
    return;
  }
  checkState.connected = true;
  report(Outcome::kOk, subject, "connected");
}

// Counts what the next pass would read; a count takes no lock that outlives
// it and marks nothing.
void checkBookingTable() {
  const std::string subject = "booking table";
  if (!checkState.connected) {
    report(Outcome::kSkipped, subject, "no connection");
    return;
  }
  SQLHSTMT statement = SQL_NULL_HSTMT;
  if (DbConnection::allocateStatement(statement) != 0) {
    report(Outcome::kFail, subject, diagnosticText());
    return;
  }
  std::string text = std::string("SELECT count(*) ") + BookingCursor::kUntransferredBookings;
  char count[32] = "";
  SQLLEN indicator = 0;
  bool answered =
      SQLExecDirect(statement, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS) != SQL_ERROR &&
      SQLFetch(statement) != SQL_ERROR &&
      SQLGetData(statement, 1, SQL_C_CHAR, count, sizeof count, &indicator) != SQL_ERROR;
  if (!answered) {
    DbConnection::captureDiagnostic(SQL_HANDLE_STMT, statement);
    report(Outcome::kFail, subject, diagnosticText());
  } else {
    report(Outcome::kOk, subject, std::string(count) + " bookings not yet transferred");
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
}

// The pass creates, appends to and (for the run log) renames a file in the
// directory, so it needs write and search permission there, and write
// permission on the file should it exist already.
void checkWritableDirectory(const std::string& subject, const std::string& directory,
                            const std::string& fileName, const char* missingMeans) {
  struct stat info;
  if (stat(directory.c_str(), &info) != 0) {
    int error = errno;
    report(Outcome::kFail, subject,
           error == ENOENT ? std::string("does not exist; ") + missingMeans
                           : std::string("cannot be examined: ") + std::strerror(error));
    return;
  }
  std::string where = " (" + resolvedPath(directory) + ")";
  if (!S_ISDIR(info.st_mode)) {
    report(Outcome::kFail, subject, "is not a directory" + where);
    return;
  }
  if (faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    report(Outcome::kFail, subject, std::string("not writable: ") + std::strerror(errno) + where);
    return;
  }
  std::string filePath = directory + "/" + fileName;
  if (stat(filePath.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      report(Outcome::kFail, subject, fileName + " is a directory" + where);
      return;
    }
    if (faccessat(AT_FDCWD, filePath.c_str(), W_OK, AT_EACCESS) != 0) {
      report(Outcome::kFail, subject,
             fileName + " is not writable: " + std::strerror(errno) + where);
      return;
    }
  }
  report(Outcome::kOk, subject, "writable" + where);
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int run(const std::string& settingsPath, const std::string& targetDirectory) {
  checkState = CheckState();
  checkSettingsFile(settingsPath);
  std::string driver;
  std::string library;
  checkDataSource(driver, library);
  checkClientCharset(driver, library);
  checkLogin();
  checkBookingTable();
  explicit_bzero(checkState.password.data(), checkState.password.size());

  std::string logPath = RunLog::kLogPath;
  std::string logDirectory = directoryOf(logPath);
  checkWritableDirectory("run log directory " + logDirectory, logDirectory,
                         logPath.substr(logDirectory.size() + 1),
                         "the pass would write no run log");
  // As in the pass, the echo switch in second place is no directory.
  bool noDirectory = targetDirectory.empty() || upperAscii(targetDirectory) == "/D";
  std::string target = noDirectory ? "." : targetDirectory;
  checkWritableDirectory("target directory " + target, target, "BEWDATA.dat",
                         "the pass would end with status 90");
  return checkState.failures == 0 ? 0 : 1;
}

}  // namespace SettingsCheck
