#pragma once

#include <string>
#include <string_view>

#include "db/BookingRow.h"

// The text forms of an exported booking: its line in the transfer file, its
// run-log entry and its console line. Each shows the row as fetched, with
// the era code its rules decided.
namespace BookingLines {

struct ExportedForms {
  std::string transferLine;  // 17 fields, ended by a single "\n"
  std::string logEntry;      // RunLog adds the line end
  std::string consoleLine;   // ended by "\n"
};

ExportedForms formsOf(const BookingRow& row, std::string_view era);

// Each form on its own.
std::string transferLine(const BookingRow& row, std::string_view era);
std::string logEntry(const BookingRow& row);
std::string consoleLine(const BookingRow& row);

// yyyymmdd from BewDtmCompact and hhmiss from BewUhrCompact; empty, or as
// much as there is, when the compact forms are empty or short.
std::string exportDate(const BookingRow& row);
std::string exportTime(const BookingRow& row);

}  // namespace BookingLines
