#include "files/PassTime.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace PassTime {

namespace {

std::chrono::year_month_day dateOf(int year, int month, int day) {
  return std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
         std::chrono::day{static_cast<unsigned>(day)};
}

// The digits at position, count of them, as a number; -1 when any is not a
// digit.
int digitsAt(std::string_view text, size_t position, size_t count) {
  int value = 0;
  for (size_t i = position; i < position + count; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return -1;
    }
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

// The separators stand where the run log's entry has them: "01.06.2015
// 08:00:00", 19 characters.
int parse(std::string_view text, CivilTime& time) {
  static const char kShape[] = "dd.mm.yyyy hh:mi:ss";
  if (text.size() != sizeof kShape - 1) {
    return -1;
  }
  for (size_t i : {2u, 5u, 10u, 13u, 16u}) {
    if (text[i] != kShape[i]) {
      return -1;
    }
  }
  CivilTime read;
  read.day = digitsAt(text, 0, 2);
  read.month = digitsAt(text, 3, 2);
  read.year = digitsAt(text, 6, 4);
  read.hour = digitsAt(text, 11, 2);
  read.minute = digitsAt(text, 14, 2);
  read.second = digitsAt(text, 17, 2);
  if (read.year < 1 || read.month < 0 || read.day < 0 ||
      !dateOf(read.year, read.month, read.day).ok() || read.hour < 0 || read.hour > 23 ||
      read.minute < 0 || read.minute > 59 || read.second < 0 || read.second > 59) {
    return -1;
  }
  time = read;
  return 0;
}

std::string format(const CivilTime& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", time.day, time.month, time.year,
                time.hour, time.minute, time.second);
  return text;
}

int64_t daysFromCivil(int year, int month, int day) {
  return std::chrono::sys_days{dateOf(year, month, day)}.time_since_epoch().count();
}

int64_t secondsOf(const CivilTime& time) {
  return daysFromCivil(time.year, time.month, time.day) * 86400 + time.hour * 3600 +
         time.minute * 60 + time.second;
}

// mktime decides daylight saving time itself (tm_isdst -1); an hour that
// the clock skips or repeats gets one of its readings.
int64_t localUnixSeconds(const CivilTime& time) {
  std::tm local{};
  local.tm_year = time.year - 1900;
  local.tm_mon = time.month - 1;
  local.tm_mday = time.day;
  local.tm_hour = time.hour;
  local.tm_min = time.minute;
  local.tm_sec = time.second;
  local.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&local));
}

CivilTime localTimeAt(int64_t unixSeconds) {
  std::time_t at = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (const std::tm* converted = std::localtime(&at)) {
    local = *converted;
  }
  return CivilTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

}  // namespace PassTime
