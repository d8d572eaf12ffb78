#pragma once

// Standard error: what an operator needs beyond the run log's fixed texts
// (the driver's SQLSTATE and message, errno texts, waits), one line per
// event. A clean pass writes nothing here, and never a password.
namespace ErrorOutput {

// Writes "<program>: " plus the formatted text plus "\n" in one write.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ErrorOutput
