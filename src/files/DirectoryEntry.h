#pragma once

#include <string>

// A file's name lives in its directory: a new or renamed file survives a
// power loss only once its directory is synced.
namespace DirectoryEntry {

// The directory part of path: "." for a bare name, "/" for a name in root.
std::string directoryOf(const std::string& path);

// Syncs the directory that holds path. Returns 0, or -1 with errno set.
int syncDirectoryOf(const std::string& path);

// Whether path still names the open file fd: another process may have
// renamed or removed it since it was opened.
bool namesOpenFile(const std::string& path, int fd);

}  // namespace DirectoryEntry
