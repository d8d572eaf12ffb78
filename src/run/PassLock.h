#pragma once

#include <string>

// One pass at a time per installation: a pass holds an exclusive lock on its
// working directory from its start to its end. The lock dies with the
// process, so a killed pass never leaves it behind.
namespace PassLock {

// Locked instead of the directory where the file system cannot lock a
// directory (NFS). Created by the first pass that needs it, never removed.
inline constexpr const char kLockFileName[] = "Morlund_MSSQL.lock";

// Takes the lock, waiting for a pass that holds it to end (said once on
// standard error). Returns 0 when held, -1 when neither the directory nor
// the lock file can be locked: then the pass runs without it, as said on
// standard error.
int acquire();

// Results of probe.
inline constexpr int kFree = 0;
inline constexpr int kFileLockFree = 1;  // free; passes here lock kLockFileName
inline constexpr int kHeld = 2;
inline constexpr int kUnlockable = -1;

// Whether a pass holds the lock in the working directory now, without
// waiting and without creating anything. On kUnlockable, cause says why.
int probe(std::string& cause);

}  // namespace PassLock
