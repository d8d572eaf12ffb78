#include "db/TransferMarking.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

BookingRow rowWith(const char* idn, const char* sto, const char* dtm, const char* uhr,
                   const char* lfn) {
  BookingRow row = {};
  std::strcpy(row.BewIDN, idn);
  std::strcpy(row.BewSto, sto);
  std::strcpy(row.BewDtmCompact, dtm);
  std::strcpy(row.BewUhrCompact, uhr);
  std::strcpy(row.BewLfn, lfn);
  std::strcpy(row.fetchedKey.BewIDN, idn);
  std::strcpy(row.fetchedKey.BewSto, sto);
  std::strcpy(row.fetchedKey.BewLfn, lfn);
  return row;
}

const char kPrefix[] =
    "UPDATE  KVLSYSTEM.Kvl321Bew    SET  BewUkz = 4,         BewUdt = CURRENT_TIMESTAMP WHERE  ";

TEST(TransferMarkingTest, MarkingStatementTexts) {
  struct Case {
    BookingRow row;
    std::string where;
  };
  const Case cases[] = {
      {rowWith("000123", "10", "20150601000000", "18991230074500", "1"),
       "BewIDN = '000123'    AND  BewSto = '10'    AND  convert(char(19), BewDtm, 120) = "
       "'2015-06-01 00:00:00'    AND  convert(char(19), BewUhr, 120) = '1899-12-30 07:45:00'    "
       "AND  BewLfn = '1'"},
      // Empty values may be NULL in the table; "=" alone would never match them.
      {rowWith("", "", "", "", ""),
       "(BewIDN = ' ' OR BewIDN IS NULL)    AND  (BewSto = '' OR BewSto IS NULL)    AND  "
       "BewDtm IS NULL    AND  BewUhr IS NULL    AND  (BewLfn = '' OR BewLfn IS NULL)"},
      // A quote must not end its literal.
      {rowWith("x' OR '1'='1", "O'", "20150601000000", "18991230074500", "'"),
       "BewIDN = 'x'' OR ''1''=''1'    AND  BewSto = 'O'''    AND  convert(char(19), BewDtm, "
       "120) = '2015-06-01 00:00:00'    AND  convert(char(19), BewUhr, 120) = "
       "'1899-12-30 07:45:00'    AND  BewLfn = ''''"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    EXPECT_EQ(TransferMarking::markingStatement(c.row), kPrefix + c.where);
  }
}

// The line shows the trimmed key; the marking looks for what the server
// holds, or a key ending in a tab would never be marked.
TEST(TransferMarkingTest, MarkingComparesTheKeyAsFetched) {
  BookingRow row = rowWith("A1", "10", "20150601000000", "18991230074500", "1");
  std::strcpy(row.fetchedKey.BewIDN, "A1\t");
  std::strcpy(row.fetchedKey.BewSto, "10  ");
  std::strcpy(row.fetchedKey.BewLfn, "1\t ");
  EXPECT_EQ(TransferMarking::markingStatement(row),
            std::string(kPrefix) +
                "BewIDN = 'A1\t'    AND  BewSto = '10  '    AND  convert(char(19), BewDtm, 120) = "
                "'2015-06-01 00:00:00'    AND  convert(char(19), BewUhr, 120) = "
                "'1899-12-30 07:45:00'    AND  BewLfn = '1\t '");
}

}  // namespace
