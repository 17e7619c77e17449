#pragma once

#include <string>
#include <vector>

namespace skyvane::test {

// How a program run as a real process ended, and what it wrote.
struct ProgramRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;  // standard output (on a terminal: what reached it, CR LF read as LF)
    std::string err;  // standard error
};

struct ProgramPlace {
    std::string scratch;       // a folder of the test for the output files and settings
    std::string cwd;           // where it runs; empty: where the test runs
    bool outputOnTerminal = false; // standard output (and input) on a pseudo-terminal
};

// Runs program with args; its settings live in a configuration folder of the scratch
// folder (XDG_CONFIG_HOME), never the user's. Standard error always goes to a file.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, const ProgramPlace& place);

} // namespace skyvane::test
