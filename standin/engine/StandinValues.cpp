#include "StandinValues.h"

#include <strings.h>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t daysFromCivil(int year, int month, int day) {
  int64_t y = month <= 2 ? year - 1 : year;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yearOfEra = y - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void civilFromDays(int64_t days, Datetime& out) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t dayOfEra = days - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  out.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  out.month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  out.year = static_cast<int>(yearOfEra + era * 400 + (out.month <= 2 ? 1 : 0));
}

int64_t toMilliseconds(const Datetime& value) {
  int64_t days = daysFromCivil(value.year, value.month, value.day);
  return ((days * 24 + value.hour) * 60 + value.minute) * 60000 + value.second * 1000 +
         value.millisecond;
}

Datetime fromMilliseconds(int64_t milliseconds) {
  Datetime value;
  int64_t days = milliseconds / 86400000;
  int64_t rest = milliseconds % 86400000;
  if (rest < 0) {
    rest += 86400000;
    days -= 1;
  }
  civilFromDays(days, value);
  value.hour = static_cast<int>(rest / 3600000);
  value.minute = static_cast<int>(rest / 60000 % 60);
  value.second = static_cast<int>(rest / 1000 % 60);
  value.millisecond = static_cast<int>(rest % 1000);
  return value;
}

// Reads exactly `width` digits at `pos`.
bool readDigits(std::string_view text, size_t& pos, size_t width, int& out) {
  if (pos + width > text.size()) {
    return false;
  }
  out = 0;
  for (size_t i = 0; i < width; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') {
      return false;
    }
    out = out * 10 + (c - '0');
  }
  pos += width;
  return true;
}

bool parseTime(std::string_view text, size_t& pos, Datetime& out) {
  if (!readDigits(text, pos, 2, out.hour) || pos >= text.size() || text[pos++] != ':' ||
      !readDigits(text, pos, 2, out.minute)) {
    return false;
  }
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!readDigits(text, pos, 2, out.second)) {
      return false;
    }
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      size_t start = pos;
      int scale = 100;
      while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        out.millisecond += (text[pos] - '0') * scale;
        scale /= 10;
        ++pos;
      }
      if (pos == start) {
        return false;
      }
    }
  }
  return out.hour < 24 && out.minute < 60 && out.second < 60;
}

// The value of an argument as text, or false when it is NULL.
bool argumentText(sqlite3_value* value, std::string& out) {
  if (sqlite3_value_type(value) == SQLITE_NULL) {
    return false;
  }
  const unsigned char* text = sqlite3_value_text(value);
  out.assign(reinterpret_cast<const char*>(text), sqlite3_value_bytes(value));
  return true;
}

void resultText(sqlite3_context* context, const std::string& text) {
  sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// standin_convert(type, length, value, style): CONVERT(type(length), value, style).
// length is -1 when the type had none, style NULL when none was given.
void convertFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  std::string type = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  for (char& c : type) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  int64_t length = sqlite3_value_int64(argv[1]);
  std::string text;
  if (!argumentText(argv[2], text)) {
    sqlite3_result_null(context);
    return;
  }
  Datetime datetime;
  bool isDatetime = sqlite3_value_type(argv[2]) == SQLITE_TEXT && parseDatetime(text, datetime);
  if (type == "datetime" || type == "datetime2" || type == "smalldatetime" || type == "date") {
    if (!isDatetime) {
      sqlite3_result_error(
          context, "Conversion failed when converting date and/or time from character string.", -1);
      return;
    }
    std::string out = formatDatetime(datetime);
    resultText(context, type == "date" ? out.substr(0, 10) : out);
    return;
  }
  if (type == "int" || type == "integer" || type == "bigint" || type == "smallint" ||
      type == "tinyint") {
    if (sqlite3_value_numeric_type(argv[2]) != SQLITE_INTEGER) {
      std::string message = "Conversion failed when converting the varchar value '" + text +
                            "' to data type " + type + ".";
      sqlite3_result_error(context, message.c_str(), -1);
      return;
    }
    sqlite3_result_int64(context, sqlite3_value_int64(argv[2]));
    return;
  }
  bool fixed = type == "char" || type == "nchar";
  if (!fixed && type != "varchar" && type != "nvarchar") {
    std::string message = "Type " + type + " is not a defined system type.";
    sqlite3_result_error(context, message.c_str(), -1);
    return;
  }
  if (isDatetime) {
    int style = sqlite3_value_type(argv[3]) == SQLITE_NULL ? 0 : sqlite3_value_int(argv[3]);
    if (!formatDatetimeStyle(datetime, style, text)) {
      std::string message = std::to_string(style) +
                            " is not a valid style number when converting from datetime to a "
                            "character string.";
      sqlite3_result_error(context, message.c_str(), -1);
      return;
    }
  }
  if (length < 0) {
    length = 30;  // char and varchar without a length in CONVERT
  }
  if (text.size() > static_cast<size_t>(length)) {
    text.resize(length);
  } else if (fixed) {
    text.append(length - text.size(), ' ');
  }
  resultText(context, text);
}

