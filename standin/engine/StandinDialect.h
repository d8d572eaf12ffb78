#pragma once

#include <string>
#include <vector>

// Translation of the SQL Server dialect into SQLite's. The rewrite is
// lexical and structural, never by whole statement texts:
//   KVLSYSTEM.x and dbo.x          -> main.x
//   CONVERT(type(n), value, style) -> standin_convert('type', n, value, style)
//   DATEADD(unit, n, value)        -> standin_dateadd('unit', n, value)
//   CURRENT_TIMESTAMP, GETDATE()   -> standin_now()
//   ISNULL(a, b)                   -> ifnull(a, b)
//   a + b                          -> standin_plus(a, b)
//   @@TRANCOUNT                    -> standin_trancount()
//   string literals, datetime results and ORDER BY terms get the STANDIN
//   collation, so that comparisons and sorting follow SQL Server's
//   case-insensitive, blank-padded rules.
// Statements other than SELECT/INSERT/UPDATE/DELETE (CREATE, PRAGMA, ...)
// keep their text apart from the schema prefix; SET, BEGIN, COMMIT and
// ROLLBACK statements, which the engine runs itself, keep it all. PRINT
// becomes the SELECT of its expression.

enum class StatementKind {
  kSelect,
  kInsert,
  kUpdate,
  kDelete,
  kSet,
  kBegin,     // BEGIN TRAN[SACTION]
  kCommit,    // COMMIT [TRAN[SACTION] | WORK]
  kRollback,  // ROLLBACK [TRAN[SACTION] | WORK]
  kPrint,     // PRINT expression: an informational message
  kOther
};

struct TranslatedStatement {
  std::string text;
  StatementKind kind = StatementKind::kOther;
  // The statement runs only when this query (of "IF condition statement")
  // gives 1; empty: always.
  std::string condition;
};

// One entry per statement of a batch, split as T-SQL splits it: at ';' and,
// without one, where a statement keyword (SELECT, INSERT, UPDATE, DELETE,
// SET, WITH, CREATE, ALTER, DROP, BEGIN, COMMIT, ROLLBACK, PRINT, IF) of the
// top level does not continue the statement before it. The condition of an
// IF ends where its statement starts, and goes with that statement. Empty
// statements are dropped.
std::vector<TranslatedStatement> translateSqlServerText(const std::string& sql);

// An option of a SET statement, both upper case: NOCOUNT / ON, TEXTSIZE /
// 2147483647, TRANSACTION ISOLATION LEVEL / READ COMMITTED.
struct SessionOption {
  std::string name;
  std::string value;
};

// Reads a SET statement of the options clients send after their login
// (several ON/OFF options may share one statement). Returns 0, or SQL
// Server's error number with its message: 195 for an option it does not
// know, 102 for anything else it cannot read.
int readSetStatement(const std::string& text, std::vector<SessionOption>& options,
                     std::string& message);

// Reads a BEGIN, COMMIT or ROLLBACK statement: TRAN or TRANSACTION (or WORK
// after COMMIT and ROLLBACK) may follow, then a transaction name. Returns 0,
// or 102 with SQL Server's message for anything else (a BEGIN ... END
// block, which the stand-in does not run, included).
int readTransactionStatement(const std::string& text, std::string& message);
