#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StandinDialect.h"

// The stand-in database as both front ends see it, the ODBC driver and the
// TDS server: opening a database file, the login check, the fault switches
// of StandinControl, the clock and running a batch in the SQL Server
// dialect. What a front end does with a stall or a failure (wait, answer
// HYT00, send an ERROR token, drop the link) is its own business.

// A failure as SQL Server reports it: SQLSTATE, error number and text
// (without a driver's prefix).
struct EngineError {
  std::string sqlstate;
  int32_t nativeError = 0;
  std::string message;
};

// A failure that a fault switch injects: on the n-th call (0: every call).
// SQLSTATE 08S01 takes the link down; a front end with a real link resets
// it when the native number is 10054 (connection reset) and closes it
// otherwise.
struct InjectedFault {
  long callNumber = -1;  // -1: switch absent
  int32_t nativeError = 0;
  std::string sqlstate;
  bool losesLink() const { return sqlstate == "08S01"; }
  bool resetsLink() const { return losesLink() && nativeError == 10054; }
};

// The trigger.update switch: as an UPDATE trigger on Kvl321Bew that raises
// `error` for a row whose BewIDN is LIKE `pattern`, so that the statement
// changes nothing. A number from 50000 on is the trigger's RAISERROR: the
// statement fails, and the batch and its transaction go on, whatever SET
// XACT_ABORT says. Native 3609 is a ROLLBACK in the trigger ("the
// transaction ended in the trigger"), and any other number an error of a
// statement in the trigger's body: both roll the transaction back and end
// the batch, as SQL Server does.
struct UpdateTrigger {
  std::string pattern;  // empty: switch absent
  EngineError error;
};

// The calls that switches count, per session: each statement of a batch is
// one call of its kind (COMMIT statements too), each row read one fetch.
enum class SwitchedCall { kSelect, kUpdate, kDelete, kFetch, kCommit };
inline constexpr int kSwitchedCallCount = 5;

// The info.* switch: on the n-th call (0: every call) a message of class 0
// comes before the statement's result, as SQL Server's warnings and PRINT
// do.
struct InjectedInfo {
  long callNumber = -1;  // -1: switch absent
  EngineError message;
};

// Switches from StandinControl, read at login.
struct StandinSwitches {
  InjectedFault fail[kSwitchedCallCount];
  // lose_link_after.<call>: the statement runs (and an auto-committed one
  // commits), then the link goes down before its answer. On COMMIT that is
  // a commit whose answer was lost; fail.commit with 08S01 loses the link
  // before the commit, and the session's end rolls the transaction back.
  InjectedFault loseLinkAfter[kSwitchedCallCount];
  // info.<call>: an informational message (class 0) before the result.
  InjectedInfo info[kSwitchedCallCount];
  // A stalled call never answers by itself.
  long stall[kSwitchedCallCount] = {-1, -1, -1, -1, -1};
  bool refuseSecondActiveStatement = false;
  // cursor_close_on_commit: a COMMIT or ROLLBACK closes the session's open
  // cursors, as SQL Server does with CURSOR_CLOSE_ON_COMMIT ON, which ODBC
  // logins turn off; their next fetch fails.
  bool cursorCloseOnCommit = false;
  // Delays every engine call: each statement and each row read.
  long latencyMilliseconds = 0;
  // Delays each answer of the TDS server to a request after the login: one
  // per round trip, however many rows it carries.
  long wireLatencyMilliseconds = 0;
  // commit_cost_ms: the wait of a commit that wrote, as SQL Server's flush
  // of its log: an auto-committed INSERT, UPDATE or DELETE that changed
  // rows, or the outermost COMMIT of a transaction that did. A fixed wait,
  // so that figures do not depend on this machine's disk.
  long commitCostMilliseconds = 0;
  UpdateTrigger updateTrigger;
};

struct EngineSession {
  sqlite3* db = nullptr;
  // A private database for the rows of kept results, opened on first use:
  // apart from `db`, so that no transaction of the session takes them
  // along when it rolls back.
  sqlite3* resultStore = nullptr;
  std::string databasePath;
  // What CURRENT_TIMESTAMP gives in the statement that runs now.
  std::string currentTimestamp;
  StandinSwitches switches;
  long calls[kSwitchedCallCount] = {};
  long keptResults = 0;  // names the tables of kept results
  // SET options of the connection that change its answers.
  bool noCount = false;    // no row counts
  bool xactAbort = false;  // run-time errors roll back and end the batch
  // @@TRANCOUNT: BEGIN TRANSACTION nests, the outermost COMMIT commits.
  long tranCount = 0;
  bool transactionWrote = false;   // a statement of it changed rows
  uint64_t transactionNumber = 0;  // of the latest outermost BEGIN, from 1
};

// Name of the StandinStatistics row that counts the commits that wrote:
// read it with
//   SELECT Value FROM StandinStatistics WHERE Name = 'commits_that_wrote'
inline constexpr const char kCommitsThatWrote[] = "commits_that_wrote";

// Where a query's rows wait for the front end. A table of the session's
// result store keeps the rows of an execute fixed while later statements of
// the session change the tables they came from, or roll back a transaction,
// in SQLite's bounded page cache and a file instead of the front end's heap.
enum class RowStorage { kMemory, kResultStore };

