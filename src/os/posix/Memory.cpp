#include "os/Memory.h"

#include <string.h>

namespace Os {

void wipeMemory(void* bytes, size_t count) {
  explicit_bzero(bytes, count);
}

}  // namespace Os
