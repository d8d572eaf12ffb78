#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/BookingRow.h"

// The journal of written bookings: what a pass wrote to the transfer file
// and has not yet marked transferred. What a pass killed between the line
// and the marking left behind, the next pass finds here: it marks the
// bookings whose lines are verifiably in the transfer file instead of
// exporting them again, and never writes a held booking a second time.
//
// The journal lies beside the run log, the one place besides the target
// directory that the hardened service may write. Installations whose log
// directories are one share it; each reads only its own records.
//
// Its words, each for one act or state:
//   record    a booking is recorded (a Written record, synced) before its
//             line is appended to the transfer file;
//   durable   its line is recorded durable (a Durable record, synced) once
//             the transfer file is synced and the line archived (see
//             LineArchive), or once recovery found it in place, synced it
//             and saw it archived;
//   retire    the journal lets a booking go (a Retired record): its marking
//             succeeded, or its line is not verifiably in the transfer file,
//             or no booking has its key any more (standard error says "the
//             journal forgets it" where it was not marked);
//   live      recorded and not retired, of any installation;
//   held      live and of this installation: written, not yet marked;
//   held from an earlier pass
//             held when this pass opened the journal and kept by its
//             recovery: the cursor may return it, and then only its marking
//             is tried again.
namespace BookingJournal {

inline constexpr const char* kJournalPath = "../../Vantoreum_php/log/Morlund_MSSQL.journal";

// One booking as the journal holds it.
struct WrittenBooking {
  uint64_t sequence = 0;     // given by recordWritten, unique in the journal
  std::string installation;  // see installationName
  MarkingKey key;            // what its marking compares
  std::string transferPath;  // as the pass used it, from its working directory
  uint64_t device = 0;       // of the transfer file the line went to
  uint64_t inode = 0;
  uint64_t offset = 0;      // where its line starts in that file
  uint64_t recordedAt = 0;  // Unix seconds, when recordWritten took it
  std::string line;         // with its line feed
  // The server time of the pass that wrote it, as that pass's "Übergabe
  // vom" run-log entry shows it (dd.mm.yyyy hh:mi:ss): the archive of sent
  // lines files the line under it. Empty where the pass could not read the
  // server time, and in records of the version before the archive.
  std::string passTime;
  bool durable = false;  // its line was recorded as synced
};

// What the bytes of a journal hold. A record that is torn or damaged (its
// checksum fails) counts as absent; the reader goes on at the next record
// that is whole.
struct Contents {
  std::vector<WrittenBooking> live;  // recorded and not retired, in the order written
  uint64_t lastSequence = 0;         // the highest sequence any record names
  size_t validEnd = 0;               // just after the last whole record
  size_t skippedBytes = 0;           // bytes before validEnd that held no whole record
};
Contents parse(std::string_view bytes);

// The records, as they are appended.
std::string encodeWritten(const WrittenBooking& booking);
std::string encodeDurable(const std::vector<uint64_t>& sequences);
std::string encodeRetired(const std::vector<uint64_t>& sequences);

// Whether a booking's line is where its record says: in the same file
// (device and inode under its path) at its offset, byte for byte. kUnknown
// when that file is no longer under the path (taken away) or cannot be read.
enum class LineState { kInPlace, kMissing, kUnknown };
LineState findLine(const WrittenBooking& booking);

// The name the records of this installation carry: its working directory
// and data source, so that no pass marks another installation's bookings.
std::string installationName(const std::string& dataSourceName);

// Opens the journal at path for this pass, creating it, and locks it until
// the process ends (waiting, said on standard error, for a pass of another
// installation that holds it). Returns 0, or -1 with cause set: the pass
// then runs without it.
int open(const std::string& path, const std::string& installation, std::string& cause);
bool isOpen();

// The bookings of this installation the journal holds now.
std::vector<WrittenBooking> heldBookings();

// How many bookings of this installation the journal holds now, and when
// the oldest of them was recorded (Unix seconds; 0 when none).
size_t heldCount(int64_t& oldestRecordedAt);

// The sequence of the booking held from an earlier pass under key, or 0.
uint64_t heldFromEarlierPass(const MarkingKey& key);

// What this pass learns of a held booking: the cursor returned it; its
// marking failed or found no row.
void noteReturnedByCursor(uint64_t sequence);
void noteFailedMarking(uint64_t sequence, bool foundNoRow);

// The bookings held from an earlier pass that the cursor did not return
// and whose last marking found no row: where the cursor was read to its
// end, no booking has their keys any more.
std::vector<WrittenBooking> vanishedBookings();

// Each returns 0, or -1 after saying on standard error why; the journal is
// then closed for the rest of the pass.
//
// Records the bookings (giving each its sequence) and syncs the journal.
int recordWritten(std::vector<WrittenBooking>& bookings);
// Records the lines of these bookings as durable and syncs the journal.
int recordDurable(const std::vector<uint64_t>& sequences);
// Retires the bookings; not synced: a retirement lost makes the next pass
// mark a booking once more, which changes nothing.
int recordRetired(const std::vector<uint64_t>& sequences);

// Ends the pass's use: a journal that holds nothing is emptied, one grown
// large with retired records is written anew with only the rest. The lock
// stays until the process ends, unless it went with the old file of a
// journal written anew.
void close();

// What the next pass finds of a booking's line before it reads any: in place
// when it was recorded as synced or is found where its record says; then
// the pass marks it, and otherwise forgets it.
LineState recoveryState(const WrittenBooking& booking);

// For a reader that changes nothing (no lock, nothing created or cut off):
// the bookings of this installation that the journal at path holds. A
// missing journal holds none. Returns 0, or -1 with cause set.
int readHeld(const std::string& path, const std::string& installation,
             std::vector<WrittenBooking>& held, std::string& cause);

// For a check that changes nothing: how many bookings the journal at path
// holds, of this installation and of others, and whether a pass could
// write it (cause says why not). Returns 0 when it could be read (a missing
// journal holds nothing), -1 with cause set otherwise.
struct Inspection {
  size_t own = 0;
  size_t others = 0;
  bool writable = false;
  std::string cause;
};
int inspect(const std::string& path, const std::string& installation, Inspection& found);

}  // namespace BookingJournal