// standin_dateadd(unit, amount, datetime)
void dateaddFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  std::string text;
  if (sqlite3_value_type(argv[1]) == SQLITE_NULL || !argumentText(argv[2], text)) {
    sqlite3_result_null(context);
    return;
  }
  Datetime datetime;
  if (!parseDatetime(text, datetime)) {
    sqlite3_result_error(
        context, "Conversion failed when converting date and/or time from character string.", -1);
    return;
  }
  const char* unit = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  Datetime result;
  if (!addToDatetime(datetime, unit, sqlite3_value_int64(argv[1]), result)) {
    std::string message = std::string("'") + unit + "' is not a recognized dateadd option.";
    sqlite3_result_error(context, message.c_str(), -1);
    return;
  }
  resultText(context, formatDatetime(result));
}

void nowFunction(sqlite3_context* context, int, sqlite3_value**) {
  resultText(context, *static_cast<const std::string*>(sqlite3_user_data(context)));
}

// CHAR(n): the character of code n in the database's code page, 1252, as
// one byte; NULL outside 0 to 255, as SQL Server gives. SQLite's own char()
// would give the Unicode character in UTF-8.
void charFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_numeric_type(argv[0]) != SQLITE_INTEGER) {
    sqlite3_result_null(context);
    return;
  }
  sqlite3_int64 code = sqlite3_value_int64(argv[0]);
  if (code < 0 || code > 255) {
    sqlite3_result_null(context);
    return;
  }
  resultText(context, std::string(1, static_cast<char>(code)));
}

// '+': two character values concatenate, anything else adds as numbers;
// NULL on either side gives NULL.
void plusFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  int leftType = sqlite3_value_type(argv[0]);
  int rightType = sqlite3_value_type(argv[1]);
  if (leftType == SQLITE_NULL || rightType == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  if (leftType == SQLITE_TEXT && rightType == SQLITE_TEXT) {
    std::string left, right;
    argumentText(argv[0], left);
    argumentText(argv[1], right);
    resultText(context, left + right);
    return;
  }
  for (int i = 0; i < 2; ++i) {
    if (sqlite3_value_numeric_type(argv[i]) == SQLITE_TEXT) {
      std::string text;
      argumentText(argv[i], text);
      std::string message =
          "Conversion failed when converting the varchar value '" + text + "' to data type int.";
      sqlite3_result_error(context, message.c_str(), -1);
      return;
    }
  }
  if (sqlite3_value_numeric_type(argv[0]) == SQLITE_INTEGER &&
      sqlite3_value_numeric_type(argv[1]) == SQLITE_INTEGER) {
    int64_t sum;
    if (!__builtin_add_overflow(sqlite3_value_int64(argv[0]), sqlite3_value_int64(argv[1]), &sum)) {
      sqlite3_result_int64(context, sum);
      return;
    }
    sqlite3_result_error(context,
                         "Arithmetic overflow error converting expression to data type "
                         "bigint.",
                         -1);
    return;
  }
  sqlite3_result_double(context, sqlite3_value_double(argv[0]) + sqlite3_value_double(argv[1]));
}

// Text that the collation leaves as it is: no letter to fold, no trailing
// blank, and nothing a datetime could start with.
bool collatesAsItIs(std::string_view text) {
  if (!text.empty() && text.back() == ' ') {
    return false;
  }
  if (text.size() >= 5 && (text[2] == ':' || text[4] == '-')) {
    return false;
  }
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || byte >= 0x80) {
      return false;
    }
  }
  return true;
}

