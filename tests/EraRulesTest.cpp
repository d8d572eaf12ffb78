#include "files/ExportFile.h"
#include "run/BookingLines.h"
#include "run/EraRules.h"
#include "run/ExportReport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

template <std::size_t N>
void set(char (&field)[N], const std::string& value) {
  ASSERT_LT(value.size(), N);
  std::memcpy(field, value.c_str(), value.size() + 1);
}

// The booking of the worked example, fetched the way the cursor fetches it.
BookingRow exampleRow() {
  BookingFetchBuffers buffers;
  clearFetchBuffers(buffers);
  std::strcpy(buffers.BewTID, "T1");
  std::strcpy(buffers.BewLID, "01");
  std::strcpy(buffers.BewIDN, "000123");
  std::strcpy(buffers.BewSto, "10");
  std::strcpy(buffers.BewDtm, "2015-06-01 00:00:00");
  std::strcpy(buffers.BewUhr, "1899-12-30 07:45:00");
  std::strcpy(buffers.BewLfn, "1");
  std::strcpy(buffers.BewTas, "12");
  std::strcpy(buffers.BewEra, "201");
  std::strcpy(buffers.BewSrc, "dta");
  BookingRow row;
  fillFromFetch(buffers, row);
  return row;
}

std::vector<std::string> splitCommas(const std::string& line) {
  std::vector<std::string> parts;
  std::stringstream in(line);
  for (std::string part; std::getline(in, part, ',');) {
    parts.push_back(part);
  }
  return parts;
}

struct Outcome {
  int returned = -99;
  int32_t count = -99;
  std::string era;  // BewEra after the call
  bool transferExists = false;
  std::string transfer;
  bool logExists = false;
  std::string log;
  std::string console;
};

constexpr int32_t kCountBefore = 41;

// Takes a row through the era mapping as a pass does, in a child whose
// working directory is <tmp>/a/b, so that
// the run log's fixed relative path leads to <tmp>/Vantoreum_php/log, and
// captures what the child prints. transferPath is taken relative to <tmp>
// unless it starts with "/".
Outcome runProcessRow(BookingRow row, int consoleEcho,
                      const std::string& transferPath = "BEWDATA.dat") {
  test::TempDir dir;
  test::makeDirs(dir.file("a/b"));
  test::makeDirs(dir.file("Vantoreum_php/log"));
  std::string transfer = transferPath[0] == '/' ? transferPath : dir.file(transferPath);
  std::string logPath = dir.file("Vantoreum_php/log/Palvexa#Log.txt");
  int pipeEnds[2];
  Outcome outcome;
  if (pipe(pipeEnds) != 0) {
    ADD_FAILURE() << "pipe";
    return outcome;
  }
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    if (chdir(dir.file("a/b").c_str()) != 0) {
      _exit(3);
    }
    ExportReport::start(consoleEcho != 0);
    int returned = 0;
    EraRules::EraDecision decision = EraRules::decide(row);
    if (decision.exported) {
      BookingLines::ExportedForms forms = BookingLines::formsOf(row, decision.era);
      returned = ExportFile::appendLine(transfer, forms.transferLine);
      if (returned == 0) {
        ExportReport::reportExported(forms);
      }
    }
    std::fflush(stdout);
    int64_t count = kCountBefore + ExportReport::tally().exported;
    std::string result =
        std::to_string(returned) + "\n" + std::to_string(count) + "\n" + decision.era + "\n";
    test::writeFile(dir.file("result"), result);
    _exit(0);
  }
  close(pipeEnds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    outcome.console.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeEnds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  std::stringstream result(test::readFile(dir.file("result")));
  result >> outcome.returned >> outcome.count;
  result.ignore(1);
  std::getline(result, outcome.era);
  if (transfer != transferPath) {  // a device given by absolute path is not read back
    outcome.transferExists = test::fileExists(transfer);
    outcome.transfer = test::readFile(transfer);
  }
  outcome.logExists = test::fileExists(logPath);
  outcome.log = test::readFile(logPath);
  return outcome;
}

TEST(EraRulesTest, WorkedExampleByteForByte) {
  for (int echo : {1, 0}) {
    SCOPED_TRACE(echo);
    Outcome outcome = runProcessRow(exampleRow(), echo);
    EXPECT_EQ(outcome.returned, 0);
    EXPECT_EQ(outcome.count, kCountBefore + 1);
    EXPECT_EQ(outcome.transfer, "000123,10,20150601,074500,1,T1,01,,,,,,204,,12,dta,\n");
    EXPECT_EQ(outcome.log, "000123,20150601,074500,T1,01,, 1, dta\r\n");
    EXPECT_EQ(outcome.console, echo ? "ID: 000123, Buchung vom 20150601 074500  uebergeben\n" : "");
  }
}

