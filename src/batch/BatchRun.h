#pragma once

#include <cstdio>

#include "batch/BatchOptions.h"

namespace skyvane::batch {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitReported = 1; // a message or an error was reported
inline constexpr int ExitUsage = 2;    // usage error, or a --toggle that names no file

// Runs the actions of a parsed command line against one fresh program state, the way the
// desktop program would: replies to out, messages and errors to err as "Error: " + text.
// Returns the exit status.
int RunBatch(const BatchOptions& options, std::FILE* out, std::FILE* err);

} // namespace skyvane::batch
