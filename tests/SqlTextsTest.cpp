// The SQL texts the tool sends, byte for byte. The expected texts are
// written out (here and in StandinSupport.h), not built from the tool's
// constants, so that a blank lost or added in the tool shows. A booking row without quotes or empty
// fields is marked with the plain text.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "StandinSupport.h"
#include "db/BookingCursor.h"
#include "db/BookingRow.h"
#include "db/MaintenanceStatements.h"
#include "db/TransferMarking.h"

namespace {

const char kMarkingFormat[] =
    "UPDATE  KVLSYSTEM.Kvl321Bew    SET  BewUkz = 4,         BewUdt = CURRENT_TIMESTAMP WHERE  "
    "BewIDN = '%s'    AND  BewSto = '%s'    AND  convert(char(19), BewDtm, 120) = '%s'    AND  "
    "convert(char(19), BewUhr, 120) = '%s'    AND  BewLfn = '%s'";

// A booking as the cursor delivers it: the fetched texts through the same
// fill that a fetch uses.
BookingRow fetchedRow(const char* idn, const char* sto, const char* dtm, const char* uhr,
                      const char* lfn) {
  BookingFetchBuffers buffers;
  clearFetchBuffers(buffers);
  std::strcpy(buffers.BewIDN, idn);
  std::strcpy(buffers.BewSto, sto);
  std::strcpy(buffers.BewDtm, dtm);
  std::strcpy(buffers.BewUhr, uhr);
  std::strcpy(buffers.BewLfn, lfn);
  std::strcpy(buffers.BewTID, "T1");
  BookingRow row;
  fillFromFetch(buffers, row);
  return row;
}

std::string markingText(const char* idn, const char* sto, const char* dtm, const char* uhr,
                        const char* lfn) {
  char text[1024];
  std::snprintf(text, sizeof text, kMarkingFormat, idn, sto, dtm, uhr, lfn);
  return text;
}

TEST(SqlTextsTest, StatementsAreSentAsWritten) {
  struct Case {
    const char* what;
    std::string sent;
    std::string expected;
  };
  const Case cases[] = {
      {"booking select", BookingCursor::selectText(), test::kBookingSelectText},
      {"server time", MaintenanceStatements::kServerTimeText, test::kServerTimeText},
      {"purge", MaintenanceStatements::kPurgeText, test::kPurgeText},
      {"marking of the worked example",
       TransferMarking::markingStatement(
           fetchedRow("000123", "10", "2015-06-01 00:00:00", "1899-12-30 07:45:00", "1")),
       markingText("000123", "10", "2015-06-01 00:00:00", "1899-12-30 07:45:00", "1")},
      {"marking of full-width keys",
       TransferMarking::markingStatement(fetchedRow("AB-4711/X", "12345678", "2031-12-31 23:59:58",
                                                    "1899-12-30 00:00:01", "999")),
       markingText("AB-4711/X", "12345678", "2031-12-31 23:59:58", "1899-12-30 00:00:01", "999")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.sent, c.expected);
  }
}

}  // namespace
