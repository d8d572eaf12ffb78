#pragma once

#include <sql.h>
#include <sqlext.h>

#include <functional>
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

// An ODBC connection in this process through unixODBC, made with
// SQLDriverConnect and released at the end.
class InProcessConnection {
 public:
  explicit InProcessConnection(const std::string& connectionString);
  ~InProcessConnection();
  InProcessConnection(const InProcessConnection&) = delete;
  InProcessConnection& operator=(const InProcessConnection&) = delete;
  SQLHDBC handle() const { return connection_; }
  bool connected() const { return connected_; }
  // Disconnects and frees the handles now.
  void close();

 private:
  SQLHENV environment_ = SQL_NULL_HENV;
  SQLHDBC connection_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

// What reaches the stand-in driver as DSN ZEIT, and FreeTDS (no data
// source) as a StandinTdsServer on a loopback port.
std::string standinConnectionString(const std::string& user, const std::string& password);
std::string freeTdsConnectionString(int port, const std::string& user, const std::string& password);

// The current result of a batch as its reader tells it, whatever return
// code the driver gives: "error SQLSTATE/native" of a failure, "message
// SQLSTATE/native count N" of an informational one, "count N" of one with a
// row count (SQLRowCount), "value X" of a query with one row and one
// column, "rows N" of another query and "count -1" of anything else. Only records, rows and counts
// count: the stand-in driver and FreeTDS give the same text where they agree on them.
std::string describeResult(SQLHSTMT statement, SQLRETURN code);

// "{Mn}" in a batch as the marking of booking 00000n, on a line of its own.
std::string withMarkings(const std::string& batch);

// Runs a batch (with markings) on a fresh statement handle and describes
// each result until SQL_NO_DATA, or a second SQL_ERROR in a row, which a
// dead link gives for ever. A query timeout in seconds, 0: none.
std::vector<std::string> runBatchResults(SQLHDBC connection, const std::string& batch,
                                         SQLULEN queryTimeout = 0);

// The bookings of seedMarkedBookings marked in transactions: batches on one
// connection, one after the other, through a driver and a server that
// answer as they do; the same case table for either front end.
struct TransactionCase {
  const char* what;
  std::map<std::string, std::string> switches;  // StandinControl, read at the login
  std::vector<std::string> batches;             // with {Mn} markings
  // describeResult of every result, "--" between two batches.
  std::vector<std::string> outcomes;
  // Where FreeTDS hands on something else; empty: the same.
  std::vector<std::string> freeTdsOutcomes;
  long tranCount;      // @@TRANCOUNT after the batches; -1: the link is gone
  const char* marked;  // as markedBookings sees them after the session ended
  long commitsThatWrote;
  SQLULEN queryTimeout = 0;  // of every batch, seconds
};
const std::vector<TransactionCase>& transactionCases();

// Clears the switches and statistics, sets the case's switches and seeds
// the bookings.
void prepareTransactionCase(const StandinDatabase& database, const TransactionCase& c);

// Runs the case's batches and then asks @@TRANCOUNT (when the link lives).
std::vector<std::string> runTransactionCase(SQLHDBC connection, const TransactionCase& c,
                                            long& tranCount);

// StandinStatistics' count of commits that wrote.
long commitsThatWrote(const StandinDatabase& database);

// Prepares and runs a case on a connection of its own along connectionString
// and expects what it leaves: these results, the case's @@TRANCOUNT, marks
// and commits that wrote, and, with a commit cost, as many waits as commits.
// afterClose runs once the connection is closed (a server's session ends).
void expectTransactionCase(const StandinDatabase& database, const std::string& connectionString,
                           const TransactionCase& c, const std::vector<std::string>& outcomes,
                           const std::function<void()>& afterClose = {});

// How a session ends with its transaction open.
enum class SessionEnd { kDisconnect, kLinkLost, kProcessDies };

// Marks bookings 000001 and 000002 in a transaction under XACT_ABORT ON, and
// ends the session without a COMMIT: with SQLDisconnect, by a link that a
// fail.update switch takes down, or in a child process that exits without
// disconnecting. Another connection then marks 000003. As lines: the
// session's results (or "marked, then died"), "others see MARKED" before
// the disconnect, "others mark RESULTS" (with " after a wait" when a lock
// held it up for a second), and "others see MARKED" at the end.
std::vector<std::string> abandonTransaction(const StandinDatabase& database,
                                            const std::string& connectionString, SessionEnd end);

// The ways a session ends with its transaction open, with the lines
// abandonTransaction gives; linkLostError is how the front end reports the
// lost link (as describeResult shows an error).
struct DeadSessionCase {
  const char* what;
  SessionEnd end;
  std::map<std::string, std::string> switches;
  std::vector<std::string> lines;
};
std::vector<DeadSessionCase> deadSessionCases(const std::string& linkLostError);

// Runs every dead-session case along connectionString and expects its lines.
void expectDeadSessions(const StandinDatabase& database, const std::string& connectionString,
                        const std::string& linkLostError,
                        const std::function<void()>& afterEach = {});

// The booking cursor (non-scrollable, SQL_CONCUR_LOCK, rowsets of two) on
// seedMarkedBookings' bookings, read across transactions that another
// statement of the connection commits and rolls back, one of them open
// when the cursor opens; each step as a line. Either front end must give
// kCursorAcrossTransactions.
std::vector<std::string> cursorAcrossTransactions(SQLHDBC connection);
extern const std::vector<std::string> kCursorAcrossTransactions;

}  // namespace test
