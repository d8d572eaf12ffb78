#include "os/Memory.h"

#include <windows.h>

namespace Os {

void wipeMemory(void* bytes, size_t count) {
  SecureZeroMemory(bytes, count);
}

}  // namespace Os
