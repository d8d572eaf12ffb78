#pragma once

#include <string>
#include <string_view>

// The server's code page is Windows-1252: the stand-in stores text as those
// bytes, and every character column says so in its collation. The wire
// carries SQL text, names and messages as UCS-2 (UTF-16LE).

// UCS-2 bytes to Windows-1252; a character outside the code page becomes '?'
// and a trailing odd byte is dropped.
std::string cp1252FromUcs2(std::string_view ucs2);

// Windows-1252 bytes to UCS-2.
std::string ucs2FromCp1252(std::string_view text);
