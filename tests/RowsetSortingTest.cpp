#include "run/RowsetSorting.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/TransferMarking.h"

namespace {

BookingRow rowOf(const char* idn, const char* source, const char* era) {
  BookingFetchBuffers buffers;
  clearFetchBuffers(buffers);
  std::strcpy(buffers.BewIDN, idn);
  std::strcpy(buffers.BewSto, "10");
  std::strcpy(buffers.BewDtm, "2015-06-01 00:00:00");
  std::strcpy(buffers.BewUhr, "1899-12-30 07:45:00");
  std::strcpy(buffers.BewLfn, "1");
  std::strcpy(buffers.BewSrc, source);
  std::strcpy(buffers.BewEra, era);
  BookingRow row;
  fillFromFetch(buffers, row);
  return row;
}

// The pass and the preview sort alike; what they then write comes from
// here: the line of the decided code, and nothing of a held booking.
TEST(RowsetSortingTest, EachBookingGetsItsRoleAndItsLinesOnce) {
  using RowsetSorting::Role;
  const struct {
    const char* idn;
    const char* source;
    const char* era;
    bool held;
    Role role;
    const char* line;  // the transfer line, empty when none
  } cases[] = {
      {"A1", "DTA", "201", false, Role::kExported, "A1,10,20150601,074500,1,,,,,,,,204,,,DTA,\n"},
      {"A2", "DTA", "300", false, Role::kFiltered, ""},
      {"A3", "DTA", "201", true, Role::kHeld, ""},
      {"A4", "62P", "", true, Role::kHeld, ""},
      {"A5", "50P", "2", false, Role::kExported, "A5,10,20150601,074500,1,,,,,,,,100,,,50P,\n"},
  };
  std::vector<BookingRow> rows;
  for (const auto& c : cases) {
    rows.push_back(rowOf(c.idn, c.source, c.era));
  }
  auto heldSequence = [&](const MarkingKey& key) -> uint64_t {
    for (size_t i = 0; i < std::size(cases); ++i) {
      if (cases[i].held && key.BewIDN == cases[i].idn) {
        return 70 + i;
      }
    }
    return 0;
  };
  std::vector<RowsetSorting::SortedBooking> sorted = RowsetSorting::sortRowset(rows, heldSequence);
  ASSERT_EQ(sorted.size(), std::size(cases));
  for (size_t i = 0; i < sorted.size(); ++i) {
    SCOPED_TRACE(cases[i].idn);
    EXPECT_EQ(sorted[i].role, cases[i].role);
    EXPECT_EQ(sorted[i].forms.transferLine, cases[i].line);
    EXPECT_EQ(sorted[i].journalSequence, cases[i].held ? 70 + i : 0);
    EXPECT_EQ(sorted[i].key, TransferMarking::markingKeyOf(rows[i]));
    EXPECT_EQ(sorted[i].forms.consoleLine.empty(), cases[i].role != Role::kExported);
  }
}

}  // namespace