int compareCollated(void*, int leftLength, const void* left, int rightLength, const void* right) {
  std::string_view leftText(static_cast<const char*>(left), size_t(leftLength));
  std::string_view rightText(static_cast<const char*>(right), size_t(rightLength));
  if (collatesAsItIs(leftText) && collatesAsItIs(rightText)) {
    return leftText.compare(rightText);
  }
  std::string leftKey = collationKey({static_cast<const char*>(left), size_t(leftLength)});
  std::string rightKey = collationKey({static_cast<const char*>(right), size_t(rightLength)});
  return leftKey.compare(rightKey);
}

}  // namespace

bool parseDatetime(std::string_view text, Datetime& out) {
  while (!text.empty() && text.back() == ' ') {
    text.remove_suffix(1);
  }
  Datetime value;
  size_t pos = 0;
  if (text.size() >= 5 && text[2] == ':') {
    if (!parseTime(text, pos, value)) {
      return false;
    }
  } else {
    if (!readDigits(text, pos, 4, value.year) || pos >= text.size() || text[pos++] != '-' ||
        !readDigits(text, pos, 2, value.month) || pos >= text.size() || text[pos++] != '-' ||
        !readDigits(text, pos, 2, value.day)) {
      return false;
    }
    if (value.month < 1 || value.month > 12 || value.day < 1 ||
        value.day > daysInMonth(value.year, value.month)) {
      return false;
    }
    if (pos < text.size()) {
      if (text[pos] != ' ' && text[pos] != 'T') {
        return false;
      }
      ++pos;
      if (!parseTime(text, pos, value)) {
        return false;
      }
    }
  }
  if (pos != text.size()) {
    return false;
  }
  out = value;
  return true;
}

// Every key comparison of a datetime formats one, so this stays clear of
// printf.
std::string formatDatetime(const Datetime& value) {
  if (value.year < 0 || value.year > 9999) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", value.year, value.month,
             value.day, value.hour, value.minute, value.second, value.millisecond);
    return buffer;
  }
  char text[] = "yyyy-mm-dd hh:mi:ss.fff";
  auto put = [&text](size_t at, int number, int width) {
    for (int digit = width - 1; digit >= 0; --digit, number /= 10) {
      text[at + static_cast<size_t>(digit)] = static_cast<char>('0' + number % 10);
    }
  };
  put(0, value.year, 4);
  put(5, value.month, 2);
  put(8, value.day, 2);
  put(11, value.hour, 2);
  put(14, value.minute, 2);
  put(17, value.second, 2);
  put(20, value.millisecond, 3);
  return std::string(text, sizeof text - 1);
}

bool formatDatetimeStyle(const Datetime& v, int style, std::string& out) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buffer[64];
  switch (style) {
    case 0:
    case 100: {
      int hour12 = v.hour % 12 == 0 ? 12 : v.hour % 12;
      snprintf(buffer, sizeof buffer, "%s %2d %04d %2d:%02d%s", kMonths[v.month - 1], v.day, v.year,
               hour12, v.minute, v.hour < 12 ? "AM" : "PM");
      break;
    }
    case 23:
      snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", v.year, v.month, v.day);
      break;
    case 103:
      snprintf(buffer, sizeof buffer, "%02d/%02d/%04d", v.day, v.month, v.year);
      break;
    case 104:
      snprintf(buffer, sizeof buffer, "%02d.%02d.%04d", v.day, v.month, v.year);
      break;
    case 108:
      snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", v.hour, v.minute, v.second);
      break;
    case 112:
      snprintf(buffer, sizeof buffer, "%04d%02d%02d", v.year, v.month, v.day);
      break;
    case 114:
      snprintf(buffer, sizeof buffer, "%02d:%02d:%02d:%03d", v.hour, v.minute, v.second,
               v.millisecond);
      break;
    case 20:
    case 120:
      // The marking compares every candidate row in this style.
      out = formatDatetime(v).substr(0, 19);
      return true;
    case 21:
    case 121:
      snprintf(buffer, sizeof buffer, "%s", formatDatetime(v).c_str());
      break;
    case 126:
      snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", v.year, v.month, v.day,
               v.hour, v.minute, v.second, v.millisecond);
      break;
    default:
      return false;
  }
  out = buffer;
  return true;
}

