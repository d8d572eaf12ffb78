// The journal of written bookings as its reader meets it after a crash or a
// damaged disk: any bytes. A record it accepts is one that was written
// whole, and its line counts as in place only where the transfer file holds
// exactly that line at that offset.
//
// Input: 4 bytes giving the length of the transfer file's content, that
// content, then the journal's bytes.

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "files/BookingJournal.h"

namespace {

using BookingJournal::WrittenBooking;

bool sameBooking(const WrittenBooking& a, const WrittenBooking& b) {
  return a.sequence == b.sequence && a.installation == b.installation && a.key == b.key &&
         a.transferPath == b.transferPath && a.device == b.device && a.inode == b.inode &&
         a.offset == b.offset && a.recordedAt == b.recordedAt && a.line == b.line &&
         a.passTime == b.passTime;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::MemoryFile transferFile("BEWDATA.dat");
  uint32_t fileBytes = 0;
  if (size >= sizeof fileBytes) {
    std::memcpy(&fileBytes, data, sizeof fileBytes);
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  input.remove_prefix(std::min(input.size(), sizeof fileBytes));
  std::string_view content = input.substr(0, std::min<size_t>(fileBytes, input.size()));
  std::string_view journal = input.substr(content.size());
  transferFile.replace(content);

  BookingJournal::Contents read = BookingJournal::parse(journal);
  fuzz::require(read.validEnd <= journal.size(), "the valid part lies within the journal");
  fuzz::require(read.skippedBytes <= read.validEnd, "only bytes before the valid end are skipped");

  struct stat file {};
  fuzz::require(::stat(transferFile.path().c_str(), &file) == 0, "the transfer file is there");
  for (const WrittenBooking& live : read.live) {
    fuzz::require(live.sequence != 0 && live.sequence <= read.lastSequence,
                  "a record's sequence is never 0 nor past the last");

    // A record accepted is one its writer wrote: written again, it reads back
    // the same.
    WrittenBooking rewritten = live;
    rewritten.durable = false;
    BookingJournal::Contents again =
        BookingJournal::parse(BookingJournal::encodeWritten(rewritten));
    fuzz::require(again.live.size() == 1 && sameBooking(again.live[0], rewritten),
                  "an accepted record is written back byte for byte");

    // Against this transfer file, its line is in place exactly when the file
    // holds it at its offset.
    WrittenBooking here = live;
    here.transferPath = transferFile.path();
    here.device = static_cast<uint64_t>(file.st_dev);
    here.inode = static_cast<uint64_t>(file.st_ino);
    bool holds = !here.line.empty() && here.offset <= content.size() &&
                 content.substr(static_cast<size_t>(here.offset), here.line.size()) == here.line;
    BookingJournal::LineState state = BookingJournal::findLine(here);
    fuzz::require((state == BookingJournal::LineState::kInPlace) == holds,
                  "a line is in place exactly where the file holds it");
    here.inode ^= 1;
    fuzz::require(BookingJournal::findLine(here) == BookingJournal::LineState::kUnknown,
                  "a line recorded for another file is never in place");
  }

  // Whatever came before, a whole record written after it is read, and a
  // retirement of everything leaves nothing live.
  WrittenBooking next;
  next.sequence = read.lastSequence + 1;
  next.line = "after,any,bytes\n";
  if (next.sequence != 0) {
    std::string appended = std::string(journal) + BookingJournal::encodeWritten(next);
    BookingJournal::Contents after = BookingJournal::parse(appended);
    fuzz::require(!after.live.empty() && sameBooking(after.live.back(), next),
                  "a whole record after any bytes is read");
    std::vector<uint64_t> all;
    for (const WrittenBooking& live : after.live) {
      all.push_back(live.sequence);
    }
    BookingJournal::Contents retired =
        BookingJournal::parse(appended + BookingJournal::encodeRetired(all));
    fuzz::require(retired.live.empty(), "retired records are not live");
  }
  return 0;
}
