#pragma once

#include <cstddef>

namespace Os {

// Overwrites the bytes with zeros in a way the compiler cannot leave out
// because they are not read afterwards: for passwords and keys.
void wipeMemory(void* bytes, size_t count);

}  // namespace Os
