#pragma once

// One pass at a time per installation: a pass holds an exclusive lock on its
// working directory from its start to its end. The lock dies with the
// process, so a killed pass never leaves it behind.
namespace PassLock {

// Takes the lock, waiting for a pass that holds it to end (said once on
// standard error). Returns 0 when held, -1 when the file system cannot lock:
// then the pass runs without it, as said on standard error.
int acquire();

}  // namespace PassLock
