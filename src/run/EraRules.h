#pragma once

#include <string>
#include <string_view>

#include "db/BookingRow.h"

// The rules of a booking's era code: by its source, the code it is written
// with, and whether that code goes into the transfer file. A decision on a
// row as fetched; nothing here writes anything.
namespace EraRules {

struct EraDecision {
  std::string era;  // BewEra after the rewrite
  bool exported = false;
};

// The code the row's source (compared upper-cased) calls for and whether it
// passes the export filter. Deciding on a row that already carries the
// decided code gives the same decision.
EraDecision decide(const BookingRow& row);

// The steps, each on its own.

// The code for a source, from the row's code, BewKze and BewBer.
std::string rewrittenEra(std::string_view source, std::string_view era, std::string_view kze,
                         std::string_view ber);

// True when a (rewritten) era code goes into the transfer file.
bool isAccepted(std::string_view era);

}  // namespace EraRules
