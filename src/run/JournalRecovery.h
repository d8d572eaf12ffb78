#pragma once

#include <cstddef>
#include <cstdint>

#include "db/BookingRow.h"
#include "run/RowsetTransfer.h"

// What the journal of written bookings holds from earlier passes, dealt
// with before the booking cursor opens: bookings whose lines are
// verifiably in a transfer file are marked now; those whose lines are not
// there are forgotten and exported like any other. What stays is held: the
// row loop never writes a held booking again, it only retries its marking.
namespace JournalRecovery {

// Needs the journal open and the connection up. Its markings count in tally.
void recover(RowsetTransfer::Tally& tally);

// How many bookings of this installation the journal holds now, and when
// the oldest of them was recorded (Unix seconds; 0 when none).
size_t heldCount(int64_t& oldestRecordedAt);

// The journal's record of a booking that an earlier pass wrote and whose
// marking has not succeeded yet, or 0.
uint64_t heldSequence(const MarkingKey& key);

// The outcome of a held booking's marking in the row loop: on success it
// is no longer held.
void heldMarked(const MarkingKey& key, int32_t status);

// After the row loop. Where the cursor was read to its end, a held booking
// it did not return and whose marking found no row is not in the table
// under its key any more: it is forgotten.
void finish(bool cursorReadToEnd);

}  // namespace JournalRecovery
