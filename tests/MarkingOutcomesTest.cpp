#include "run/MarkingOutcomes.h"

#include <gtest/gtest.h>

#include <string>

#include "run/ExportReport.h"

namespace {

using MarkingOutcomes::Keeper;
using TransferMarking::MarkingOutcome;
using TransferMarking::MarkingResult;

// One outcome applied, as the row loop and recovery apply them: what is
// counted, echoed, said and let go. A booking the console never showed
// must not get an echo; only a marked booking the journal holds is retired.
TEST(MarkingOutcomesTest, ApplyCountsEchoesReportsAndRetires) {
  const struct {
    const char* name;
    MarkingResult result;
    int32_t status;
    SQLLEN rows;
    Keeper keeper;
    uint64_t sequence;
    bool retire;
    const char* echo;
    const char* said;  // part of standard error, empty when nothing is said
  } cases[] = {
      {"marked, held by the journal", MarkingResult::kMarked, 0, 1, Keeper::kJournal, 5, true, "",
       ""},
      {"marked, no journal", MarkingResult::kMarked, 0, 1, Keeper::kNextPassExports, 0, false, "",
       ""},
      {"twins marked", MarkingResult::kMarked, 0, 2, Keeper::kJournal, 5, true, "",
       "changed 2 rows"},
      {"no row", MarkingResult::kNoRow, 100, 0, Keeper::kNextPassExports, 0, false,
       "\nFehler 'SQL_MarkTranfer: 100\n", "failed with 100 (no row changed); the next pass"},
      {"refused, journal keeps it", MarkingResult::kFailed, 1205, -1, Keeper::kJournal, 5, false,
       "\nFehler 'SQL_MarkTranfer: 1205\n", "failed with 1205 (deadlock); the journal keeps it"},
      {"refused again, from an earlier pass", MarkingResult::kFailed, 547, -1,
       Keeper::kJournalAgain, 5, false, "", "failed again with 547 (refused); its line is in"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExportReport::start(true);
    MarkingOutcome outcome;
    outcome.result = c.result;
    outcome.status = c.status;
    outcome.rowsChanged = c.rows;
    outcome.cause = c.status == 1205 ? "deadlock" : "refused";
    // Appended: g++ 12 sees a false overlap in "K" + std::string&& at -O2.
    MarkingKey key{std::string("K").append(c.name), "10", "2015-06-01 00:00:00", "", "1"};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool retire = MarkingOutcomes::apply({key, c.sequence, c.keeper}, outcome);
    std::fflush(stdout);
    std::string echoed = testing::internal::GetCapturedStdout();
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(retire, c.retire);
    EXPECT_EQ(echoed, c.echo);
    if (c.said[0] == '\0') {
      EXPECT_EQ(said, "");
    } else {
      EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
    bool marked = c.result == MarkingResult::kMarked;
    EXPECT_EQ(ExportReport::tally().marked, marked ? 1 : 0);
    EXPECT_EQ(ExportReport::tally().failedMarkings, marked ? 0 : 1);
  }
}

}  // namespace
