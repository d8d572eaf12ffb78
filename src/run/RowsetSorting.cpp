#include "run/RowsetSorting.h"

#include "db/TransferMarking.h"
#include "run/EraRules.h"

namespace RowsetSorting {

std::vector<SortedBooking> sortRowset(const std::vector<BookingRow>& rows,
                                      const HeldLookup& heldSequence) {
  std::vector<SortedBooking> bookings(rows.size());
  for (size_t index = 0; index < rows.size(); ++index) {
    SortedBooking& booking = bookings[index];
    booking.key = TransferMarking::markingKeyOf(rows[index]);
    booking.journalSequence = heldSequence(booking.key);
    if (booking.journalSequence != 0) {
      booking.role = Role::kHeld;
      continue;
    }
    EraRules::EraDecision decision = EraRules::decide(rows[index]);
    if (decision.exported) {
      booking.role = Role::kExported;
      booking.forms = BookingLines::formsOf(rows[index], decision.era);
    }
  }
  return bookings;
}

}  // namespace RowsetSorting
