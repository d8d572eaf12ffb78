#pragma once

#include <string>

// One transfer pass, from the command line to the exit status.
namespace ExportRun {

// Returns the exit status: 98 usage, 97 settings file unreadable, -1 no
// database connection, 90 transfer file not writable, 1 pass completed;
// 0 after --help or --version as the only argument.
int run(int argc, char** argv);

// The transfer file of a pass with these arguments: TARGETDIR/BEWDATA.dat,
// or BEWDATA.dat in the working directory when argument 2 is absent or the
// echo switch.
std::string transferPathFor(int argc, char** argv);

}  // namespace ExportRun
