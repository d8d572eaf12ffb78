#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

// SQL Server's value semantics on top of SQLite text: datetimes, CONVERT
// styles, DATEADD, '+', CHAR(n) in code page 1252 (in place of SQLite's own
// char()) and the default collation. The stored form of a datetime is text
// 'yyyy-mm-dd hh:mi:ss' with an optional '.fff'.

struct Datetime {
  int year = 1900;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Accepts 'yyyy-mm-dd', optionally followed by ' ' or 'T' and hh:mi[:ss[.f..]],
// or a time alone (on 1900-01-01). Trailing blanks are ignored. Returns false
// for anything else, including impossible dates.
bool parseDatetime(std::string_view text, Datetime& out);

// 'yyyy-mm-dd hh:mi:ss.fff'
std::string formatDatetime(const Datetime& value);

// Text of a datetime in a CONVERT style; returns false for a style the
// stand-in does not know.
bool formatDatetimeStyle(const Datetime& value, int style, std::string& out);

// DATEADD: returns false for an unknown unit. Months and years keep the day
// unless the target month is shorter, then they take its last day.
bool addToDatetime(const Datetime& value, std::string_view unit, int64_t amount, Datetime& out);

// SQL Server's datetime keeps milliseconds in steps of 1/300 s: .000, .003, .007.
Datetime roundToDatetimePrecision(const Datetime& value);

// The local clock as a datetime.
Datetime localNow();

// The sort key of a text under the stand-in's collation: a datetime compares
// as its canonical form, anything else case-insensitively (Windows-1252) with
// trailing blanks ignored.
std::string collationKey(std::string_view text);

// Name of the collation that the dialect translation attaches to literals.
inline constexpr const char kStandinCollation[] = "STANDIN";

// Registers standin_convert, standin_dateadd, standin_now, standin_plus and
// the STANDIN collation on a connection. standin_now returns *currentTimestamp,
// which the caller refreshes before every statement.
int registerStandinFunctions(sqlite3* db, const std::string* currentTimestamp);
