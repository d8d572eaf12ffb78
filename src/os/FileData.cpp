#include "os/FileData.h"

#include <algorithm>

// What both platforms share of reading a file; each platform reads and
// writes in its own way.
namespace Os {

int readFromStart(const FileHandle& file, size_t longest, std::string& bytes, Error& error) {
  const size_t kChunkBytes = 64 * 1024;
  bytes.clear();
  while (bytes.size() < longest) {
    size_t had = bytes.size();
    bytes.resize(had + std::min(kChunkBytes, longest - had));
    size_t got = 0;
    int result =
        readAt(file, static_cast<int64_t>(had), bytes.data() + had, bytes.size() - had, got, error);
    bytes.resize(had + got);
    if (result != 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
  }
  return 0;
}

}  // namespace Os