bool addToDatetime(const Datetime& value, std::string_view unit, int64_t amount, Datetime& out) {
  auto is = [&](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (unit.size() == std::strlen(name) && strncasecmp(unit.data(), name, unit.size()) == 0) {
        return true;
      }
    }
    return false;
  };
  int64_t months = 0;
  int64_t milliseconds = 0;
  if (is({"year", "yy", "yyyy"})) {
    months = amount * 12;
  } else if (is({"quarter", "qq", "q"})) {
    months = amount * 3;
  } else if (is({"month", "mm", "m"})) {
    months = amount;
  } else if (is({"day", "dd", "d", "dayofyear", "dy", "y", "weekday", "dw", "w"})) {
    milliseconds = amount * 86400000;
  } else if (is({"week", "wk", "ww"})) {
    milliseconds = amount * 7 * 86400000;
  } else if (is({"hour", "hh"})) {
    milliseconds = amount * 3600000;
  } else if (is({"minute", "mi", "n"})) {
    milliseconds = amount * 60000;
  } else if (is({"second", "ss", "s"})) {
    milliseconds = amount * 1000;
  } else if (is({"millisecond", "ms"})) {
    milliseconds = amount;
  } else {
    return false;
  }
  Datetime result = value;
  if (months != 0) {
    int64_t monthIndex = value.year * 12LL + (value.month - 1) + months;
    result.year = static_cast<int>(monthIndex / 12);
    result.month = static_cast<int>(monthIndex % 12) + 1;
    result.day = std::min(value.day, daysInMonth(result.year, result.month));
  }
  out = fromMilliseconds(toMilliseconds(result) + milliseconds);
  return true;
}

Datetime roundToDatetimePrecision(const Datetime& value) {
  // Thousandths ending in 0-1 go down to 0, 2-4 to 3, 5-8 to 7, 9 up to the next 0.
  static const int kStep[] = {0, -1, 1, 0, -1, 2, 1, 0, -1, 1};
  return fromMilliseconds(toMilliseconds(value) + kStep[value.millisecond % 10]);
}

Datetime localNow() {
  auto now = std::chrono::system_clock::now();
  auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  time_t seconds = static_cast<time_t>(milliseconds / 1000);
  struct tm local;
  localtime_r(&seconds, &local);
  Datetime value;
  value.year = local.tm_year + 1900;
  value.month = local.tm_mon + 1;
  value.day = local.tm_mday;
  value.hour = local.tm_hour;
  value.minute = local.tm_min;
  value.second = local.tm_sec;
  value.millisecond = static_cast<int>(milliseconds % 1000);
  return value;
}

std::string collationKey(std::string_view text) {
  Datetime datetime;
  if (parseDatetime(text, datetime)) {
    return formatDatetime(datetime);
  }
  while (!text.empty() && text.back() == ' ') {
    text.remove_suffix(1);
  }
  std::string key(text);
  for (char& c : key) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 'a' && byte <= 'z') {
      byte -= 0x20;
    } else if (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7) {
      byte -= 0x20;  // Windows-1252 accented small letters
    } else if (byte == 0x9A || byte == 0x9C || byte == 0x9E) {
      byte -= 0x10;  // š œ ž
    } else if (byte == 0xFF) {
      byte = 0x9F;  // ÿ
    }
    c = static_cast<char>(byte);
  }
  return key;
}

int registerStandinFunctions(sqlite3* db, const std::string* currentTimestamp) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  int status = sqlite3_create_function(db, "standin_convert", 4, flags, nullptr, convertFunction,
                                       nullptr, nullptr);
  if (status == SQLITE_OK) {
    status = sqlite3_create_function(db, "standin_dateadd", 3, flags, nullptr, dateaddFunction,
                                     nullptr, nullptr);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_create_function(db, "standin_plus", 2, flags, nullptr, plusFunction, nullptr,
                                     nullptr);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_create_function(db, "char", 1, flags, nullptr, charFunction, nullptr, nullptr);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_create_function(db, "standin_now", 0, SQLITE_UTF8,
                                     const_cast<std::string*>(currentTimestamp), nowFunction,
                                     nullptr, nullptr);
  }
  if (status == SQLITE_OK) {
    status = sqlite3_create_collation(db, kStandinCollation, SQLITE_UTF8, nullptr, compareCollated);
  }
  return status;
}