TEST(EraRulesTest, RewriteByCaseInsensitiveSourceThenFilter) {
  struct Case {
    const char* source;
    const char* era;
    const char* kze;
    const char* ber;
    const char* eraAfter;
    bool exported;
  };
  const Case cases[] = {
      {"DTA", "200", "", "", "204", true},  {"dta", "201", "", "", "204", true},
      {"DTA", "202", "", "", "204", true},  {"DTA", "203", "", "", "204", true},
      {"Dta", "206", "", "", "204", true},  {"DTA", "207", "", "", "204", true},
      {"DTA", "208", "", "", "204", true},  {"DTA", "210", "", "", "204", true},
      {"DTA", "430", "", "", "426", true},  {"DTA", "431", "", "", "426", true},
      {"DTA", "500", "", "", "426", true},  {"dtA", "501", "", "", "426", true},
      {"DTA", "204", "", "", "204", true},  {"DTA", "100", "", "", "100", true},
      {"DTA", "426", "", "", "426", true},  {"DTA", "300", "", "", "300", false},
      {"DTA", "205", "", "", "205", false}, {"DTA", "209", "", "", "209", false},
      {"DTA", "", "", "", "", false},       {"DTA", "04", "", "", "04", false},
      {"DTA", "0", "", "", "0", true},      {"DTA", "1", "", "", "1", true},
      {"DTA", "2", "", "", "2", false},     {"DTA", "3", "", "", "3", false},
      {"DTA", "4", "", "", "4", true},      {"DTA", "5", "", "", "5", true},
      {"DTA", "6", "", "", "6", true},      {"DTA", "7", "", "", "7", true},
      {"DTA", "8", "", "", "8", true},      {"DTA", "9", "", "", "9", true},
      {"62P", "7", "", "", "7", true},      {"62p", "", "", "", "", false},
      {"62P", "201", "", "", "201", false}, {"62P", "426", "", "", "426", true},
      {"40P", "300", "X", "", "100", true}, {"40p", "2", "X", "7", "100", true},
      {"40P", "300", "", "1", "100", true}, {"40P", "300", "", "", "204", true},
      {"40P", "1", "", "2", "204", true},   {"50P", "300", "", "", "100", true},
      {"50p", "", "", "", "100", true},     {"", "2", "", "", "204", true},
      {"XYZ", "300", "", "", "204", true},  {"\xE4", "501", "", "", "204", true},
      {"DT", "201", "", "", "204", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("source '") + c.source + "' era '" + c.era + "' kze '" + c.kze +
                 "' ber '" + c.ber + "'");
    BookingRow row = exampleRow();
    set(row.BewSrc, c.source);
    set(row.BewEra, c.era);
    set(row.BewKze, c.kze);
    set(row.BewBer, c.ber);
    Outcome outcome = runProcessRow(row, 1);
    EXPECT_EQ(outcome.returned, 0);
    EXPECT_EQ(outcome.era, c.eraAfter);
    if (c.exported) {
      EXPECT_EQ(outcome.count, kCountBefore + 1);
      std::vector<std::string> fields = splitCommas(outcome.transfer);
      ASSERT_EQ(fields.size(), 17u) << outcome.transfer;
      EXPECT_EQ(fields[12], c.eraAfter);
      EXPECT_EQ(fields[15], c.source);
      EXPECT_EQ(outcome.transfer.back(), '\n');
      EXPECT_EQ(outcome.log, std::string("000123,20150601,074500,T1,01,, 1, ") + c.source + "\r\n");
      EXPECT_EQ(outcome.console, "ID: 000123, Buchung vom 20150601 074500  uebergeben\n");
    } else {
      EXPECT_EQ(outcome.count, kCountBefore);
      EXPECT_FALSE(outcome.transferExists);
      EXPECT_FALSE(outcome.logExists);
      EXPECT_EQ(outcome.console, "");
    }
  }
}

// The caller marks a handled row transferred; a line that never reached the
// file must therefore leave no trace of an export.
TEST(EraRulesTest, FailedAppendIsNeitherCountedNorLoggedNorEchoed) {
  for (const char* path : {"missing/BEWDATA.dat", "/dev/full"}) {
    SCOPED_TRACE(path);
    Outcome outcome = runProcessRow(exampleRow(), 1, path);
    EXPECT_EQ(outcome.returned, -1);
    EXPECT_FALSE(outcome.transferExists);
    EXPECT_EQ(outcome.count, kCountBefore);
    EXPECT_FALSE(outcome.logExists);
    EXPECT_EQ(outcome.console, "");
  }
}

TEST(EraRulesTest, LinesKeepFieldsWholeAndUnquoted) {
  BookingRow row = exampleRow();
  set(row.BewTID, std::string(255, 't'));
  set(row.BewKst, "a,\"b\"");
  set(row.BewRes, " r ");
  EXPECT_EQ(
      BookingLines::transferLine(row, row.BewEra),
      "000123,10,20150601,074500,1," + std::string(255, 't') + ",01,,a,\"b\",,,,201,,12,dta, r \n");
  EXPECT_EQ(BookingLines::logEntry(row),
            "000123,20150601,074500," + std::string(255, 't') + ",01,, 1, dta");

  BookingRow empty{};
  EXPECT_EQ(BookingLines::transferLine(empty, empty.BewEra), std::string(16, ',') + "\n");
  EXPECT_EQ(BookingLines::logEntry(empty), ",,,,,, , ");
  EXPECT_EQ(BookingLines::consoleLine(empty), "ID: , Buchung vom    uebergeben\n");
}

TEST(EraRulesTest, ExportDateAndTimeFromShortCompactForms) {
  const struct {
    const char* dtmCompact;
    const char* uhrCompact;
    const char* date;
    const char* time;
  } cases[] = {
      {"20150601000000", "18991230074500", "20150601", "074500"},
      {"", "", "", ""},
      {"2015", "18991230", "2015", ""},
      {"201506011", "1899123007", "20150601", "07"},
  };
  for (const auto& c : cases) {
    BookingRow row{};
    set(row.BewDtmCompact, c.dtmCompact);
    set(row.BewUhrCompact, c.uhrCompact);
    EXPECT_EQ(BookingLines::exportDate(row), c.date) << c.dtmCompact;
    EXPECT_EQ(BookingLines::exportTime(row), c.time) << c.uhrCompact;
  }
  BookingRow unterminated{};
  std::memset(unterminated.BewDtmCompact, '9', sizeof unterminated.BewDtmCompact);
  std::memset(unterminated.BewUhrCompact, '8', sizeof unterminated.BewUhrCompact);
  EXPECT_EQ(BookingLines::exportDate(unterminated), "99999999");
  EXPECT_EQ(BookingLines::exportTime(unterminated), "888888");
}

}  // namespace
