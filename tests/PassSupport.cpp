#include "PassSupport.h"

#include <sys/stat.h>

#include <cstdlib>

#include "files/BookingJournal.h"

namespace test {

namespace {
const std::string kRule(48, '>');
}  // namespace

const std::string kStartEntry = "\r\n" + kRule + "Protokollierung gestartet:\r\n";
const std::string kEndEntry = kRule + "Programm beendet\r\n\r\n\r\n\r\n";

std::map<std::string, std::string> fileFaults(std::map<std::string, std::string> switches) {
  switches["LD_PRELOAD"] = buildDir() + "/libFileFault.so";
  switches["ASAN_OPTIONS"] = "verify_asan_link_order=0";
  return switches;
}

const char kUser[] = "zeit";
const char kPassword[] = "Geheim-1";

namespace {

std::string sqlLiteral(const std::string& value) {
  std::string text = "'";
  for (char c : value) {
    text += c;
    if (c == '\'') {
      text += '\'';
    }
  }
  return text + "'";
}

}  // namespace

Installation::Installation(ProgramPath variant)
    : driverPath(variant.driver, database), program(variant.program) {
  database.addLogin(kUser, kPassword);
  database.setControl("clock", "2015-06-01 08:00:00.000");
  writeSettings(kUser, kPassword, "ZEIT");
}

void Installation::writeSettings(const std::string& user, const std::string& password,
                                 const std::string& dataSourceName) const {
  writeSettingsFile(settingsPath, user, password, dataSourceName);
}

void Installation::addBooking(const std::map<std::string, std::string>& columns) const {
  std::string names, values;
  for (const auto& [name, value] : columns) {
    names += (names.empty() ? "" : ", ") + name;
    values += (values.empty() ? "" : ", ") + sqlLiteral(value);
  }
  database.execute("INSERT INTO Kvl321Bew (" + names + ") VALUES (" + values + ")");
}

ProcessResult Installation::run(const std::vector<std::string>& args) const {
  return runExport(*this, args, driverPath.environment(), program);
}

ProcessResult Installation::runCompanion(const std::vector<std::string>& args) const {
  return runProgram(program, "Morlund_Settings", args, work, driverPath.environment());
}

StartedProcess Installation::start(const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> environment = extra;
  for (const auto& [name, value] : driverPath.environment()) {
    environment[name] = value;
  }
  return startProgram(program, "Morlund_MSSQL", args, work, environment);
}

std::vector<std::vector<std::string>> Installation::marks() const {
  return database.query("SELECT BewIDN, BewUkz FROM Kvl321Bew ORDER BY rowid");
}

const std::map<std::string, std::string> kWorkedExample = {
    {"BewTID", "T1"},
    {"BewLID", "01"},
    {"BewIDN", "000123"},
    {"BewSto", "10"},
    {"BewDtm", "2015-06-01 00:00:00"},
    {"BewUhr", "1899-12-30 07:45:00"},
    {"BewLfn", "1"},
    {"BewTas", "12"},
    {"BewEra", "201"},
    {"BewSrc", "dta"},
};

std::map<std::string, std::string> booking(const std::string& idn, const std::string& source,
                                           const std::string& era) {
  return {{"BewIDN", idn},
          {"BewSto", "10"},
          {"BewDtm", "2015-06-01 00:00:00"},
          {"BewUhr", "1899-12-30 07:45:00"},
          {"BewLfn", "1"},
          {"BewTID", "T1"},
          {"BewLID", "01"},
          {"BewSrc", source},
          {"BewEra", era}};
}

std::string transferLine(const std::string& idn, const std::string& source,
                         const std::string& era) {
  return idn + ",10,20150601,074500,1,T1,01,,,,,," + era + ",,," + source + ",\n";
}

std::string journalPath(const SiteLayout& site) {
  return site.root.file("Vantoreum_php/log/Morlund_MSSQL.journal");
}

void leaveInJournal(const Installation& site, const std::string& idn, const std::string& line,
                    bool lineInPlace, bool durable, const std::string& installation) {
  std::string before = fileExists(site.transferPath) ? readFile(site.transferPath) : "";
  writeFile(site.transferPath, before + (lineInPlace ? line : ""));
  BookingJournal::WrittenBooking written;
  // The file's identity as the program's own build names files.
  if (site.program == Program::kWindows) {
    windowsIdentity(site.transferPath, written.device, written.inode);
  } else {
    struct stat info {};
    stat(site.transferPath.c_str(), &info);
    written.device = info.st_dev;
    written.inode = info.st_ino;
  }
  BookingJournal::Contents held =
      BookingJournal::parse(fileExists(journalPath(site)) ? readFile(journalPath(site)) : "");
  written.sequence = held.lastSequence + 1;
  char* work = realpath(site.work.c_str(), nullptr);
  written.installation =
      installation.empty() ? programPath(site.program, work) + " (data source ZEIT)" : installation;
  std::free(work);
  written.key = {idn, "10", "2015-06-01 00:00:00", "1899-12-30 07:45:00", "1"};
  written.transferPath = "BEWDATA.dat";
  written.offset = before.size();
  written.line = line;
  std::string journal = fileExists(journalPath(site)) ? readFile(journalPath(site)) : "";
  journal += BookingJournal::encodeWritten(written);
  if (durable) {
    journal += BookingJournal::encodeDurable({written.sequence});
  }
  writeFile(journalPath(site), journal);
}

}  // namespace test
