#pragma once

#include <sqlite3.h>

#include <cstdint>
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

// The calls that switches count, per session.
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
};

struct EngineSession {
  sqlite3* db = nullptr;
  std::string databasePath;
  // What CURRENT_TIMESTAMP gives in the statement that runs now.
  std::string currentTimestamp;
  StandinSwitches switches;
  long calls[kSwitchedCallCount] = {};
  long keptResults = 0;  // names the temporary tables of results
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

// The call that a statement of this kind counts as, if any.
std::optional<SwitchedCall> switchedCallOf(StatementKind kind);

// CURRENT_TIMESTAMP for the next statement: the 'clock' switch when set,
// else the local clock, both at datetime precision.
bool refreshCurrentTimestamp(EngineSession& session, EngineError& error);

// Runs every statement of a translated batch to its end, one result each.
// Stops at the first failure, with SQL Server's SQLSTATE and number.
bool runTranslatedBatch(EngineSession& session, const std::vector<TranslatedStatement>& batch,
                        std::vector<ResultSet>& results, EngineError& error,
                        RowStorage storage = RowStorage::kMemory);

// Row `index` (from 0, below rowCount) of a query's result.
bool readResultRow(const ResultSet& result, long index, ResultRow& row, EngineError& error);

// How a result column presents itself to a client.
enum class ColumnKind { kInteger, kBigInteger, kReal, kText };
struct ColumnShape {
  ColumnKind kind;
  size_t size;  // characters of the longest value for text
};
ColumnShape describeColumn(const ResultSet& result, size_t column);
