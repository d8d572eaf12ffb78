#pragma once

// The process as a whole.
namespace Os {

// The name the program was started by, without its directory.
const char* programName();

// Makes a write to a pipe or socket whose reader went away fail like any
// other write, instead of ending the process.
void ignoreBrokenPipes();

}  // namespace Os
