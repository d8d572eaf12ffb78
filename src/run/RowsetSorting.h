#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "db/BookingRow.h"
#include "run/BookingLines.h"

// Sorts the bookings of a rowset by what becomes of them: held by the
// journal (their lines are out from an earlier pass: only their markings
// are tried again), exported by their era rules, or filtered out. The
// bookings keep the cursor's order; sorting here puts each into its role.
namespace RowsetSorting {

enum class Role { kExported, kFiltered, kHeld };

struct SortedBooking {
  Role role = Role::kFiltered;
  MarkingKey key;
  uint64_t journalSequence = 0;       // kHeld: the journal's record of it
  BookingLines::ExportedForms forms;  // kExported: formatted once
};

// The journal's record of a booking it holds from an earlier pass, or 0.
using HeldLookup = std::function<uint64_t(const MarkingKey& key)>;

std::vector<SortedBooking> sortRowset(const std::vector<BookingRow>& rows,
                                      const HeldLookup& heldSequence);

}  // namespace RowsetSorting
