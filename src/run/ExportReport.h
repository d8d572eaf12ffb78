#pragma once

#include <cstdint>

#include "run/BookingLines.h"

// What a pass says of the bookings it reads, once each booking's fate is
// known: the figures it counts (the run log's total and the metrics), the
// run-log entry and console line of an exported booking, and the console
// echo of a failed marking. Every output stays booking by booking.
namespace ExportReport {

// What a pass did with bookings; markings of bookings the journal held
// count with the others.
struct Tally {
  int64_t read = 0;
  int64_t exported = 0;  // lines in the transfer file: the run log's total
  int64_t filtered = 0;
  int64_t marked = 0;
  int64_t failedMarkings = 0;  // failed, or changed no row
  int64_t appendedBytes = 0;
};

// Starts the figures of a pass; consoleEcho: the pass echoes to the console.
void start(bool consoleEcho);
bool consoleEcho();
const Tally& tally();

void countRead(int64_t bookings);
void countFiltered();
void countMarking(bool marked);

// An exported booking whose line is durable in the transfer file: its count
// and bytes, its run-log entry and, with the echo, its console line.
void reportExported(const BookingLines::ExportedForms& forms);

// With the echo, the console line of a marking that failed with status.
void echoFailedMarking(int32_t status);

}  // namespace ExportReport
