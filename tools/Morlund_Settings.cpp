// Morlund_Settings: writes the settings file that Morlund_MSSQL reads its
// database credentials from, and encrypts, decrypts and looks up single
// values with the same code the export tool uses.
//
// Unlike the export tool, this program prints credentials when asked to:
// that is its purpose. It never writes them anywhere but the settings file
// and standard output.

#include <cstdio>
#include <string>
#include <string_view>

#include "ArchiveReplay.h"
#include "BookingPreview.h"
#include "CompanionExit.h"
#include "SettingsCheck.h"
#include "db/DbConnection.h"
#include "files/ExportFile.h"
#include "files/PassMetrics.h"
#include "os/DirectoryEntry.h"
#include "os/FileData.h"
#include "os/FileInfo.h"
#include "os/FileOpening.h"
#include "os/Process.h"
#include "os/StandardStreams.h"
#include "os/Terminal.h"
#include "settings/SettingsFile.h"
#include "settings/ValueCipher.h"

namespace {

constexpr int kExitDone = CompanionExit::kDone;
constexpr int kExitFileFailure = CompanionExit::kFailed;
constexpr int kExitRefused = CompanionExit::kRefused;
constexpr int kExitNothingToTake = CompanionExit::kNothingToTake;
constexpr int kExitCannotTake = CompanionExit::kCannotTake;

// At most 12 blocks of 16 digits fit the reader's value field: 96 bytes of
// clear text.
constexpr size_t kMaxStoredLength = SettingsFile::kMaxValueLength;
constexpr size_t kMaxClearLength = kMaxStoredLength / 16 * 8;

// A password line is read no further than this; any longer one is refused
// anyway, as it cannot be stored.
constexpr size_t kMaxPasswordLine = 256;

const char kUsage[] =
    "Usage:\n"
    "  Morlund_Settings encrypt TEXT\n"
    "      Print the stored (encrypted) form of TEXT.\n"
    "  Morlund_Settings decrypt HEX\n"
    "      Print the clear text of a stored value.\n"
    "  Morlund_Settings write FILE --login USER --database DSN [--force]\n"
    "      Read the password from standard input (one line; not echoed on a\n"
    "      terminal) and write FILE with the records LOGIN, PASS and DATABASE,\n"
    "      readable by its owner only. An existing FILE is replaced only with\n"
    "      --force.\n"
    "  Morlund_Settings lookup FILE KEY\n"
    "      Print the value that Morlund_MSSQL reads for KEY (LOGIN, PASS or\n"
    "      DATABASE).\n"
    "  Morlund_Settings check FILE [TARGETDIR] [/D]\n"
    "      Run in the working directory of the transfer pass with the pass's\n"
    "      arguments: check every precondition of a pass (settings file, data\n"
    "      source, login, client charset, the pass's statements, run log\n"
    "      directory, journal, archive of sent lines, target directory), one\n"
    "      line each. Changes nothing.\n"
    "  Morlund_Settings preview FILE [TARGETDIR] [/D]\n"
    "      Run like check: print the lines the next pass would append to the\n"
    "      transfer file now, in its order, and a summary on standard error.\n"
    "      Reads without locking, changes nothing. /D adds the pass's console\n"
    "      lines on standard error.\n"
    "  Morlund_Settings take TARGETDIR DEST\n"
    "      Move TARGETDIR/BEWDATA.dat to DEST between two lines of a pass, so\n"
    "      that no line goes to a file already taken; DEST must not exist and\n"
    "      must be on the same file system.\n"
    "  Morlund_Settings replay FILE DEST --from TIME [--to TIME] [--id ID]...\n"
    "      Run in the working directory of the transfer pass: write to the new\n"
    "      file DEST the lines that the passes with a server time from --from\n"
    "      (included) to --to (not included; without it, up to now) sent, as\n"
    "      the archive of sent lines holds them, byte for byte and in the order\n"
    "      they were written; with --id only the lines of those IDs. TIME is\n"
    "      dd.mm.yyyy hh:mi:ss, as the run log's \"Uebergabe vom\" entries show\n"
    "      it. Reads only the settings file and the archive; DEST must not\n"
    "      exist.\n"
    "  Morlund_Settings metrics [FILE]\n"
    "      Print the metrics file of the last pass (by default the one beside the\n"
    "      run log, ../../Vantoreum_php/log/morlund_export.prom) and check that it\n"
    "      holds the metrics Morlund_MSSQL writes.\n"
    "  Morlund_Settings --version\n"
    "      Print the version.\n"
    "  Morlund_Settings --help\n"
    "      Print this text.\n"
    "\n"
    "Exit status: 0 done; 1 a file could not be read or written, or a check\n"
    "or a preview failed; 2 wrong arguments, or a value or an existing file\n"
    "refused.\n"
    "take: 0 the file was taken; 1 there was none; 2 wrong arguments, or DEST\n"
    "exists; 3 the file could not be taken (standard error says why).\n"
    "metrics: 0 the file holds the metrics of a pass; 1 it is missing, cannot\n"
    "be read or does not hold them (standard error says why).\n"
    "replay: 0 DEST was written (empty when no line was chosen); 1 the archive\n"
    "or DEST could not be read or written; 2 wrong arguments, or DEST exists.\n";

int usageError(const char* message) {
  std::fprintf(stderr, "Morlund_Settings: %s\n\n%s", message, kUsage);
  return kExitRefused;
}

void printLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

// Encrypts one credential. Refuses, with a message, what the settings file
// cannot carry: a stored form longer than the reader's value field is never
// taken. Only printable ASCII is stored: a zero byte would end the clear
// text, a line break in a credential is a mistake, and any other byte would
// make the value indistinguishable from one not written with this cipher,
// which check takes it for.
int storeValue(const char* what, const std::string& clearText, std::string& stored) {
  for (unsigned char c : clearText) {
    if (c < 0x20 || c > 0x7E) {
      std::fprintf(stderr,
                   "Morlund_Settings: the %s contains a byte other than printable ASCII "
                   "(0x20 to 0x7E), such as a line break or a letter with an accent\n",
                   what);
      return -1;
    }
  }
  stored = ValueCipher::encryptValue(clearText);
  if (stored.size() > kMaxStoredLength) {
    std::fprintf(stderr, "Morlund_Settings: the %s is too long: at most %zu bytes can be stored\n",
                 what, kMaxClearLength);
    return -1;
  }
  return 0;
}

void removeTemporary(const std::string& temporary) {
  Os::Error ignored;
  Os::removeFile(temporary, ignored);
}

// The file is never replaced without force, also when it appeared while
// the temporary one was written: linked into place, not renamed. A file
// system without hard links gets one more look, then the rename.
int moveIntoPlaceWithoutForce(const std::string& temporary, const std::string& path) {
  Os::Error error;
  if (Os::linkWithoutReplacing(temporary, path, error) == 0) {
    removeTemporary(temporary);
    return kExitDone;
  }
  Os::FileInfo existing;
  Os::Error ignored;
  if (error.kind == Os::ErrorKind::kExists ||
      Os::examineName(path, Os::Links::kDoNotFollow, existing, ignored) == 0) {
    std::fprintf(stderr, "Morlund_Settings: %s exists; use --force to replace it\n", path.c_str());
    return kExitRefused;
  }
  if (Os::replaceFile(temporary, path, error) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot create %s: %s\n", path.c_str(),
                 error.cause.c_str());
    return kExitFileFailure;
  }
  return kExitDone;
}

