#include "settings/SettingsFile.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "settings/ValueCipher.h"

namespace {

std::string hex(const std::string& clear) {
  return ValueCipher::encryptValue(clear);
}

// A record as the companion tool writes it, LF line ends.
std::string record(int number, const std::string& key, const std::string& clear) {
  return ";DB;\n" + std::to_string(number) + ";" + key + ";" + hex(clear) + "\n";
}

const std::string kThreeRecords =
    record(1, "LOGIN", "sa") + record(2, "PASS", "Geheim!") + record(3, "DATABASE", "ZEITDB");

struct Lookup {
  const char* what;
  std::string content;
  std::string section;
  std::string key;
  int32_t number;
  std::string expected;
};

void runLookups(const std::vector<Lookup>& lookups) {
  for (const Lookup& l : lookups) {
    SCOPED_TRACE(l.what);
    test::TempDir dir;
    std::string path = dir.file("Vantoreum.ini");
    test::writeFile(path, l.content);
    EXPECT_EQ(SettingsFile::lookupSetting(path, l.section, l.key, l.number), l.expected);
  }
}

TEST(SettingsFileTest, AnswersTheRunsThreeLookups) {
  std::string crlf = test::crlf(kThreeRecords);
  runLookups({
      {"LF login", kThreeRecords, "", "LOGIN", 0, "sa"},
      {"LF password", kThreeRecords, "", "PASS", 0, "Geheim!"},
      {"LF data source", kThreeRecords, "", "DATABASE", 0, "ZEITDB"},
      {"CR LF login", crlf, "", "LOGIN", 0, "sa"},
      {"CR LF password", crlf, "", "PASS", 0, "Geheim!"},
      {"CR LF data source", crlf, "", "DATABASE", 0, "ZEITDB"},
      {"missing key", kThreeRecords, "", "USER", 0, ""},
      {"keys are case-sensitive", kThreeRecords, "", "login", 0, ""},
      {"one record, other key", record(1, "LOGIN", "sa"), "", "PASS", 0, ""},
      {"empty file", "", "", "LOGIN", 0, ""},
  });
}

TEST(SettingsFileTest, AnyOfSectionKeyOrNumberMatches) {
  runLookups({
      {"by section", kThreeRecords, "DB", "NONE", 7, "sa"},
      {"by number", kThreeRecords, "", "NONE", 3, "ZEITDB"},
      {"0; answers every lookup",
       record(1, "LOGIN", "sa") + record(0, "PASS", "first") + record(0, "DATABASE", "second"), "",
       "DATABASE", 0, "first"},
      {"0; after the wanted record", record(1, "LOGIN", "sa") + record(0, "PASS", "first"), "",
       "LOGIN", 0, "sa"},
      {"header x;;y is not an empty section",
       "x;;y\n1;LOGIN;" + hex("sa") + "\n" + record(2, "PASS", "pw"), "", "PASS", 0, "pw"},
      {"header x;;y has section ;y plus newline", "x;;y\n1;LOGIN;" + hex("sa") + "\n", ";y\n",
       "NONE", 7, "sa"},
      {"header without ; has an empty section", "header\n1;LOGIN;" + hex("sa") + "\n", "",
       "DATABASE", 7, "sa"},
      {"header with one ; has an empty section", "head;er\n1;LOGIN;" + hex("sa") + "\n", "",
       "DATABASE", 7, "sa"},
      {"first matching record wins", record(1, "PASS", "one") + record(2, "PASS", "two"), "",
       "PASS", 0, "one"},
  });
}

TEST(SettingsFileTest, NumberIsParsedLikeAtoiAndWraps) {
  auto line = [](const std::string& numberText) {
    return ";DB;\n" + numberText + ";K;" + hex("hit") + "\n";
  };
  runLookups({
      {"blanks and plus", line(" \t+42"), "", "NONE", 42, "hit"},
      {"minus", line("-7"), "", "NONE", -7, "hit"},
      {"stops at a non-digit", line("12ab"), "", "NONE", 12, "hit"},
      {"no digits is 0", line("abc"), "", "NONE", 0, "hit"},
      {"wraps modulo 2^32", line("4294967297"), "", "NONE", 1, "hit"},
      {"wraps to negative", line("2147483648"), "", "NONE", INT32_MIN, "hit"},
      {"eleven characters fit", line("00000000042"), "", "NONE", 42, "hit"},
      {"twelve characters never match", line("000000000042"), "", "K", 42, ""},
      {"line B without ; has no number", ";DB;\nno separator\n" + record(5, "LOGIN", "sa"), "",
       "LOGIN", 0, "sa"},
      // A line B starting with ";" takes its whole line as number text.
      {"short line B starting with ; is number 0", ";DB;\n;K;\n" + record(5, "X", "later"), "", "X",
       0, ""},
      {"longer line B starting with ; never matches",
       ";DB;\n;K;" + hex("hit") + "\n" + record(5, "X", "later"), "", "X", 0, "later"},
  });
}

TEST(SettingsFileTest, FieldsFollowTheSeparatorRules) {
  runLookups({
      {"one ; : value after it", ";DB;\n5;" + hex("sa") + "\n", "", "NONE", 5, "sa"},
      {"empty key takes the rest of the line", ";DB;\n1;;" + hex("sa") + "\n", "",
       ";" + hex("sa") + "\n", 7, "sa"},
      {"empty value reads as newline, decrypts empty",
       ";DB;\n1;LOGIN;\n" + record(2, "LOGIN", "sa"), "", "LOGIN", 0, ""},
      {"200-character key fits", ";DB;\n1;" + std::string(200, 'K') + ";" + hex("sa") + "\n", "",
       std::string(200, 'K'), 0, "sa"},
      {"201-character key never matches",
       ";DB;\n1;" + std::string(201, 'K') + ";" + hex("sa") + "\n", "", std::string(201, 'K'), 1,
       ""},
      {"value of 192 digits fits", record(1, "LOGIN", std::string(96, 'v')), "", "LOGIN", 0,
       std::string(96, 'v')},
      {"value of 208 digits never matches",
       record(1, "LOGIN", std::string(97, 'v')) + record(2, "LOGIN", "sa"), "", "LOGIN", 0, "sa"},
      {"lone CR stays in the key", ";DB;\n1;LOGIN\r;" + hex("sa") + "\r\n", "", "LOGIN", 0, ""},
  });
}

TEST(SettingsFileTest, ReadsLinesAsTextModeWithFixedCapacities) {
  std::string login = "1;LOGIN;" + hex("sa") + "\n";
  auto longRecordLine = [](size_t extraDigits) {
    return ";DB;\n1;" + std::string(200, 'K') + ";" + hex("sa") + std::string(extraDigits, '0') +
           "\n";
  };
  runLookups({
      {"Ctrl-Z ends the file", record(1, "LOGIN", "sa") + "\x1A" + record(2, "PASS", "pw"), "",
       "PASS", 0, ""},
      {"Ctrl-Z before the records", "\x1A" + kThreeRecords, "", "LOGIN", 0, ""},
      {"odd line count: last line ignored", record(1, "LOGIN", "sa") + ";DB;\n", "", "PASS", 0, ""},
      {"odd line count: earlier records still found", record(1, "LOGIN", "sa") + ";DB;\n", "",
       "LOGIN", 0, "sa"},
      {"final line without newline keeps its value", ";DB;\n1;LOGIN;" + hex("sa"), "", "LOGIN", 0,
       "sa"},
      {"same after CR LF lines",
       test::crlf(record(1, "PASS", "pw")) + ";DB;\r\n1;LOGIN;" + hex("sa"), "", "LOGIN", 0, "sa"},
      // A header of 199 characters fills its buffer: the rest of that line
      // is read as line B.
      {"long header splits into the record line", std::string(199, '#') + login, "", "LOGIN", 0,
       "sa"},
      {"header of 198 characters does not split", std::string(198, '#') + "\n" + login, "", "LOGIN",
       0, "sa"},
      // A record line beyond 399 characters: its first piece has no
      // newline, so its value is empty, and the pairing shifts.
      {"long record line loses its value",
       ";DB;\n1;LOGIN;" + hex("sa") + std::string(400, ' ') + "\n" + record(2, "LOGIN", "x"), "",
       "LOGIN", 0, ""},
      // Digits after the first block do not change "sa": its block ends in
      // zero bytes, which end the clear text.
      {"record line of 399 characters stays whole", longRecordLine(179), "", std::string(200, 'K'),
       0, "sa"},
      {"record line of 400 characters is split", longRecordLine(180), "", std::string(200, 'K'), 0,
       ""},
  });
}

// A lookup reads the first 64 KiB and no further, whatever follows.
TEST(SettingsFileTest, ReadsNoFurtherThanTheLimit) {
  const size_t limit = SettingsFile::kMaxReadBytes;
  ASSERT_EQ(limit, 64u * 1024);
  // Two-line records that no lookup of LOGIN matches, 10 bytes each; the
  // first header line takes up the bytes that do not fill a record.
  auto padding = [](size_t bytes) {
    std::string text = ";P;" + std::string(bytes % 10, '#') + "\n9;XY;\n";
    while (text.size() < bytes) {
      text += ";P;\n9;XY;\n";
    }
    return text;
  };
  std::string login = record(1, "LOGIN", "sa");
  runLookups({
      {"record ending at the limit", padding(limit - login.size()) + login, "", "LOGIN", 0, "sa"},
      {"record crossing the limit", padding(limit - 3) + login, "", "LOGIN", 0, ""},
      {"record beyond the limit", padding(limit) + login, "", "LOGIN", 0, ""},
  });
}

// Only a regular file that opens for reading can serve; the reason names
// what stands in the way.
TEST(SettingsFileTest, CheckSettingsFileNamesTheReason) {
  test::TempDir dir;
  test::writeFile(dir.file("Vantoreum.ini"), kThreeRecords);
  test::makeDirs(dir.file("directory.ini"));
  struct Case {
    std::string path;
    int status;
    std::string reason;
  };
  const Case cases[] = {
      {dir.file("Vantoreum.ini"), 0, ""},
      {dir.file("absent.ini"), -1, "No such file or directory"},
      {dir.file("Vantoreum.ini/x"), -1, "Not a directory"},
      {dir.file("directory.ini"), -1, "not a regular file"},
      {"/dev/null", -1, "not a regular file"},
      {"/dev/zero", -1, "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string reason = "unchanged";
    EXPECT_EQ(SettingsFile::checkSettingsFile(c.path, reason), c.status);
    EXPECT_EQ(reason, c.status == 0 ? "unchanged" : c.reason);
    if (c.status != 0) {
      EXPECT_EQ(SettingsFile::lookupSetting(c.path, "", "LOGIN", 0), "");
    }
  }
  EXPECT_EQ(SettingsFile::lookupSetting(dir.file("Vantoreum.ini"), "", "LOGIN", 0), "sa");
}

TEST(SettingsFileTest, MissingFileAnswersEmpty) {
  test::TempDir dir;
  EXPECT_EQ(SettingsFile::lookupSetting(dir.file("absent.ini"), "", "LOGIN", 0), "");
  EXPECT_EQ(SettingsFile::lookupSetting(dir.path(), "", "LOGIN", 0), "");
}

}  // namespace
