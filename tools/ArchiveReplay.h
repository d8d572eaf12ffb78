#pragma once

#include <string>

#include "files/LineArchive.h"

// Morlund_Settings replay: the lines that chosen passes sent, from the
// archive of sent lines, byte for byte and in the order they were written,
// into a new file to hand to the payroll side like the transfer file. Run
// from the pass's working directory; it reads the settings file (for the
// installation's name) and the archive, and changes nothing.
namespace ArchiveReplay {

struct Request {
  std::string settingsPath;
  std::string destination;
  std::string from;  // the pass times as given
  std::string to;    // empty: up to now
  LineArchive::Selection selection;
};

// Reads SETTINGS DEST --from TIME [--to TIME] [--id ID]... Returns 0, or -1
// with problem set (wrong arguments).
int parseArguments(int argc, char** argv, Request& request, std::string& problem);

// Writes DEST. Returns the exit status: 0 written, 1 the archive or DEST
// could not be read or written, 2 DEST exists.
int run(const Request& request);

}  // namespace ArchiveReplay
