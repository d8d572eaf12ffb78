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
//   string literals, datetime results and ORDER BY terms get the STANDIN
//   collation, so that comparisons and sorting follow SQL Server's
//   case-insensitive, blank-padded rules.
// Statements other than SELECT/INSERT/UPDATE/DELETE (CREATE, PRAGMA, ...)
// keep their text apart from the schema prefix; SET statements, which the
// engine runs itself, keep it all.

enum class StatementKind { kSelect, kInsert, kUpdate, kDelete, kSet, kOther };

struct TranslatedStatement {
  std::string text;
  StatementKind kind = StatementKind::kOther;
};

// One entry per statement of a batch, split as T-SQL splits it: at ';' and,
// without one, where a statement keyword (SELECT, INSERT, UPDATE, DELETE,
// SET, WITH, CREATE, ALTER, DROP, BEGIN, COMMIT, ROLLBACK) of the top level
// does not continue the statement before it. Empty statements are dropped.
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
