#include "db/BookingRow.h"

#include <cstring>

BookingRow currentBookingRow{};

namespace {

// Copies as much of the source as fits, always terminated, and reads no byte
// beyond either array.
template <std::size_t N, std::size_t M>
void copyField(char (&target)[N], const char (&source)[M]) {
  std::size_t length = strnlen(source, M);
  if (length > N - 1) {
    length = N - 1;
  }
  std::memcpy(target, source, length);
  target[length] = '\0';
}

}  // namespace

FetchColumn fetchColumn(BookingFetchBuffers& buffers, int columnNumber) {
  switch (columnNumber) {
    case 1:
      return {buffers.BewTID, sizeof buffers.BewTID};
    case 2:
      return {buffers.BewLID, sizeof buffers.BewLID};
    case 3:
      return {buffers.BewIDN, sizeof buffers.BewIDN};
    case 4:
      return {buffers.BewSto, sizeof buffers.BewSto};
    case 5:
      return {buffers.BewDtm, sizeof buffers.BewDtm};
    case 6:
      return {buffers.BewUhr, sizeof buffers.BewUhr};
    case 7:
      return {buffers.BewLfn, sizeof buffers.BewLfn};
    case 8:
      return {buffers.BewArt, sizeof buffers.BewArt};
    case 9:
      return {buffers.BewTas, sizeof buffers.BewTas};
    case 10:
      return {buffers.BewEra, sizeof buffers.BewEra};
    case 11:
      return {buffers.BewKze, sizeof buffers.BewKze};
    case 12:
      return {buffers.BewBer, sizeof buffers.BewBer};
    case 13:
      return {buffers.BewErq, sizeof buffers.BewErq};
    case 14:
      return {buffers.BewKst, sizeof buffers.BewKst};
    case 15:
      return {buffers.BewQua, sizeof buffers.BewQua};
    case 16:
      return {buffers.BewSrc, sizeof buffers.BewSrc};
    case 17:
      return {buffers.BewRes, sizeof buffers.BewRes};
    default:
      return {nullptr, 0};
  }
}

// A NULL column is never reported to us; it simply leaves its buffer as it
// was, so every buffer must be empty before each fetch.
void clearFetchBuffers(BookingFetchBuffers& buffers) {
  std::memset(&buffers, 0, sizeof buffers);
}

void rightTrim(char* text) {
  if (text == nullptr) {
    return;
  }
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) {
    --length;
  }
  text[length] = '\0';
}

// yyyy-mm-dd hh:mi:ss loses its separators. Only the 19 characters of the
// style are looked at, and a shorter text gives whatever of it is there.
void compactTimestamp(const char* style120, char* out) {
  struct Piece {
    std::size_t offset;
    std::size_t length;
  };
  static constexpr Piece kPieces[] = {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}};
  std::size_t written = 0;
  if (style120 != nullptr) {
    std::size_t available = strnlen(style120, 19);
    for (const Piece& piece : kPieces) {
      for (std::size_t i = piece.offset; i < piece.offset + piece.length && i < available; ++i) {
        out[written++] = style120[i];
      }
    }
  }
  out[written] = '\0';
}

// The driver terminates what it delivers, but a driver that fills a buffer to
// the brim must still not lead a reader past its end.
void fillFromFetch(BookingFetchBuffers& buffers, BookingRow& row) {
  for (int column = 1; column <= kBookingColumnCount; ++column) {
    FetchColumn received = fetchColumn(buffers, column);
    received.data[received.capacity - 1] = '\0';
  }
  BookingRow fetched{};
  copyField(fetched.fetchedKey.BewIDN, buffers.BewIDN);
  copyField(fetched.fetchedKey.BewSto, buffers.BewSto);
  copyField(fetched.fetchedKey.BewLfn, buffers.BewLfn);
  char* plainColumns[] = {buffers.BewTID, buffers.BewLID, buffers.BewIDN, buffers.BewSto,
                          buffers.BewLfn, buffers.BewArt, buffers.BewTas, buffers.BewEra,
                          buffers.BewKze, buffers.BewBer, buffers.BewErq, buffers.BewKst,
                          buffers.BewQua, buffers.BewSrc, buffers.BewRes};
  for (char* text : plainColumns) {
    rightTrim(text);
  }

  // Built aside and stored in one go, so that nothing of the previous row
  // survives in the current one.
  copyField(fetched.BewTID, buffers.BewTID);
  copyField(fetched.BewLID, buffers.BewLID);
  copyField(fetched.BewIDN, buffers.BewIDN);
  copyField(fetched.BewSto, buffers.BewSto);
  copyField(fetched.BewLfn, buffers.BewLfn);
  copyField(fetched.BewArt, buffers.BewArt);
  copyField(fetched.BewTas, buffers.BewTas);
  copyField(fetched.BewEra, buffers.BewEra);
  copyField(fetched.BewKze, buffers.BewKze);
  copyField(fetched.BewBer, buffers.BewBer);
  copyField(fetched.BewErq, buffers.BewErq);
  copyField(fetched.BewKst, buffers.BewKst);
  copyField(fetched.BewQua, buffers.BewQua);
  copyField(fetched.BewSrc, buffers.BewSrc);
  copyField(fetched.BewRes, buffers.BewRes);
  static_assert(sizeof fetched.BewDtmCompact >= 15 && sizeof fetched.BewUhrCompact >= 15);
  compactTimestamp(buffers.BewDtm, fetched.BewDtmCompact);
  compactTimestamp(buffers.BewUhr, fetched.BewUhrCompact);
  row = fetched;
}
