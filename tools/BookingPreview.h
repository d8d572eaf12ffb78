#pragma once

// What the next pass would send: started like a check, in the pass's
// working directory with the pass's arguments, it prints on standard output
// exactly the lines the pass would append to the transfer file now, and
// changes nothing.
namespace BookingPreview {

// argc and argv shaped as a pass receives them (SETTINGS [TARGETDIR] [/D]).
// Returns 0 when the bookings were read to their end, 1 otherwise.
int run(int argc, char** argv);

}  // namespace BookingPreview
