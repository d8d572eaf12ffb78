#pragma once

#include <string>
#include <string_view>

// Plain ASCII upper-casing: a-z to A-Z, every other byte unchanged, so
// Windows-1252 letters keep their codes.
std::string upperAscii(std::string_view text);