// Puts the finished temporary file in place. Returns an exit status.
int moveIntoPlace(const std::string& temporary, const std::string& path, bool force) {
  if (!force) {
    return moveIntoPlaceWithoutForce(temporary, path);
  }
  Os::Error error;
  if (Os::replaceFile(temporary, path, error) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot replace %s: %s\n", path.c_str(),
                 error.cause.c_str());
    return kExitFileFailure;
  }
  return kExitDone;
}

// Writes content to the temporary file, owner-only, and closes it. Returns
// 0, or -1 after saying why.
int writeTemporary(Os::FileHandle& file, const std::string& temporary, const std::string& content) {
  Os::Error error;
  size_t written = 0;
  if (Os::setPermissions(file, Os::Permissions::kOwnerOnly, error) != 0 ||
      Os::writeAll(file, content, written, error) != 0 || Os::syncData(file, error) != 0 ||
      Os::closeFile(file, error) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot write %s: %s\n", temporary.c_str(),
                 error.cause.c_str());
    file.close();
    return -1;
  }
  return 0;
}

// Writes the records to a temporary file beside the target, owner-only,
// reads each key back through the export tool's own reader, and only then
// moves the file into place. Nothing half-written is ever left at path.
int writeSettingsFile(const std::string& path, const std::string& content,
                      const std::string (&keys)[3], const std::string (&values)[3], bool force) {
  Os::FileHandle file;
  std::string temporary;
  Os::Error error;
  if (Os::createTemporaryBeside(path, file, temporary, error) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot create a file beside %s: %s\n", path.c_str(),
                 error.cause.c_str());
    return kExitFileFailure;
  }
  if (writeTemporary(file, temporary, content) != 0) {
    removeTemporary(temporary);
    return kExitFileFailure;
  }
  for (int i = 0; i < 3; ++i) {
    if (SettingsFile::lookupSetting(temporary, "", keys[i], 0) != values[i]) {
      std::fprintf(stderr, "Morlund_Settings: %s does not read back as written\n", keys[i].c_str());
      removeTemporary(temporary);
      return kExitFileFailure;
    }
  }
  int status = moveIntoPlace(temporary, path, force);
  if (status != kExitDone) {
    removeTemporary(temporary);
    return status;
  }
  // Makes the completed rename survive a crash.
  Os::syncDirectoryOf(path, error);
  return kExitDone;
}

