#pragma once

#include <cstdint>

namespace Os {

// Which file a name or handle leads to, as long as the file exists: the
// volume that holds it and its number on that volume (the device and inode
// on POSIX; the volume serial number and file index on Windows). Two names
// with the same identity are names of one file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace Os
