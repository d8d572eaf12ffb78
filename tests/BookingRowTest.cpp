#include "db/BookingRow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// Puts a value into a column as the driver would: cut to capacity - 1.
void deliver(BookingFetchBuffers& buffers, int column, const std::string& value) {
  FetchColumn target = fetchColumn(buffers, column);
  std::string cut = value.substr(0, target.capacity - 1);
  std::memcpy(target.data, cut.c_str(), cut.size() + 1);
}

TEST(BookingRowTest, ColumnsAreBoundInSelectOrderWithTheirCapacities) {
  BookingFetchBuffers buffers;
  const struct {
    char* data;
    std::size_t capacity;
  } expected[] = {
      {buffers.BewTID, 256}, {buffers.BewLID, 6},  {buffers.BewIDN, 51}, {buffers.BewSto, 9},
      {buffers.BewDtm, 20},  {buffers.BewUhr, 20}, {buffers.BewLfn, 4},  {buffers.BewArt, 4},
      {buffers.BewTas, 3},   {buffers.BewEra, 4},  {buffers.BewKze, 2},  {buffers.BewBer, 2},
      {buffers.BewErq, 11},  {buffers.BewKst, 31}, {buffers.BewQua, 6},  {buffers.BewSrc, 4},
      {buffers.BewRes, 31},
  };
  ASSERT_EQ(std::size(expected), static_cast<std::size_t>(kBookingColumnCount));
  for (int column = 1; column <= kBookingColumnCount; ++column) {
    SCOPED_TRACE(column);
    FetchColumn bound = fetchColumn(buffers, column);
    EXPECT_EQ(bound.data, expected[column - 1].data);
    EXPECT_EQ(bound.capacity, expected[column - 1].capacity);
  }
  EXPECT_EQ(fetchColumn(buffers, 0).data, nullptr);
  EXPECT_EQ(fetchColumn(buffers, 18).data, nullptr);
}

TEST(BookingRowTest, ClearingEmptiesEveryColumn) {
  BookingFetchBuffers buffers;
  std::memset(&buffers, 'x', sizeof buffers);
  clearFetchBuffers(buffers);
  for (int column = 1; column <= kBookingColumnCount; ++column) {
    EXPECT_STREQ(fetchColumn(buffers, column).data, "") << column;
  }
}

TEST(BookingRowTest, RightTrimRemovesOnlyTrailingBlanksAndTabs) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"000123   ", "000123"}, {"\t", ""},       {" \t \t", ""},    {"", ""},
      {"  a b \t ", "  a b"},  {"a\tb", "a\tb"}, {"x\n", "x\n"},    {"x\r ", "x\r"},
      {"  lead", "  lead"},    {"a", "a"},       {"\xA0 ", "\xA0"},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    rightTrim(text.data());
    EXPECT_STREQ(text.c_str(), c.out) << '"' << c.in << '"';
  }
}

// Each input sits in a buffer of exactly its own size, so that reading past
// its end is caught by the address sanitizer.
TEST(BookingRowTest, CompactTimestampTakesWhatIsThere) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"2015-06-01 00:00:00", "20150601000000"},
      {"1899-12-30 07:45:00", "18991230074500"},
      {"", ""},
      {"2015-06-01", "20150601"},
      {"2015-06-01 07:4", "20150601074"},
      {"20", "20"},
      {"2015-06-01 00:00:00.123", "20150601000000"},
  };
  for (const auto& c : cases) {
    std::size_t size = std::strlen(c.in) + 1;
    auto input = std::make_unique<char[]>(size);
    std::memcpy(input.get(), c.in, size);
    char out[20];
    std::memset(out, 'z', sizeof out);
    compactTimestamp(input.get(), out);
    EXPECT_STREQ(out, c.out) << c.in;
  }
}

TEST(BookingRowTest, FillTrimsDerivesAndReplacesTheWholeRow) {
  BookingRow row;
  std::memset(&row, '#', sizeof row);  // leftovers of an earlier row
  BookingFetchBuffers buffers;
  clearFetchBuffers(buffers);
  deliver(buffers, 1, std::string(300, 'T'));
  deliver(buffers, 2, "  01 ");
  deliver(buffers, 3, "000123      ");
  deliver(buffers, 5, "2015-06-01 00:00:00");
  deliver(buffers, 7, "\t");
  deliver(buffers, 14, "a,b\t \t");
  deliver(buffers, 16, "dta");
  // Column 6 (BewUhr) and the rest stay NULL.
  fillFromFetch(buffers, row);

  EXPECT_EQ(std::string(row.BewTID), std::string(255, 'T'));
  EXPECT_STREQ(row.BewLID, "  01");
  EXPECT_STREQ(row.BewIDN, "000123");
  EXPECT_STREQ(row.BewLfn, "");
  EXPECT_STREQ(row.BewKst, "a,b");
  EXPECT_STREQ(row.BewSrc, "dta");
  EXPECT_STREQ(row.BewDtmCompact, "20150601000000");
  EXPECT_STREQ(row.BewUhrCompact, "");
  for (const char* empty : {row.BewSto, row.BewArt, row.BewTas, row.BewEra, row.BewKze, row.BewBer,
                            row.BewErq, row.BewQua, row.BewRes}) {
    EXPECT_STREQ(empty, "");
  }
}

// A driver that fills a buffer without its terminator must not lead the row
// past the buffer's end.
TEST(BookingRowTest, FillStaysInsideUnterminatedBuffers) {
  BookingFetchBuffers buffers;
  std::memset(&buffers, '7', sizeof buffers);
  BookingRow row;
  fillFromFetch(buffers, row);
  EXPECT_EQ(std::string(row.BewTID), std::string(255, '7'));
  EXPECT_STREQ(row.BewKze, "7");
  EXPECT_STREQ(row.BewRes, std::string(30, '7').c_str());
  EXPECT_STREQ(row.BewUhrCompact, "77777777777777");
}

}  // namespace