// The records the export tool expects: a header line with a non-empty
// section, so that no lookup matches by section, and a line with a
// non-zero number of its own and a distinct key, so that each lookup
// finds its own record. Line ends are CR LF as on the platform the files
// come from; the reader accepts both. The password is read here, last.
// Returns an exit status.
int writeRecords(const std::string& path, const std::string& login, const std::string& dataSource,
                 bool force) {
  std::string password;
  int passwordRead = Os::readPassword("Password: ", kMaxPasswordLine, password);
  if (passwordRead == Os::kPasswordTooLong) {
    std::fprintf(stderr,
                 "Morlund_Settings: the password is too long: at most %zu bytes can be "
                 "stored\n",
                 kMaxClearLength);
    return kExitRefused;
  }
  if (passwordRead != Os::kPasswordRead) {
    std::fprintf(stderr, "Morlund_Settings: no password on standard input\n");
    return kExitRefused;
  }
  const std::string keys[3] = {"LOGIN", "PASS", "DATABASE"};
  const std::string values[3] = {login, password, dataSource};
  const char* names[3] = {"login", "password", "data source name"};
  std::string content;
  for (int i = 0; i < 3; ++i) {
    std::string stored;
    if (storeValue(names[i], values[i], stored) != 0) {
      return kExitRefused;
    }
    content += ";DB;\r\n" + std::to_string(i + 1) + ";" + keys[i] + ";" + stored + "\r\n";
  }
  return writeSettingsFile(path, content, keys, values, force);
}

int runWrite(int argc, char** argv) {
  if (argc < 3) {
    return usageError("write needs a FILE");
  }
  std::string path = argv[2];
  std::string login;
  std::string dataSource;
  bool haveLogin = false;
  bool haveDataSource = false;
  bool force = false;
  for (int i = 3; i < argc; ++i) {
    std::string_view option = argv[i];
    if (option == "--force" && !force) {
      force = true;
    } else if (option == "--login" && !haveLogin && i + 1 < argc) {
      login = argv[++i];
      haveLogin = true;
    } else if (option == "--database" && !haveDataSource && i + 1 < argc) {
      dataSource = argv[++i];
      haveDataSource = true;
    } else {
      std::string message = "unexpected or repeated argument: " + std::string(option);
      return usageError(message.c_str());
    }
  }
  if (!haveLogin || !haveDataSource) {
    return usageError("write needs --login USER and --database DSN");
  }
  if (path.empty()) {
    return usageError("FILE must not be empty");
  }
  if (login.empty()) {
    std::fprintf(stderr, "Morlund_Settings: the login must not be empty\n");
    return kExitRefused;
  }
  if (dataSource.empty() || dataSource.size() > DbConnection::kMaxRegisteredNameLength) {
    std::fprintf(stderr,
                 "Morlund_Settings: the data source name must have 1 to %zu characters; the "
                 "ODBC driver manager refuses longer ones\n",
                 DbConnection::kMaxRegisteredNameLength);
    return kExitRefused;
  }
  Os::FileInfo existing;
  Os::Error ignored;
  if (!force && Os::examineName(path, Os::Links::kDoNotFollow, existing, ignored) == 0) {
    std::fprintf(stderr, "Morlund_Settings: %s exists; use --force to replace it\n", path.c_str());
    return kExitRefused;
  }
  return writeRecords(path, login, dataSource, force);
}

