#include "run/EraMapping.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "files/ExportFile.h"
#include "files/RunLog.h"
#include "run/TextCase.h"

namespace EraMapping {

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

void setEra(BookingRow& row, const char (&code)[4]) {
  static_assert(sizeof row.BewEra >= sizeof code);
  std::memcpy(row.BewEra, code, sizeof code);
}

std::string joinFields(std::initializer_list<std::string_view> fields, std::string_view separator) {
  std::string joined;
  bool first = true;
  for (std::string_view text : fields) {
    if (!first) {
      joined += separator;
    }
    joined += text;
    first = false;
  }
  return joined;
}

}  // namespace

// "204" is not among the DTA codes that are rewritten, so a DTA row that
// already carries it keeps it.
void rewriteEra(BookingRow& row) {
  std::string sourceKey = upperAscii(field(row.BewSrc));
  std::string_view era = field(row.BewEra);
  if (sourceKey == "DTA") {
    if (isOneOf(era, {"200", "201", "202", "203", "206", "207", "208", "210"})) {
      setEra(row, "204");
    } else if (isOneOf(era, {"430", "431", "500", "501"})) {
      setEra(row, "426");
    }
  } else if (sourceKey == "40P") {
    if (!field(row.BewKze).empty() || field(row.BewBer) == "1") {
      setEra(row, "100");
    } else {
      setEra(row, "204");
    }
  } else if (sourceKey == "50P") {
    setEra(row, "100");
  } else if (sourceKey != "62P") {
    setEra(row, "204");
  }
}

// Whole values only: "04" is not "4", and "2" and "3" stay out.
bool isAccepted(std::string_view era) {
  return isOneOf(era, {"100", "204", "426", "4", "5", "6", "7", "8", "9", "0", "1"});
}

std::string exportDate(const BookingRow& row) {
  return std::string(field(row.BewDtmCompact).substr(0, 8));
}

std::string exportTime(const BookingRow& row) {
  std::string_view compact = field(row.BewUhrCompact);
  if (compact.size() <= 8) {
    return std::string();
  }
  return std::string(compact.substr(8, 6));
}

// The transfer file's repair of a torn end relies on no line being longer.
static_assert(sizeof BookingRow::BewIDN + sizeof BookingRow::BewSto + 8 + 6 +
                  sizeof BookingRow::BewLfn + sizeof BookingRow::BewTID +
                  sizeof BookingRow::BewLID + sizeof BookingRow::BewArt +
                  sizeof BookingRow::BewKst + sizeof BookingRow::BewQua +
                  sizeof BookingRow::BewKze + sizeof BookingRow::BewBer +
                  sizeof BookingRow::BewEra + sizeof BookingRow::BewErq +
                  sizeof BookingRow::BewTas + sizeof BookingRow::BewSrc +
                  sizeof BookingRow::BewRes - 15 + 16 + 1 ==
              ExportFile::kLongestLineBytes);

std::string formatTransferLine(const BookingRow& row) {
  std::string date = exportDate(row);
  std::string time = exportTime(row);
  return joinFields({field(row.BewIDN), field(row.BewSto), date, time, field(row.BewLfn),
                     field(row.BewTID), field(row.BewLID), field(row.BewArt), field(row.BewKst),
                     field(row.BewQua), field(row.BewKze), field(row.BewBer), field(row.BewEra),
                     field(row.BewErq), field(row.BewTas), field(row.BewSrc), field(row.BewRes)},
                    ",") +
         "\n";
}

std::string formatLogEntry(const BookingRow& row) {
  std::string date = exportDate(row);
  std::string time = exportTime(row);
  return joinFields({field(row.BewIDN), date, time, field(row.BewTID), field(row.BewLID),
                     field(row.BewArt)},
                    ",") +
         ", " + std::string(field(row.BewLfn)) + ", " + std::string(field(row.BewSrc));
}

std::string formatConsoleLine(const BookingRow& row) {
  return "ID: " + std::string(field(row.BewIDN)) + ", Buchung vom " + exportDate(row) + " " +
         exportTime(row) + "  uebergeben\n";
}

bool acceptRow(BookingRow& row) {
  rewriteEra(row);
  return isAccepted(field(row.BewEra));
}

void reportExported(const BookingRow& row, int consoleEcho, int32_t& exportCount) {
  ++exportCount;
  RunLog::appendEntry(formatLogEntry(row));
  if (consoleEcho) {
    std::string line = formatConsoleLine(row);
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
}

}  // namespace EraMapping
