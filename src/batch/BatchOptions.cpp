#include "batch/BatchOptions.h"

#include <array>
#include <charconv>
#include <string_view>

namespace skyvane::batch {

namespace {

struct ActionSpelling {
    std::string_view option;
    ActionKind kind;
    int arguments;
};

constexpr std::array<ActionSpelling, 14> ActionOptions{{
    {"--open", ActionKind::Open, 1},
    {"-c", ActionKind::Command, 1},
    {"--command", ActionKind::Command, 1},
    {"--script", ActionKind::Script, 1},
    {"--add", ActionKind::Add, 1},
    {"--toggle", ActionKind::Toggle, 2},
    {"--thresholds", ActionKind::Thresholds, 2},
    {"--auto", ActionKind::Auto, 0},
    {"--invert", ActionKind::Invert, 0},
    {"--save", ActionKind::Save, 1},
    {"--export", ActionKind::Export, 1},
    {"--lists", ActionKind::Lists, 0},
    {"--help", ActionKind::Help, 0},
    {"--version", ActionKind::Version, 0},
}};

// A whole number, optionally signed, nothing else.
bool ParseWholeNumber(std::string_view text, long long& value)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// An optional sign, digits with an optional fraction (at least one digit), an optional
// exponent (e or E, optional sign, digits), nothing else: a number as the threshold edits
// of an image of any values read it.
bool IsNumberText(std::string_view text)
{
    const auto digits = [&text] {
        std::size_t n = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9')
            ++n;
        text.remove_prefix(n);
        return n;
    };
    if (!text.empty() && (text.front() == '+' || text.front() == '-'))
        text.remove_prefix(1);
    std::size_t mantissa = digits();
    if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (!text.empty() && (text.front() == 'e' || text.front() == 'E')) {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-'))
            text.remove_prefix(1);
        if (digits() == 0)
            return false;
    }
    return text.empty();
}

} // namespace

bool IsWholeNumberText(std::string_view text)
{
    if (!text.empty() && (text.front() == '+' || text.front() == '-'))
        text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

namespace {

} // namespace

bool ParseBatchOptions(const std::vector<std::string>& args, BatchOptions& options, std::string& error)
{
    options = BatchOptions{};
    std::size_t i = 0;
    const auto missing = [&error](std::string_view option) {
        error = "option " + std::string(option) + " needs an argument";
        return false;
    };

    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--ini" || arg == "--workdir") {
            if (!options.actions.empty()) {
                error = "option " + arg + " must come before the first action";
                return false;
            }
            if (i + 1 >= args.size())
                return missing(arg);
            if (arg == "--ini") {
                options.hasIni = true;
                options.iniPath = args[++i];
            } else {
                options.hasWorkdir = true;
                options.workdir = args[++i];
            }
            continue;
        }

        const ActionSpelling* spelling = nullptr;
        for (const ActionSpelling& candidate : ActionOptions)
            if (arg == candidate.option)
                spelling = &candidate;
        if (spelling == nullptr) {
            error = "unknown option " + arg;
            return false;
        }
        if (i + static_cast<std::size_t>(spelling->arguments) >= args.size())
            return missing(arg);

        Action action;
        action.kind = spelling->kind;
        if (spelling->arguments >= 1)
            action.first = args[++i];
        if (spelling->arguments >= 2)
            action.second = args[++i];
        if (action.kind == ActionKind::Toggle) {
            if (!ParseWholeNumber(action.second, action.position)) {
                error = "--toggle needs a whole number as file position, not \"" + action.second + "\"";
                return false;
            }
        }
        if (action.kind == ActionKind::Thresholds) {
            // Typed into the edits, any text would be taken (as 0 when not a number); on a
            // command line that is a mistake worth stopping for. Whether a number must be
            // whole depends on the image the run will show (BatchRun).
            for (const std::string* value : {&action.first, &action.second}) {
                if (!IsNumberText(*value)) {
                    error = "--thresholds needs two numbers, not \"" + *value + "\"";
                    return false;
                }
            }
        }
        options.actions.push_back(std::move(action));
    }

    if (options.actions.empty()) {
        error = "no action given";
        return false;
    }
    return true;
}

std::string BatchUsage()
{
    return "usage: skyvane-batch [--ini FILE] [--workdir DIR] ACTION...\n"
           "Global options, before the first action:\n"
           "  --ini FILE            settings file to read instead of the desktop program's\n"
           "                        own (never written)\n"
           "  --workdir DIR         working directory of this run (the [WORK] list)\n"
           "Actions, run in the order given:\n"
           "  --open FILE           open FILE as Image A and set the thresholds by Auto\n"
           "  -c, --command TEXT    run one command line; its reply goes to standard output\n"
           "  --script FILE         run every line of FILE as one command\n"
           "  --add FILE            add FILE, selected, to the image list of its folder\n"
           "  --toggle NAME K       flip the selection of file K (from 1) of the list NAME\n"
           "  --thresholds LO HI    type LO and HI into the two threshold edits: whole\n"
           "                        numbers for an image of whole numbers within 0..32767,\n"
           "                        real numbers for any other\n"
           "  --auto                thresholds from the median of Image A\n"
           "  --invert              exchange the two thresholds\n"
           "  --save FILE           save Image A as a FITS file\n"
           "  --export FILE         export the displayed picture: a 24-bit bitmap, or by the\n"
           "                        name's suffix PNG (.png), JPEG (.jpg) or 16-bit TIFF (.tif)\n"
           "  --lists               print every image list with its files\n"
           "  --help                print this text\n"
           "  --version             print the program's name and version\n"
           "Every error is written to standard error as \"Error: ...\".\n"
           "Exit status: 0 success, 1 an error was reported, 2 usage error or a --toggle\n"
           "that names no file (the actions before it have run).\n";
}

} // namespace skyvane::batch
