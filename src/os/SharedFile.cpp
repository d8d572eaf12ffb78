#include "os/SharedFile.h"

#include "os/DirectoryEntry.h"

// What both platforms share of opening a shared file; the opening itself
// and the lock are each platform's own.
namespace Os {

int openForAppending(const std::string& path, const SharedFileOptions& options, SharedFile& file,
                     Error& error) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (openShared(path, options, file, error) != 0) {
      return kNotOpened;
    }
    Error lockError;
    if (lockForWriters(file.handle, options.beforeWaiting, lockError) != 0 &&
        options.lockRequired) {
      file = SharedFile();
      error = lockError;
      return kNotLocked;
    }
    file.named = namesFile(path, file.handle);
    if (file.named) {
      break;
    }
  }
  return kOpened;
}

}  // namespace Os
