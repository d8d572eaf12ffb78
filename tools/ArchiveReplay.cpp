#include "ArchiveReplay.h"

#include <cstdio>
#include <set>
#include <string_view>
#include <vector>

#include "CompanionExit.h"
#include "files/BookingJournal.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileInfo.h"
#include "os/FileOpening.h"
#include "os/Memory.h"
#include "settings/Credentials.h"
#include "settings/SettingsFile.h"

namespace ArchiveReplay {

namespace {

// Lines go out in blocks of about this size: the memory a replay holds
// does not grow with the lines it writes.
constexpr size_t kWriteBytes = 64 * 1024;

// A pass time given on the command line. Returns 0 with seconds set, or -1
// with problem set.
int readTime(const char* option, const std::string& text, int64_t& seconds, std::string& problem) {
  PassTime::CivilTime time;
  if (PassTime::parse(text, time) != 0) {
    problem = std::string(option) +
              " needs a time as the run log's entry \"Uebergabe vom\" shows it, dd.mm.yyyy "
              "hh:mi:ss, not '" +
              text + "'";
    return -1;
  }
  seconds = PassTime::secondsOf(time);
  return 0;
}

// What the replay finds and writes.
struct Replay {
  Os::FileHandle file;
  std::string temporary;
  std::string pending;  // lines not yet written
  Os::Error error;
  bool failed = false;  // writing the file failed (error says why)
  size_t lines = 0;
  std::set<std::string> passesInWindow;
  std::string oldestPass;  // of all of this installation's lines
  int64_t oldestSeconds = 0;
};

bool writePending(Replay& replay) {
  size_t written = 0;
  if (!replay.failed && Os::writeAll(replay.file, replay.pending, written, replay.error) != 0) {
    replay.failed = true;
  }
  replay.pending.clear();
  return !replay.failed;
}

// Takes one archived line; false stops the reading.
bool take(Replay& replay, const Request& request, const std::string& installation,
          LineArchive::ArchivedLine& line) {
  PassTime::CivilTime time;
  if (line.installation != installation || PassTime::parse(line.passTime, time) != 0) {
    return true;
  }
  int64_t seconds = PassTime::secondsOf(time);
  if (replay.oldestPass.empty() || seconds < replay.oldestSeconds) {
    replay.oldestPass = line.passTime;
    replay.oldestSeconds = seconds;
  }
  if (!LineArchive::inWindow(request.selection, seconds)) {
    return true;
  }
  replay.passesInWindow.insert(line.passTime);
  if (!LineArchive::selects(request.selection, line, seconds)) {
    return true;
  }
  ++replay.lines;
  replay.pending += line.line;
  return replay.pending.size() < kWriteBytes || writePending(replay);
}

// Reads the month files, months ascending, each in the order its lines
// were archived. Returns 0, or -1 after saying why.
int readArchive(Replay& replay, const Request& request, const std::string& installation) {
  std::vector<std::string> paths;
  std::string cause;
  if (LineArchive::listFiles(LineArchive::kDirectory, paths, cause) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot read the archive of sent lines in %s: %s\n",
                 LineArchive::kDirectory, cause.c_str());
    return -1;
  }
  for (const std::string& path : paths) {
    LineArchive::Reading reading;
    auto each = [&](LineArchive::ArchivedLine& line) {
      return take(replay, request, installation, line);
    };
    if (LineArchive::readFile(path, each, reading, cause) != 0) {
      std::fprintf(stderr, "Morlund_Settings: cannot read the archive file %s: %s\n", path.c_str(),
                   cause.c_str());
      return -1;
    }
    std::string skipped = LineArchive::describeSkipped(path, reading);
    if (!skipped.empty()) {
      std::fprintf(stderr, "Morlund_Settings: replay: %s\n", skipped.c_str());
    }
    if (replay.failed) {
      break;
    }
  }
  return 0;
}

void removeTemporary(const std::string& temporary) {
  Os::Error ignored;
  Os::removeFile(temporary, ignored);
}

// The transfer file's mode: what a pass's open of it (0666) gives under the
// umask. Returns 0, or -1 with replay.error set.
int completeFile(Replay& replay) {
  if (!writePending(replay) ||
      Os::setPermissionsAsCreated(replay.file, Os::Permissions::kShared, replay.error) != 0 ||
      Os::syncData(replay.file, replay.error) != 0 ||
      Os::closeFile(replay.file, replay.error) != 0) {
    return -1;
  }
  return 0;
}

// Puts the whole, synced file in place, never over an existing one, and
// makes its name durable. Returns the exit status; nothing is left behind
// on a failure.
int putInPlace(Replay& replay, const std::string& destination) {
  Os::Error error;
  int moved = Os::moveWithoutReplacing(replay.temporary, destination, error);
  if (moved < 0) {
    removeTemporary(replay.temporary);
    if (error.kind == Os::ErrorKind::kExists) {
      std::fprintf(stderr, "Morlund_Settings: %s exists; replay never replaces a file\n",
                   destination.c_str());
      return CompanionExit::kRefused;
    }
    std::fprintf(stderr, "Morlund_Settings: cannot create %s: %s\n", destination.c_str(),
                 error.cause.c_str());
    return CompanionExit::kFailed;
  }
  if (moved == Os::kMovedKeepingOldName) {
    removeTemporary(replay.temporary);
  }
  if (Os::syncDirectoryOf(destination, error) != 0) {
    removeTemporary(destination);
    std::fprintf(stderr, "Morlund_Settings: cannot sync the directory of %s: %s; it was removed\n",
                 destination.c_str(), error.cause.c_str());
    return CompanionExit::kFailed;
  }
  return CompanionExit::kDone;
}

std::string counted(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The warnings, then the summary line.
void reportOutcome(const Replay& replay, const Request& request, const std::string& installation) {
  const char* destination = request.destination.c_str();
  if (replay.oldestPass.empty()) {
    std::fprintf(stderr,
                 "Morlund_Settings: replay: warning: the archive of sent lines holds no pass of "
                 "this installation, %s\n",
                 installation.c_str());
  } else if (request.selection.from < replay.oldestSeconds) {
    std::fprintf(stderr,
                 "Morlund_Settings: replay: warning: --from %s lies before the oldest pass the "
                 "archive holds, %s; lines of earlier passes are not in it\n",
                 request.from.c_str(), replay.oldestPass.c_str());
  }
  if (replay.passesInWindow.empty()) {
    std::fprintf(stderr,
                 "Morlund_Settings: replay: warning: no pass lies in the window; %s is empty\n",
                 destination);
  } else if (replay.lines == 0) {
    std::fprintf(stderr,
                 "Morlund_Settings: replay: no line of these passes has one of the IDs; %s is "
                 "empty\n",
                 destination);
  }
  std::string ids;
  for (const std::string& id : request.selection.ids) {
    ids.append(ids.empty() ? " with the IDs " : ", ").append(id);
  }
  std::string window = request.to.empty()
                           ? "from " + request.from + " up to now"
                           : "from " + request.from + " to " + request.to + " (not included)";
  std::fprintf(stderr, "Morlund_Settings: replay: %s%s of %s %s written to %s\n",
               counted(replay.lines, "line", "lines").c_str(), ids.c_str(),
               counted(replay.passesInWindow.size(), "pass", "passes").c_str(), window.c_str(),
               destination);
}

// The name the pass's records carry: from its working directory and the
// data source it connects to; no connection is made.
int installationOf(const std::string& settingsPath, std::string& installation) {
  std::string cause;
  if (SettingsFile::checkSettingsFile(settingsPath, cause) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot read %s: %s\n", settingsPath.c_str(),
                 cause.c_str());
    return -1;
  }
  Credentials::StoredCredentials credentials = Credentials::readCredentials(settingsPath);
  Os::wipeMemory(credentials.password.data(), credentials.password.size());
  installation = BookingJournal::installationName(Credentials::dataSourceNameForPass(credentials));
  return 0;
}

}  // namespace

