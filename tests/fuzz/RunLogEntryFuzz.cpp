// The run log's stored form of an entry and its line end after what the log
// ended with, over any text and any last byte.
//
// Input: a first byte saying whether the log ends in the second byte (odd)
// or is empty (even), then the entry's text.

#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "files/RunLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view logEnd;
  if (!input.empty() && (data[0] & 1) != 0 && input.size() >= 2) {
    logEnd = input.substr(1, 1);
    input.remove_prefix(2);
  } else if (!input.empty()) {
    input.remove_prefix(1);
  }
  std::string stored = RunLog::storedEntry(input, logEnd);

  bool unfinished = !logEnd.empty() && logEnd.back() != '\n';
  std::string_view entry(stored);
  fuzz::require(entry.substr(0, 2) == "\r\n" || !unfinished,
                "an entry after an unfinished line starts with CR LF");
  if (unfinished) {
    entry.remove_prefix(2);
  }
  fuzz::require(entry.size() >= 2 && entry.substr(entry.size() - 2) == "\r\n",
                "an entry ends with CR LF");
  // Every line feed stored comes with a carriage return before it, and
  // taking one away before each gives back the text and its line end.
  std::string original;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '\n') {
      fuzz::require(!original.empty() && original.back() == '\r',
                    "every line feed is stored as CR LF");
      original.back() = '\n';
    } else {
      original += entry[i];
    }
  }
  fuzz::require(
      original.size() == input.size() + 1 && original.compare(0, input.size(), input) == 0,
      "an entry is its text and a line end, and nothing else");
  return 0;
}
