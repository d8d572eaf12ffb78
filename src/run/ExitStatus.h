#pragma once

// The exit statuses of a pass.
namespace ExitStatus {

inline constexpr int kHelpShown = 0;  // --help or --version as the only argument
inline constexpr int kPassEnded = 1;  // the pass ran to its end, also when statements failed
inline constexpr int kTransferFileUnwritable = 90;
inline constexpr int kNoSettingsFile = 97;
inline constexpr int kUsage = 98;
// All bits set: a parent that reads 8 bits of the status sees 255.
inline constexpr int kNoConnection = -1;

}  // namespace ExitStatus