int parseArguments(int argc, char** argv, Request& request, std::string& problem) {
  if (argc < 2) {
    problem = "replay needs SETTINGS and DEST";
    return -1;
  }
  request = Request();
  request.settingsPath = argv[0];
  request.destination = argv[1];
  bool haveFrom = false;
  bool haveTo = false;
  for (int i = 2; i < argc; ++i) {
    std::string_view option = argv[i];
    if (i + 1 >= argc || (option == "--from" && haveFrom) || (option == "--to" && haveTo) ||
        (option != "--from" && option != "--to" && option != "--id")) {
      problem = std::string("unexpected or repeated argument: ").append(option);
      return -1;
    }
    std::string value = argv[++i];
    if (option == "--id") {
      request.selection.ids.insert(value);
    } else if (option == "--from") {
      haveFrom = true;
      request.from = value;
    } else {
      haveTo = true;
      request.to = value;
    }
  }
  if (request.settingsPath.empty() || request.destination.empty()) {
    problem = "SETTINGS and DEST must not be empty";
    return -1;
  }
  if (!haveFrom) {
    problem = "replay needs --from TIME";
    return -1;
  }
  int64_t to = 0;
  if (readTime("--from", request.from, request.selection.from, problem) != 0 ||
      (haveTo && readTime("--to", request.to, to, problem) != 0)) {
    return -1;
  }
  if (haveTo && to <= request.selection.from) {
    problem = "--to " + request.to + " does not lie after --from " + request.from;
    return -1;
  }
  if (haveTo) {
    request.selection.to = to;
  }
  return 0;
}

// DEST is looked for first, so that a replay over a file handed over
// before does not read the archive for nothing; the move into place looks
// again.
int run(const Request& request) {
  std::string installation;
  if (installationOf(request.settingsPath, installation) != 0) {
    return CompanionExit::kFailed;
  }
  Os::FileInfo existing;
  Os::Error error;
  if (Os::examineName(request.destination, Os::Links::kDoNotFollow, existing, error) == 0) {
    std::fprintf(stderr, "Morlund_Settings: %s exists; replay never replaces a file\n",
                 request.destination.c_str());
    return CompanionExit::kRefused;
  }
  Replay replay;
  if (Os::createTemporaryBeside(request.destination, replay.file, replay.temporary, error) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot create a file beside %s: %s\n",
                 request.destination.c_str(), error.cause.c_str());
    return CompanionExit::kFailed;
  }
  if (readArchive(replay, request, installation) != 0) {
    replay.file.close();
    removeTemporary(replay.temporary);
    return CompanionExit::kFailed;
  }
  if (completeFile(replay) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot write %s: %s\n", replay.temporary.c_str(),
                 replay.error.cause.c_str());
    replay.file.close();
    removeTemporary(replay.temporary);
    return CompanionExit::kFailed;
  }
  int status = putInPlace(replay, request.destination);
  if (status == CompanionExit::kDone) {
    reportOutcome(replay, request, installation);
  }
  return status;
}

}  // namespace ArchiveReplay
