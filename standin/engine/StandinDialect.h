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
// keep their text apart from the schema prefix.

enum class StatementKind { kSelect, kInsert, kUpdate, kDelete, kOther };

struct TranslatedStatement {
  std::string text;
  StatementKind kind = StatementKind::kOther;
};

// One entry per statement of a batch separated by ';'; empty statements are
// dropped.
std::vector<TranslatedStatement> translateSqlServerText(const std::string& sql);
