#pragma once

#include <string>

#include "os/Error.h"

// What this process may do with a file, asked without doing it: for a check
// that changes nothing.
namespace Os {

enum class Access {
  kCreateFilesIn,  // a directory: create, rename and remove names in it
  kWrite,          // write the file (or, for a directory, its names)
  kReadAndWrite,
};

// Returns 0 when allowed, or -1 with error set (kAccessDenied when the
// permissions refuse it, kNotFound when nothing has that name).
int checkAccess(const std::string& path, Access access, Error& error);

}  // namespace Os
