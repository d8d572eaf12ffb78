#pragma once

#include <string>
#include <vector>

#include "os/Error.h"
#include "os/FileHandle.h"

// A file's name lives in its directory: a new or renamed file survives a
// power loss only once its directory is synced, and another process may
// rename or remove the name while the file is open.
namespace Os {

// The directory part of path: "." for a bare name, "/" for a name in root.
std::string directoryOf(const std::string& path);

// Syncs the directory that holds path. A file system that cannot sync a
// directory has done all it can: that counts as done. Returns 0, or -1 with
// error set.
int syncDirectoryOf(const std::string& path, Error& error);

// Whether path still names the open file: another process may have renamed
// or removed it since it was opened.
bool namesFile(const std::string& path, const FileHandle& file);

// Gives the file at from the name to, replacing a file of that name. Returns
// 0, or -1 with error set.
int replaceFile(const std::string& from, const std::string& to, Error& error);

// replaceFile for a target that this process holds open as held (the
// journal, under its lock); held is closed either way. POSIX renames first
// and closes after, so that a process waiting for held's lock finds the name
// gone once it has the lock. Windows cannot replace a file that a handle
// holds, so there held is closed first.
int replaceHeldFile(const std::string& from, const std::string& to, FileHandle& held, Error& error);

// Result of moveWithoutReplacing besides 0 and -1: the file has both names
// now, the old one could not be removed (error says why).
inline constexpr int kMovedKeepingOldName = 1;

// Gives the file at from the name to, which must not exist (kExists), and
// removes the name from. Returns 0, -1 with error set (nothing moved), or
// kMovedKeepingOldName.
int moveWithoutReplacing(const std::string& from, const std::string& to, Error& error);

// Gives the file at existing the further name newName, which must not exist
// (kExists). Returns 0, or -1 with error set.
int linkWithoutReplacing(const std::string& existing, const std::string& newName, Error& error);

// Removes the name path. Returns 0, or -1 with error set.
int removeFile(const std::string& path, Error& error);

// The names in directory, without "." and "..", in no particular order.
// Returns 0, or -1 with error set and names empty.
int listDirectory(const std::string& directory, std::vector<std::string>& names, Error& error);

}  // namespace Os
