#include "run/BookingLines.h"

#include <cstring>
#include <initializer_list>

#include "files/ExportFile.h"

namespace BookingLines {

namespace {

// A row field as text, never read past its array even when unterminated.
template <std::size_t N>
std::string_view field(const char (&text)[N]) {
  return std::string_view(text, strnlen(text, N));
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

std::string transferLine(const BookingRow& row, std::string_view era) {
  std::string date = exportDate(row);
  std::string time = exportTime(row);
  return joinFields({field(row.BewIDN), field(row.BewSto), date, time, field(row.BewLfn),
                     field(row.BewTID), field(row.BewLID), field(row.BewArt), field(row.BewKst),
                     field(row.BewQua), field(row.BewKze), field(row.BewBer),
                     era.substr(0, sizeof row.BewEra - 1), field(row.BewErq), field(row.BewTas),
                     field(row.BewSrc), field(row.BewRes)},
                    ",") +
         "\n";
}

std::string logEntry(const BookingRow& row) {
  std::string date = exportDate(row);
  std::string time = exportTime(row);
  return joinFields({field(row.BewIDN), date, time, field(row.BewTID), field(row.BewLID),
                     field(row.BewArt)},
                    ",") +
         ", " + std::string(field(row.BewLfn)) + ", " + std::string(field(row.BewSrc));
}

std::string consoleLine(const BookingRow& row) {
  return "ID: " + std::string(field(row.BewIDN)) + ", Buchung vom " + exportDate(row) + " " +
         exportTime(row) + "  uebergeben\n";
}

ExportedForms formsOf(const BookingRow& row, std::string_view era) {
  return {transferLine(row, era), logEntry(row), consoleLine(row)};
}

}  // namespace BookingLines
