#pragma once

#include <cstdint>
#include <string>

#include "os/Error.h"
#include "os/FileHandle.h"
#include "os/FileIdentity.h"

// What a file is: its kind, size and identity, of an open file or of a name.
namespace Os {

enum class FileKind { kRegular, kDirectory, kFifo, kSymbolicLink, kOther };

struct FileInfo {
  FileKind kind = FileKind::kOther;
  int64_t size = 0;  // in bytes; of a regular file
  FileIdentity identity;
};

// Whether a symbolic link as the name is followed to its target or taken as
// itself (examined as a link, refused when opened).
enum class Links { kFollow, kDoNotFollow };

// Returns 0, or -1 with error set.
int examine(const FileHandle& file, FileInfo& info, Error& error);

// The file path names. Returns 0, or -1 with error set (kNotFound when
// nothing has that name).
int examineName(const std::string& path, Links links, FileInfo& info, Error& error);

}  // namespace Os
