#include "run/EraRules.h"

#include <cstring>
#include <initializer_list>

#include "run/TextCase.h"

namespace EraRules {

namespace {

// A row field as text, never read past its array even when unterminated.
template <std::size_t N>
std::string_view field(const char (&text)[N]) {
  return std::string_view(text, strnlen(text, N));
}

bool isOneOf(std::string_view value, std::initializer_list<std::string_view> codes) {
  for (std::string_view code : codes) {
    if (value == code) {
      return true;
    }
  }
  return false;
}

}  // namespace

// "204" is not among the DTA codes that are rewritten, so a DTA row that
// already carries it keeps it.
std::string rewrittenEra(std::string_view source, std::string_view era, std::string_view kze,
                         std::string_view ber) {
  std::string sourceKey = upperAscii(source);
  if (sourceKey == "DTA") {
    if (isOneOf(era, {"200", "201", "202", "203", "206", "207", "208", "210"})) {
      return "204";
    }
    if (isOneOf(era, {"430", "431", "500", "501"})) {
      return "426";
    }
    return std::string(era);
  }
  if (sourceKey == "40P") {
    return !kze.empty() || ber == "1" ? "100" : "204";
  }
  if (sourceKey == "50P") {
    return "100";
  }
  return sourceKey == "62P" ? std::string(era) : "204";
}

// Whole values only: "04" is not "4", and "2" and "3" stay out.
bool isAccepted(std::string_view era) {
  return isOneOf(era, {"100", "204", "426", "4", "5", "6", "7", "8", "9", "0", "1"});
}

EraDecision decide(const BookingRow& row) {
  EraDecision decision;
  decision.era =
      rewrittenEra(field(row.BewSrc), field(row.BewEra), field(row.BewKze), field(row.BewBer));
  decision.exported = isAccepted(decision.era);
  return decision;
}

}  // namespace EraRules
