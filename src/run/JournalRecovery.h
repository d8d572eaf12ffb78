#pragma once

// What the journal of written bookings holds from earlier passes, dealt
// with before the booking cursor opens: bookings whose lines are
// verifiably in a transfer file are marked now (their lines archived first
// where the pass that wrote them died before it could); those whose lines
// are not there are retired and exported like any other. What stays is held from
// an earlier pass: the row loop never writes it again, it only retries its
// marking.
namespace JournalRecovery {

// Needs the journal open and the connection up.
void recover();

// After the row loop. Where the cursor was read to its end, a booking held
// from an earlier pass that it did not return and whose marking found no
// row is not in the table under its key any more: it is retired.
void finish(bool cursorReadToEnd);

}  // namespace JournalRecovery
