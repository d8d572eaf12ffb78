#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The server time of a pass as its "Übergabe vom" run-log entry shows it,
// dd.mm.yyyy hh:mi:ss: the time the archive of sent lines files a pass's
// lines under, and that an operator copies from the run log to send them
// again. The server's clock has no zone: a pass time is a date and a time
// of the day, compared as such, never as text.
namespace PassTime {

// A date of the Gregorian calendar and a time of the day.
struct CivilTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Reads text of exactly the form dd.mm.yyyy hh:mi:ss (years 0001 to 9999,
// dates that exist). Returns 0 with time set, or -1.
int parse(std::string_view text, CivilTime& time);

// The form parse reads.
std::string format(const CivilTime& time);

// Days from 1970-01-01 to the date (negative before it).
int64_t daysFromCivil(int year, int month, int day);

// Seconds from 1970-01-01 00:00:00 to the time, on a clock without zone:
// what pass times are compared by.
int64_t secondsOf(const CivilTime& time);

// The Unix seconds of the time, read as a time of the local clock (its zone
// and its daylight saving time).
int64_t localUnixSeconds(const CivilTime& time);

// The time of the local clock at Unix seconds.
CivilTime localTimeAt(int64_t unixSeconds);

}  // namespace PassTime
