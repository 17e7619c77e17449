#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace skyvane::batch {

// One step of a batch run, in the order given on the command line.
enum class ActionKind {
    Open,       // --open FILE
    Command,    // -c / --command TEXT
    Script,     // --script FILE
    Add,        // --add FILE
    Toggle,     // --toggle NAME K
    Thresholds, // --thresholds LO HI
    Auto,       // --auto
    Invert,     // --invert
    Save,       // --save FILE
    Export,     // --export FILE
    Lists,      // --lists
    Help,       // --help
    Version,    // --version
};

struct Action {
    ActionKind kind = ActionKind::Help;
    std::string first;  // FILE, TEXT, NAME or LO
    std::string second; // HI
    long long position = 0; // K of --toggle
};

struct BatchOptions {
    bool hasIni = false;
    std::string iniPath;
    bool hasWorkdir = false;
    std::string workdir;
    std::vector<Action> actions;
};

// Reads the whole command line (argv[1..]) before anything runs. On a usage error (an
// unknown option, a missing argument, a global option after the first action, a --toggle
// position that is not a whole number or a --thresholds value that is not a number, no
// action at all) returns false with a one-line explanation in error.
bool ParseBatchOptions(const std::vector<std::string>& args, BatchOptions& options, std::string& error);

// An optional sign and at least one digit, nothing else (of any length: the edit reads
// its first five characters): what --thresholds takes for an image of whole numbers.
bool IsWholeNumberText(std::string_view text);

// The short description printed by --help (and after a usage error).
std::string BatchUsage();

} // namespace skyvane::batch
