#pragma once

#include <string>
#include <string_view>

// The transfer file that the payroll system reads.
namespace ExportFile {

// Appends one line (it already ends with "\n") in binary, so the file keeps
// LF line ends. Returns 0 when the whole line is durable on disk, -1 when it
// is not; on -1 the file is left at the size it had before, so no half line
// remains for the next line to join.
int appendLine(const std::string& path, std::string_view text);

// Opens the path for appending (creating an empty file) and closes it again.
// Returns 0 when that worked, -1 otherwise.
int testAppend(const std::string& path);

}  // namespace ExportFile
