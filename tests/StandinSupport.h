#pragma once

#include <sql.h>
#include <sqlext.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace test {

// The statements the tool sends, written out byte for byte rather than
// taken from its constants, so that a blank lost or added in the tool shows.
inline constexpr const char kBookingSelectText[] =
    "SELECT  BewTID, BewLID, BewIDN, BewSto,  convert(char(19), BewDtm, 120),  convert(char(19), "
    "BewUhr, 120),  BewLfn, BewArt, BewTas, BewEra,  BewKze, BewBer, BewErq, BewKst,  BewQua, "
    "BewSrc, BewRes FROM  KVLSYSTEM.Kvl321Bew WHERE (BewUkz != 4  OR BewUkz IS NULL) ORDER  BY "
    "BewIdn, BewDtm, BewUhr, BewLfn ";
inline constexpr const char kServerTimeText[] =
    "SELECT ( CONVERT(char(11), CURRENT_TIMESTAMP, 104) +          CONVERT(char(8), "
    "CURRENT_TIMESTAMP, 114)) ";
// The marking of a booking with key ('ID', '10', 2015-06-01, 07:45, '1').
std::string markingText(const std::string& id);

inline constexpr const char kPurgeText[] =
    "DELETE  FROM Kvlsystem.Kvl321Bew  WHERE  BewDat < DATEADD(month, -3, Current_Timestamp)    "
    "AND  bewUkz = 4";

// A stand-in database file with its ODBC registration (DSN "ZEIT") in a
// directory. Seeding and inspection go straight through SQLite, never
// through the driver under test.
class StandinDatabase {
 public:
  // Writes <directory>/odbcinst.ini and <directory>/odbc.ini (DSN ZEIT,
  // Database=<directory>/zeit.db, Driver = test::buildDir() +
  // "/libSqlServerStandin.so") and creates zeit.db with the schema. A zeit.db
  // left in the directory is replaced by an empty one.
  explicit StandinDatabase(const std::string& directory);
  const std::string& databasePath() const;
  const std::string& iniDirectory() const;
  // ODBCSYSINI and ODBCINI for a child process (or setenv in this one).
  std::map<std::string, std::string> odbcEnvironment() const;
  // Runs SQL directly through SQLite (not the driver); a failure is a test
  // failure (ADD_FAILURE + message).
  void execute(const std::string& sql) const;
  // Rows of a query through SQLite, each column as text, NULL as "NULL".
  std::vector<std::vector<std::string>> query(const std::string& sql) const;
  void addLogin(const std::string& login, const std::string& password) const;
  void setControl(const std::string& name, const std::string& value) const;

 private:
  std::string directory_;
  std::string databasePath_;
};

// The one registration directory of this test process, for tests that load
// the stand-in in-process: the driver manager may keep what it read of the
// ini files, so every such test registers its database in the same place.
const std::string& inProcessStandinDirectory();

// A fresh database in that directory, registered in this process's
// environment, with one login.
std::unique_ptr<StandinDatabase> openInProcessStandin(const std::string& login,
                                                      const std::string& password);

// A batch of the tool's markings, one per line, against the bookings that
// seedMarkedBookings lays out, run through a driver and a server that
// answer it as they do; the outcomes each driver gives are its tests'.
struct MarkingBatchCase {
  const char* what;
  std::map<std::string, std::string> switches;  // StandinControl, read at the login
  const char* setFirst;                         // a statement run on its own before, or nullptr
  std::vector<std::string> ids;                 // one marking each
  SQLULEN queryTimeout;                         // seconds, 0: none
  const char* marked;  // which of 000001..000005 are marked afterwards, '1' for each
};
const std::vector<MarkingBatchCase>& markingBatchCases();

// Bookings 000001 to 000005, none marked, with the key of markingText.
void seedMarkedBookings(const StandinDatabase& database);
std::string markedBookings(const StandinDatabase& database);

// Runs the case's batch on the connection and reads each outcome as a tool
// would: the return code of SQLExecDirect, then of each SQLMoreResults, with
// SQLRowCount and the first diagnostic record, e.g. "SUCCESS 1",
// "SUCCESS_WITH_INFO -1 42000/50000", "ERROR -1 HYT00/0". SQL_NO_DATA from
// SQLMoreResults ends it as "end"; a second SQL_ERROR in a row ends it too.
// The outcome of the case's SET statement comes first, as "SET: ...".
std::vector<std::string> runMarkingBatch(SQLHDBC connection, const MarkingBatchCase& c);

}  // namespace test
