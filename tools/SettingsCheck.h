#pragma once

#include <string>

// The preconditions of a transfer pass, checked before the first one runs:
// started in the pass's working directory with the pass's arguments, it
// reports one line per precondition on standard output and changes nothing.
namespace SettingsCheck {

// Returns 0 when every precondition holds, 1 otherwise. An empty
// targetDirectory stands for the working directory, as in the pass.
int run(const std::string& settingsPath, const std::string& targetDirectory);

}  // namespace SettingsCheck
