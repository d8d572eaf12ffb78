#pragma once

#include <map>
#include <string>
#include <vector>

#include "DriverPathSupport.h"
#include "InstallationSupport.h"
#include "ProgramSupport.h"
#include "StandinSupport.h"

// Whole transfer passes: an installation with a stand-in database, and the
// bookings and texts that the pass tests share.
namespace test {

// The environment that preloads tests/shims/FileFault.c into a program,
// with its switches (the variables it documents) set.
std::map<std::string, std::string> fileFaults(std::map<std::string, std::string> switches);

extern const std::string kStartEntry;  // the run log's start entry, as stored
extern const std::string kEndEntry;    // the run log's end entry, as stored
extern const char kUser[];
extern const char kPassword[];

// An installation with a stand-in database that knows the user, its clock
// at 2015-06-01 08:00:00, reached along one of the driver paths by the
// programs of one build.
struct Installation : SiteLayout {
  StandinDatabase database{root.path()};
  DriverPathEnvironment driverPath;
  Program program;

  explicit Installation(ProgramPath variant = {});
  explicit Installation(DriverPath path) : Installation(ProgramPath{Program::kLinux, path}) {}
  void writeSettings(const std::string& user, const std::string& password,
                     const std::string& dataSourceName) const;
  // Inserts a booking; columns not named are NULL.
  void addBooking(const std::map<std::string, std::string>& columns) const;
  // The export program with args, in the working directory; the companion
  // (Morlund_Settings) with runCompanion.
  ProcessResult run(const std::vector<std::string>& args) const;
  ProcessResult runCompanion(const std::vector<std::string>& args) const;
  // The export program, started and not waited for; extra is added to the
  // driver path's environment.
  StartedProcess start(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& extra = {}) const;
  // BewIDN and BewUkz of every booking, in insertion order.
  std::vector<std::vector<std::string>> marks() const;
};

extern const std::map<std::string, std::string> kWorkedExample;

// A booking of 2015-06-01 07:45 with the given ID, source and era code.
std::map<std::string, std::string> booking(const std::string& idn, const std::string& source,
                                           const std::string& era);

// The transfer line of such a booking, with the era code after the rewrite.
std::string transferLine(const std::string& idn, const std::string& source, const std::string& era);

// Leaves in the site's journal what a pass killed after writing such a
// booking (ID idn) left there: its record, with its line appended to the
// transfer file when lineInPlace, else recorded at the file's end only;
// noted as synced when durable; of another installation when one is named.
void leaveInJournal(const Installation& site, const std::string& idn, const std::string& line,
                    bool lineInPlace, bool durable = false, const std::string& installation = "");

// The site's journal of written bookings.
std::string journalPath(const SiteLayout& site);

}  // namespace test
