#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/Error.h"
#include "os/FileHandle.h"

// Reading, writing, truncating and syncing the bytes of an open file.
namespace Os {

// Reads up to count bytes at offset with one read, the file's position
// untouched. Returns 0 with got set (less than count at the file's end), or
// -1 with error set.
int readAt(const FileHandle& file, int64_t offset, char* buffer, size_t count, size_t& got,
           Error& error);

// Reads the file from its start until its end or longest bytes, whichever
// comes first. Returns 0, or -1 with error set and bytes holding what was
// read before the failure.
int readFromStart(const FileHandle& file, size_t longest, std::string& bytes, Error& error);

// Writes all of bytes where the file's writes go (its end, for a file opened
// for appending). A write the system takes only in part is followed by one
// for the rest, which completes the bytes or fails with the real cause.
// Returns 0, or -1 with error set; written says how many bytes went out
// either way.
int writeAll(const FileHandle& file, std::string_view bytes, size_t& written, Error& error);

// Cuts the file to length bytes (or extends it with zero bytes). Returns 0,
// or -1 with error set.
int truncate(const FileHandle& file, int64_t length, Error& error);

// Puts the file's data (and what is needed to read it back, such as its
// size) on disk. Returns 0, or -1 with error set: kUnsupported for a file
// that cannot be synced, such as a pipe.
int syncData(const FileHandle& file, Error& error);

}  // namespace Os
