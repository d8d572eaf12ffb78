#pragma once

#include <cstddef>
#include <string>

// The key columns as the server holds them, before trimming: the marking
// must find the booking by these, a trailing tab included.
struct BookingKey {
  char BewIDN[51];
  char BewSto[9];
  char BewLfn[4];
};

// The five values the marking UPDATE compares a booking by, as it sends
// them: the key columns as fetched and the two timestamps in style 120
// (yyyy-mm-dd hh:mi:ss). An empty value stands for empty or NULL.
struct MarkingKey {
  std::string BewIDN;
  std::string BewSto;
  std::string BewDtm;
  std::string BewUhr;
  std::string BewLfn;
  auto operator<=>(const MarkingKey&) const = default;
};

// The one booking the transfer pass is working on. Every field is a
// NUL-terminated Windows-1252 text; its capacity is the receiving buffer's
// size, so a value holds at most capacity - 1 characters.
struct BookingRow {
  char BewTID[256];
  char BewLID[6];
  char BewIDN[51];
  char BewSto[9];
  char BewLfn[4];
  char BewArt[4];
  char BewTas[3];
  char BewEra[4];
  char BewKze[2];
  char BewBer[2];
  char BewErq[11];
  char BewKst[31];
  char BewQua[6];
  char BewSrc[4];
  char BewRes[31];
  char BewDtmCompact[20];  // yyyymmddhhmiss
  char BewUhrCompact[20];  // yyyymmddhhmiss
  BookingKey fetchedKey;
};

// The 17 buffers the cursor binds, in the column order of the booking SELECT.
// BewDtm and BewUhr arrive in style 120 (yyyy-mm-dd hh:mi:ss).
struct BookingFetchBuffers {
  char BewTID[256];
  char BewLID[6];
  char BewIDN[51];
  char BewSto[9];
  char BewDtm[20];
  char BewUhr[20];
  char BewLfn[4];
  char BewArt[4];
  char BewTas[3];
  char BewEra[4];
  char BewKze[2];
  char BewBer[2];
  char BewErq[11];
  char BewKst[31];
  char BewQua[6];
  char BewSrc[4];
  char BewRes[31];
};

inline constexpr int kBookingColumnCount = 17;

struct FetchColumn {
  char* data;
  std::size_t capacity;
};

// The receiving buffer and capacity of column number 1 to 17 (as bound).
FetchColumn fetchColumn(BookingFetchBuffers& buffers, int columnNumber);

// Empties all 17 receiving buffers, as before every fetch.
void clearFetchBuffers(BookingFetchBuffers& buffers);

// Removes trailing blanks and tabs in place.
void rightTrim(char* text);

// Reduces a style-120 timestamp to yyyymmddhhmiss in out (capacity 20);
// an empty input gives an empty result.
void compactTimestamp(const char* style120, char* out);

// Right-trims the 15 plain columns and derives the two compact timestamps,
// then stores the result as row, with the untrimmed key columns beside it.
void fillFromFetch(BookingFetchBuffers& buffers, BookingRow& row);

// The process-wide current row.
extern BookingRow currentBookingRow;
