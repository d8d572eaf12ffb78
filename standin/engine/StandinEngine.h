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
// changes nothing. Native 3609 (the trigger ended the transaction) ends
// the batch too.
struct UpdateTrigger {
  std::string pattern;  // empty: switch absent
  EngineError error;
};

// The calls that switches count, per session: each statement of a batch is
// one call of its kind, each row read one fetch.
enum class SwitchedCall { kSelect, kUpdate, kDelete, kFetch };
inline constexpr int kSwitchedCallCount = 4;

// Switches from StandinControl, read at login.
struct StandinSwitches {
  InjectedFault fail[kSwitchedCallCount];
  // A stalled call never answers by itself.
  long stall[kSwitchedCallCount] = {-1, -1, -1, -1};
  bool refuseSecondActiveStatement = false;
  // Delays every engine call: each statement and each row read.
  long latencyMilliseconds = 0;
  // Delays each answer of the TDS server to a request after the login: one
  // per round trip, however many rows it carries.
  long wireLatencyMilliseconds = 0;
  UpdateTrigger updateTrigger;
};

struct EngineSession {
  sqlite3* db = nullptr;
  std::string databasePath;
  // What CURRENT_TIMESTAMP gives in the statement that runs now.
  std::string currentTimestamp;
  StandinSwitches switches;
  long calls[kSwitchedCallCount] = {};
  long keptResults = 0;  // names the temporary tables of results
  // SET options of the connection that change its answers.
  bool noCount = false;    // no row counts
  bool xactAbort = false;  // every error ends the batch
};

// Where a query's rows wait for the front end. A temporary table keeps the
// rows of an execute fixed while later statements of the session change the
// tables they came from, in SQLite's bounded page cache and a file instead
// of the front end's heap.
enum class RowStorage { kMemory, kTemporaryTable };

using ResultRow = std::vector<std::optional<std::string>>;

struct KeptRows;
struct KeptRowsRelease {
  void operator()(KeptRows* kept) const;
};

// The result of one statement of a batch. A result whose rows went to a
// temporary table must not outlive its session.
struct ResultSet {
  std::vector<std::string> columnNames;
  std::vector<std::string> declaredTypes;
  std::vector<ResultRow> rows;  // RowStorage::kMemory only
  std::unique_ptr<KeptRows, KeptRowsRelease> keptRows;
  long rowCount = 0;
  std::vector<size_t> longestValues;  // bytes, at least 1
  std::vector<bool> integerColumns;   // columns whose values were all integers
  long rowsAffected = -1;             // -1 for a query
  bool counted = true;                // false for SET and under SET NOCOUNT ON
  StatementKind kind = StatementKind::kOther;
  bool isQuery() const { return !columnNames.empty(); }
};

// Opens the database file (creating a missing one with the schema), reads
// the switches and checks the login. A refused login is 28000 / 18456; an
// armed fail.connect switch refuses with its own record. On failure the
// session is closed again.
bool loginToStandin(EngineSession& session, const std::string& databasePath,
                    const std::string& user, const std::string& password, EngineError& error);

void closeStandinSession(EngineSession& session);

// For a front end in the client's process, where SQLite's page caches are
// the client's memory: small caches, and temporary tables in a file beyond
// theirs. Call right after the login.
bool limitPageCaches(EngineSession& session, EngineError& error);

// What the switches do to the next call of this kind; counts the call.
struct SwitchHit {
  bool stall = false;
  const InjectedFault* fault = nullptr;  // the armed fault when it hits
};
SwitchHit countSwitchedCall(EngineSession& session, SwitchedCall call);

// What one statement of a batch gave: its result, or its failure.
struct StatementOutcome {
  ResultSet result;
  std::optional<EngineError> failure;
  bool injected = false;   // the failure came from a fail.* switch
  bool losesLink = false;  // and took the link down
};

// How a batch ended. SQL Server runs a batch on after a statement that
// failed on its own (a constraint, an error raised in a trigger); a batch-
// aborting error (1205, 3609, any error under SET XACT_ABORT ON, a statement
// that does not compile) ends it at that statement. A stall or a lost link
// ends it before the statement they hit.
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
