#pragma once

#include <cstdint>
#include <string>

#include "db/BookingRow.h"

namespace EraMapping {

// Rewrites row.BewEra by the row's source and, when the result passes the
// export filter, appends the transfer line, counts it, writes its run-log
// entry and (with consoleEcho) its console line.
//
// Returns 0 when the row was handled: exported, or not accepted by the
// filter. Returns -1 when an accepted row's line did not reach the transfer
// file; then nothing is counted, logged or printed for it, and the caller
// must not mark the row transferred.
int processRow(BookingRow& row, const std::string& transferPath, int consoleEcho,
               int32_t& exportCount);

}  // namespace EraMapping