using ResultRow = std::vector<std::optional<std::string>>;

struct KeptRows;
struct KeptRowsRelease {
  void operator()(KeptRows* kept) const;
};

// The result of one statement of a batch. A result whose rows went to the
// result store must not outlive its session.
struct ResultSet {
  std::vector<std::string> columnNames;
  std::vector<std::string> declaredTypes;
  std::vector<ResultRow> rows;  // RowStorage::kMemory only
  std::unique_ptr<KeptRows, KeptRowsRelease> keptRows;
  long rowCount = 0;
  std::vector<size_t> longestValues;  // bytes, at least 1
  std::vector<bool> integerColumns;   // columns whose values were all integers
  long rowsAffected = -1;             // -1 for a query
  bool counted = true;  // false for SET, BEGIN, COMMIT, ROLLBACK, PRINT and under NOCOUNT
  StatementKind kind = StatementKind::kOther;
  bool isQuery() const { return !columnNames.empty(); }
};

// Opens the database file (creating a missing one with the schema), reads
// the switches and checks the login. A refused login is 28000 / 18456; an
// armed fail.connect switch refuses with its own record. On failure the
// session is closed again.
bool loginToStandin(EngineSession& session, const std::string& databasePath,
                    const std::string& user, const std::string& password, EngineError& error);

// Rolls back an open transaction first, as SQL Server does for a session
// that ends.
void closeStandinSession(EngineSession& session);

// The session died with its link: its open transaction is rolled back.
void rollBackForLostLink(EngineSession& session);

// For a front end in the client's process, where SQLite's page caches are
// the client's memory: small caches, and temporary tables (the trigger of
// trigger.update) in a file beyond theirs. Call right after the login.
bool limitPageCaches(EngineSession& session, EngineError& error);

// What the switches do to the next call of this kind; counts the call.
struct SwitchHit {
  bool stall = false;
  const InjectedFault* fault = nullptr;      // the armed fault when it hits
  const InjectedFault* lostAfter = nullptr;  // lose_link_after.* when it hits
  const EngineError* info = nullptr;         // info.*'s message when it hits
};
SwitchHit countSwitchedCall(EngineSession& session, SwitchedCall call);

// What a statement did to the session's transaction, as TDS tells it.
enum class TransactionChange { kNone, kBegan, kCommitted, kRolledBack };

// What one statement of a batch gave: its result, or its failure.
struct StatementOutcome {
  ResultSet result;
  std::optional<EngineError> failure;
  bool injected = false;   // the failure came from a fail.* switch
  bool losesLink = false;  // and took the link down
  // An informational message that comes before the result (PRINT, info.*).
  std::optional<EngineError> info;
  TransactionChange transaction = TransactionChange::kNone;
  uint64_t transactionNumber = 0;  // of the transaction that changed
  // Whether a front end hands the outcome on as a result of its own: a
  // statement with a failure, a message, rows or a count. FreeTDS skips the
  // others (SET, BEGIN, COMMIT, statements under SET NOCOUNT ON), and so
  // does the stand-in driver.
  bool handedOn() const { return failure || info || result.isQuery() || result.counted; }
};

// How a batch ended. SQL Server runs a batch on after a statement that
// failed on its own (a constraint, an error raised with RAISERROR in a
// trigger); a batch-aborting error ends it at that statement: deadlock
// victim 1205, 3609 and errors in a trigger's body, and any run-time error
// under SET XACT_ABORT ON roll the transaction back too; a name that does
// not resolve as the statement runs (208) leaves it open. A statement that
// does not compile fails the batch before any of it runs. A stall or a lost
// link ends it before the statement they hit (or, for lose_link_after.*,
// after it); a lost link ends the session, and so rolls back its
// transaction.
enum class BatchEnd { kCompleted, kAborted, kStalled, kLinkLost };

struct BatchRun {
  std::vector<StatementOutcome> outcomes;  // of the statements that ran
  BatchEnd end = BatchEnd::kCompleted;
  const InjectedFault* lostLink = nullptr;  // BatchEnd::kLinkLost
};

// What a front end does when a stall switch hits a statement: it waits as
// for a server that does not answer, and returns true when the client gave
// up first (the batch then ends before that statement), false when the wait
// ended and the statement runs.
using StallWait = std::function<bool()>;

// Runs a translated batch statement by statement, each counted by the
// switches and with CURRENT_TIMESTAMP of its own; the statements before a
// failure, a stall or a lost link keep their effect.
void runBatch(EngineSession& session, const std::vector<TranslatedStatement>& batch,
              RowStorage storage, const StallWait& stallWait, BatchRun& run);

// Row `index` (from 0, below rowCount) of a query's result.
bool readResultRow(const ResultSet& result, long index, ResultRow& row, EngineError& error);

// How a result column presents itself to a client.
enum class ColumnKind { kInteger, kBigInteger, kReal, kText };
struct ColumnShape {
  ColumnKind kind;
  size_t size;  // characters of the longest value for text
};
ColumnShape describeColumn(const ResultSet& result, size_t column);
