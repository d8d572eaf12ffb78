#pragma once

#include <string>

#include "os/Error.h"
#include "os/FileHandle.h"
#include "os/FileInfo.h"

// Opening files that are read whole or written by one process alone: the
// settings file, the metrics file, the journal read without its lock, and
// the files written beside a name and then moved into its place. Files that
// several processes append to at once are opened by SharedFile.
namespace Os {

// Who may read and write a file this process creates, before the umask.
enum class Permissions {
  kOwnerOnly,      // it holds credentials or bookings
  kReadableByAll,  // others read it (a monitoring agent), only its owner writes
  kShared,         // everyone who may write its directory may write it
};

// Opens for reading without ever waiting: a FIFO opens without a writer,
// and no terminal becomes the process's own. Returns 0, or -1 with error set.
int openForReading(const std::string& path, Links links, FileHandle& file, Error& error);

// The same, and the file must be a regular one: anything else (a FIFO, a
// device that never ends) is closed again with kNotRegularFile, "not a
// regular file", before a byte is read.
int openRegularFileForReading(const std::string& path, Links links, FileHandle& file, Error& error);

// Opens for writing, creating the file or emptying the one there; never
// through a symbolic link. Returns 0, or -1 with error set.
int createOrEmpty(const std::string& path, Permissions permissions, FileHandle& file, Error& error);

// Creates a new file beside path (in its directory, named after it with a
// suffix of its own), readable and writable by its owner only, for writing.
// Returns 0 with temporaryPath set, or -1 with error set.
int createTemporaryBeside(const std::string& path, FileHandle& file, std::string& temporaryPath,
                          Error& error);

// Gives an open file these permissions, whatever the umask. Returns 0, or -1
// with error set.
int setPermissions(const FileHandle& file, Permissions permissions, Error& error);

// Gives an open file the permissions a file this process creates with these
// gets: less what the umask takes away (where the system has one). Returns
// 0, or -1 with error set.
int setPermissionsAsCreated(const FileHandle& file, Permissions permissions, Error& error);

}  // namespace Os
