#include "run/ExportReport.h"

#include <cstdio>

#include "files/RunLog.h"

namespace ExportReport {

namespace {

Tally passTally;
bool echo = false;

}  // namespace

void start(bool consoleEcho) {
  passTally = Tally();
  echo = consoleEcho;
}

bool consoleEcho() {
  return echo;
}

const Tally& tally() {
  return passTally;
}

void countRead(int64_t bookings) {
  passTally.read += bookings;
}

void countFiltered() {
  ++passTally.filtered;
}

void countMarking(bool marked) {
  ++(marked ? passTally.marked : passTally.failedMarkings);
}

void reportExported(const BookingLines::ExportedForms& forms) {
  ++passTally.exported;
  passTally.appendedBytes += static_cast<int64_t>(forms.transferLine.size());
  RunLog::appendEntry(forms.logEntry);
  if (echo) {
    std::fwrite(forms.consoleLine.data(), 1, forms.consoleLine.size(), stdout);
  }
}

void echoFailedMarking(int32_t status) {
  if (echo) {
    std::printf("\nFehler 'SQL_MarkTranfer: %d\n", status);
  }
}

}  // namespace ExportReport
