#pragma once

#include <string_view>

#include "os/Error.h"
#include "os/FileIdentity.h"

// Standard output and standard error as the process received them.
namespace Os {

// Writes text to standard error in one write, so that the lines of processes
// that share the stream stay whole. A failure is dropped: standard error has
// nowhere to say it.
void writeStandardError(std::string_view text);

// Which file standard error is (a journal stream names it so). Returns 0, or
// -1 with error set.
int identifyStandardError(FileIdentity& identity, Error& error);

// Writes out what standard output still buffers and says whether all that
// was written to it arrived. Returns 0, or -1 with error set ("write error"
// when an earlier write failed without a cause left to tell).
int flushStandardOutput(Error& error);

// Makes standard output take every byte as it is from now on, where the
// platform's console otherwise turns "\n" into CR LF (Windows' text mode):
// for output that must equal a file's bytes.
void useBinaryStandardOutput();

}  // namespace Os
