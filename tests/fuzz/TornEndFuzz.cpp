// The transfer file's torn-end decision, over any last bytes and size, and
// over the last bytes of a file as the repair reads them.
//
// Input: 8 bytes of size, then the bytes; an input shorter than that is the
// bytes alone, with size 0.

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "FuzzSupport.h"
#include "files/ExportFile.h"

namespace {

using ExportFile::TornEnd;
constexpr size_t kLongestLine = ExportFile::kLongestLineBytes;

// What holds whatever the tail and size are.
void checkDecision(std::string_view tail, off_t size, const TornEnd& judged) {
  size_t lastLineFeed = tail.rfind('\n');
  bool hasLineFeed = lastLineFeed != std::string_view::npos;
  fuzz::require((judged.kind == TornEnd::kWhole) == (tail.empty() || tail.back() == '\n'),
                "an end is whole exactly when it is empty or a line feed");
  if (judged.kind == TornEnd::kCutFragment) {
    fuzz::require(judged.keptTailBytes == (hasLineFeed ? lastLineFeed + 1 : 0),
                  "a cut keeps everything up to the last line feed and nothing after it");
  }
  if (judged.kind == TornEnd::kCloseForeignText) {
    fuzz::require(!hasLineFeed, "a close happens only where the tail holds no line feed");
    fuzz::require(size >= static_cast<off_t>(kLongestLine),
                  "a close happens only in a file of at least the longest line");
  }
  if (!hasLineFeed && !tail.empty() && size < static_cast<off_t>(kLongestLine)) {
    fuzz::require(judged.kind == TornEnd::kCutFragment,
                  "text without a line feed in a file shorter than a line is a fragment");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t given = 0;
  size_t skipped = 0;
  if (size >= sizeof given) {
    std::memcpy(&given, data, sizeof given);
    skipped = sizeof given;
  }
  std::string_view bytes(reinterpret_cast<const char*>(data) + skipped, size - skipped);

  off_t anySize = static_cast<off_t>(given);
  checkDecision(bytes, anySize, ExportFile::judgeTornEnd(bytes, anySize));

  // A file whose last bytes are these: as much of it as the repair reads,
  // and before that, when the bytes fill the window, any number of bytes.
  off_t before = 0;
  if (bytes.size() >= kLongestLine && given > 0) {
    before = static_cast<off_t>(given % (std::numeric_limits<off_t>::max() / 2));
  }
  off_t fileSize = before + static_cast<off_t>(bytes.size());
  size_t window = std::min(bytes.size(), kLongestLine);
  std::string_view tail = bytes.substr(bytes.size() - window);
  TornEnd judged = ExportFile::judgeTornEnd(tail, fileSize);
  checkDecision(tail, fileSize, judged);
  if (judged.kind == TornEnd::kCutFragment) {
    fuzz::require(window - judged.keptTailBytes < kLongestLine,
                  "a cut removes less than the longest line");
    fuzz::require(judged.keptTailBytes > 0 || fileSize == static_cast<off_t>(window),
                  "a cut to the tail's start leaves an empty file, never a torn one");
  }
  if (judged.kind == TornEnd::kCloseForeignText) {
    fuzz::require(window == kLongestLine,
                  "a close happens only where the longest line's reach holds no line feed");
  }
  return 0;
}
