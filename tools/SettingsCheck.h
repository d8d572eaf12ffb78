#pragma once

// The preconditions of a transfer pass, checked before the first one runs:
// started in the pass's working directory with the pass's arguments, it
// runs the pass's own statements in a form that changes nothing and reports
// one line per precondition on standard output.
namespace SettingsCheck {

// arguments are the pass's (SETTINGS [TARGETDIR] [/D]), argc and argv
// shaped as a pass receives them. Returns 0 when every precondition holds,
// 1 otherwise.
int run(int argc, char** argv);

}  // namespace SettingsCheck
