#pragma once

#include <string>

// The preconditions of a transfer pass, checked before the first one runs:
// started in the pass's working directory with the pass's arguments, it
// runs the pass's own statements in a form that changes nothing and reports
// one line per precondition on standard output.
namespace SettingsCheck {

// arguments are the pass's (SETTINGS [TARGETDIR] [/D]), argc and argv
// shaped as a pass receives them. Returns 0 when every precondition holds,
// 1 otherwise.
int run(int argc, char** argv);

// The first steps of a check, settings file, data source and login, for a
// command that goes on to read the bookings: only a failure is said, on
// standard error, in the check's words. Returns 0 when connected, with the
// data source's name; -1 otherwise.
int connectAsThePass(const char* settingsPath, std::string& dataSourceName);

// A booking cursor that did not open, in the check's words on standard
// error; openResult is what BookingCursor::open returned.
void reportCursorFailure(int openResult);

}  // namespace SettingsCheck