int runTake(const std::string& targetDirectory, const std::string& destination) {
  std::string path = targetDirectory + "/" + ExportFile::kTransferFileName;
  std::string cause;
  switch (ExportFile::takeFile(path, destination, cause)) {
    case ExportFile::kTaken:
      return kExitDone;
    case ExportFile::kNothingToTake:
      return kExitNothingToTake;
    case ExportFile::kDestinationExists:
      std::fprintf(stderr, "Morlund_Settings: %s exists; %s was not taken\n", destination.c_str(),
                   path.c_str());
      return kExitRefused;
    default:
      std::fprintf(stderr, "Morlund_Settings: cannot take %s: %s\n", path.c_str(), cause.c_str());
      return kExitCannotTake;
  }
}

int runLookup(const std::string& path, const std::string& key) {
  std::string cause;
  if (SettingsFile::checkSettingsFile(path, cause) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot read %s: %s\n", path.c_str(), cause.c_str());
    return kExitFileFailure;
  }
  printLine(SettingsFile::lookupSetting(path, "", key, 0));
  return kExitDone;
}

int runReplay(int argc, char** argv) {
  ArchiveReplay::Request request;
  std::string problem;
  if (ArchiveReplay::parseArguments(argc - 2, argv + 2, request, problem) != 0) {
    return usageError(problem.c_str());
  }
  return ArchiveReplay::run(request);
}

// The file is shown as it is, also when damaged: what is wrong with it is
// easier to see there than in the one line that says so.
int runMetrics(const std::string& path) {
  std::string text;
  std::string cause;
  if (PassMetrics::readFile(path, text, cause) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot read %s: %s\n", path.c_str(), cause.c_str());
    return kExitFileFailure;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  PassMetrics::RecordedPass recorded;
  if (PassMetrics::parse(text, recorded, cause) != 0) {
    std::fprintf(stderr, "Morlund_Settings: %s does not hold the metrics of Morlund_MSSQL: %s\n",
                 path.c_str(), cause.c_str());
    return kExitFileFailure;
  }
  return kExitDone;
}

}  // namespace

int runCommand(int argc, char** argv) {
  if (argc < 2) {
    return usageError("missing command");
  }
  std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  if (command == "--version" && argc == 2) {
    std::printf("Morlund_Settings %s\n", MORLUND_VERSION);
    return kExitDone;
  }
  // The pass's own arguments follow, as the pass would take them.
  if (command == "check" && argc >= 3) {
    return SettingsCheck::run(argc - 1, argv + 1);
  }
  if (command == "preview" && argc >= 3) {
    return BookingPreview::run(argc - 1, argv + 1);
  }
  if (command == "encrypt" && argc == 3) {
    printLine(ValueCipher::encryptValue(argv[2]));
    return kExitDone;
  }
  if (command == "decrypt" && argc == 3) {
    std::string clearText;
    ValueCipher::decryptValue(argv[2], clearText);
    printLine(clearText);
    return kExitDone;
  }
  if (command == "lookup" && argc == 4) {
    return runLookup(argv[2], argv[3]);
  }
  if (command == "take" && argc == 4) {
    return runTake(argv[2], argv[3]);
  }
  if (command == "metrics" && argc <= 3) {
    return runMetrics(argc == 3 ? argv[2] : PassMetrics::kMetricsPath);
  }
  if (command == "write") {
    return runWrite(argc, argv);
  }
  if (command == "replay") {
    return runReplay(argc, argv);
  }
  return usageError("unknown command or wrong number of arguments");
}

// Output that did not arrive is a failure like any other: a script that
// captures a value must not take a missing or cut one for the answer. A
// reader that went away is such a failure, not a cause to die silently.
int main(int argc, char** argv) {
  Os::ignoreBrokenPipes();
  int status = runCommand(argc, argv);
  Os::Error error;
  if (Os::flushStandardOutput(error) != 0) {
    std::fprintf(stderr, "Morlund_Settings: cannot write to standard output: %s\n",
                 error.cause.c_str());
    return kExitFileFailure;
  }
  return status;
}
