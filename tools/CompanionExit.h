#pragma once

// The exit statuses of Morlund_Settings.
namespace CompanionExit {

inline constexpr int kDone = 0;
// A file could not be read or written, or a check or a preview failed.
inline constexpr int kFailed = 1;
// Wrong arguments, or a value or an existing file refused.
inline constexpr int kRefused = 2;
// take: there was no file to take (1), or it could not be taken (3).
inline constexpr int kNothingToTake = 1;
inline constexpr int kCannotTake = 3;

}  // namespace CompanionExit
