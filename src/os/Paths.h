#pragma once

#include <string>

#include "os/Error.h"

// Names as the operator and other processes should read them.
namespace Os {

// The absolute name of the file path names, every symbolic link and "." or
// ".." resolved; the file must exist. Returns 0 with resolved set, or -1 with
// error set.
int resolvePath(const std::string& path, std::string& resolved, Error& error);

// path as an absolute name for messages: resolved as far as it exists,
// made absolute and tidied where it does not.
std::string absolutePath(const std::string& path);

// Whether names that differ only in the case of their letters name the same
// file on this platform (Windows), or different ones (POSIX).
bool namesIgnoreCase();

}  // namespace Os
