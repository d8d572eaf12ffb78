#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/BookingRow.h"

namespace EraMapping {

// Rewrites row.BewEra by the row's source and tells whether the result
// passes the export filter: then the row's line goes into the transfer file.
// Applied twice, it gives the same code.
bool acceptRow(BookingRow& row);

// What an exported row leaves besides its line, once the line is in the
// transfer file: the count, its run-log entry and (with consoleEcho) its
// console line.
void reportExported(const BookingRow& row, int consoleEcho, int32_t& exportCount);

// The steps, each on its own.

// Gives row.BewEra the code that the row's source (compared upper-cased)
// calls for; every other field stays as fetched.
void rewriteEra(BookingRow& row);

// True when a (rewritten) era code goes into the transfer file.
bool isAccepted(std::string_view era);

// yyyymmdd from BewDtmCompact and hhmiss from BewUhrCompact; empty, or as
// much as there is, when the compact forms are empty or short.
std::string exportDate(const BookingRow& row);
std::string exportTime(const BookingRow& row);

// The 17-field transfer line, ended by a single "\n".
std::string formatTransferLine(const BookingRow& row);

// The run-log entry of an exported row (RunLog adds the line end).
std::string formatLogEntry(const BookingRow& row);

// The console line of an exported row, ended by "\n".
std::string formatConsoleLine(const BookingRow& row);

}  // namespace EraMapping
