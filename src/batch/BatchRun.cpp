#include "batch/BatchRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "base/LongWork.h"
#include "base/Paths.h"
#include "base/PrintableText.h"
#include "batch/Interrupt.h"
#include "command/CommandProtocol.h"
#include "command/Interpreter.h"
#include "command/Messages.h"
#include "context/AppContext.h"
#include "context/Settings.h"
#include "display/ThresholdModel.h"
#include "lists/ImageListTree.h"
#include "Version.h"
#include "workbench/Workbench.h"

namespace skyvane::batch {

namespace {

// The batch tool's way of showing a message box: one line on standard error, and for a
// message about one file its path on a line of its own ("  file: PATH"), so that the
// "Error: " line keeps the exact text that scripts match. Every message counts as a
// failure of the run. When standard error is a terminal, a long step's progress is one
// line there, rewritten in place at most ten times a second and cleared when the step
// ends or a message comes; elsewhere progress shows nothing. The user's wish to stop is
// SIGINT or SIGTERM.
class StderrMessages final : public Feedback {
public:
    StderrMessages(std::FILE* out, std::FILE* err) : out_(out), err_(err), terminal_(::isatty(::fileno(err)) == 1) {}

    void showError(const std::string& text) override { report(text); }
    void showFileError(const std::string& text, const std::string& path) override { report(text, &path); }
    void showNotice(const std::string& text) override
    {
        std::fflush(out_);
        std::fprintf(err_, "Warning: %s\n", PrintableLines(text).c_str());
        std::fflush(err_);
    }

    void showProgress(const std::string& text, double fraction) override
    {
        if (!terminal_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (progressShown_ && now - lastProgress_ < std::chrono::milliseconds(100))
            return;
        progressShown_ = true;
        lastProgress_ = now;
        const double percent = std::floor(std::clamp(fraction, 0.0, 1.0) * 100.0);
        std::string line = PrintableText(text) + " (" + std::to_string(static_cast<int>(percent)) + "%)";
        const std::size_t width = line.size();
        if (line.size() < progressWidth_)
            line.append(progressWidth_ - line.size(), ' '); // over what the last line left
        std::fprintf(err_, "\r%s", line.c_str());
        std::fflush(err_);
        progressWidth_ = width;
    }

    bool cancelRequested() const override { return InterruptRequested(); }

    // The progress line, if any, goes.
    void clearProgress()
    {
        if (progressWidth_ == 0)
            return;
        std::fprintf(err_, "\r%s\r", std::string(progressWidth_, ' ').c_str());
        std::fflush(err_);
        progressWidth_ = 0;
    }

    void report(const std::string& text, const std::string* path = nullptr)
    {
        clearProgress();
        std::fflush(out_); // keep replies and errors in their order on a shared terminal
        // Messages may carry names and bytes from files: escaped, they cannot drive the
        // terminal. The line breaks of a message are its own and stay line breaks.
        std::fprintf(err_, "Error: %s\n", PrintableLines(text).c_str());
        if (path)
            std::fprintf(err_, "  file: %s\n", PrintableText(*path).c_str());
        std::fflush(err_);
        ++failures;
    }

    int failures = 0;

private:
    std::FILE* out_;
    std::FILE* err_;
    bool terminal_;
    bool progressShown_ = false;
    std::chrono::steady_clock::time_point lastProgress_;
    std::size_t progressWidth_ = 0; // characters of the progress line on the terminal
};

// The long part of a command runs in place; its progress line goes when it ends.
class ProgressLineRunner final : public LongWorkRunner {
public:
    explicit ProgressLineRunner(StderrMessages& messages) : messages_(messages) {}

    void runLongWork(std::string_view, const std::function<void(Feedback&)>& work) override
    {
        try {
            work(messages_);
        } catch (...) {
            messages_.clearProgress();
            throw;
        }
        messages_.clearProgress();
    }

private:
    StderrMessages& messages_;
};

// The Command window of the batch tool: a reply (code 102) goes to standard output with
// its CR LF line breaks written as LF, followed by one LF. Replies name files and quote
// their cards: on a terminal each line is made printable (a name's own line break or
// escape sequence is written as \xNN), elsewhere the bytes stay as they are. Echo and
// empty prompt show nothing.
class StdoutCommandWindow final : public CommandWindowLink {
public:
    StdoutCommandWindow(const AppContext& context, std::FILE* out)
        : context_(context), out_(out), terminal_(::isatty(::fileno(out)) == 1)
    {
    }

    void sendReply(int code) override
    {
        if ((code & 0xFFFF) != CodeReplied)
            return;
        std::string text;
        std::string_view reply = context_.ReplySlot;
        text.reserve(reply.size() + 1);
        for (;;) {
            const std::size_t end = reply.find("\r\n");
            const std::string_view line = reply.substr(0, end);
            if (terminal_)
                text += PrintableText(line);
            else
                text += line;
            text += '\n';
            if (end == std::string_view::npos)
                break;
            reply.remove_prefix(end + 2);
        }
        std::fwrite(text.data(), 1, text.size(), out_);
    }

private:
    const AppContext& context_;
    std::FILE* out_;
    bool terminal_;
};

class BatchRunner {
public:
    BatchRunner(std::FILE* out, std::FILE* err)
        : out_(out), messages_(out, err), longWork_(messages_), workbench_(messages_, displaySink_, status_),
          context_(workbench_.context()), commandWindow_(context_, out)
    {
        context_.longWork = &longWork_;
    }

    // Settings, working directory and the start-up list, as the desktop program starts. The
    // settings file is read only: an equalisation chosen by a script lasts for this run.
    void start(const Settings& settings, const std::string& settingsPath)
    {
        workbench_.start(settings, settingsPath);
        context_.keepEqualisation = false;
    }

    // Runs one action. Returns false when the run must stop here (exit status 2).
    bool run(const Action& action)
    {
        switch (action.kind) {
        case ActionKind::Open:
            workbench_.openImage(action.first);
            return true;
        case ActionKind::Command:
            workbench_.submitCommand(action.first, commandWindow_);
            return true;
        case ActionKind::Script:
            script(action.first);
            return true;
        case ActionKind::Add:
            add(action.first);
            return true;
        case ActionKind::Toggle:
            return toggle(action.first, action.position);
        case ActionKind::Thresholds:
            return thresholds(action.first, action.second);
        case ActionKind::Auto:
            workbench_.autoThresholds();
            return true;
        case ActionKind::Invert:
            workbench_.thresholds().invert();
            return true;
        case ActionKind::Save:
            if (requireImage())
                (void)workbench_.saveImage(action.first); // reports its failures
            return true;
        case ActionKind::Export:
            if (requireImage())
                (void)workbench_.exportPicture(action.first); // reports its failures
            return true;
        case ActionKind::Lists:
            printLists();
            return true;
        case ActionKind::Help:
            std::fputs(BatchUsage().c_str(), out_);
            return true;
        case ActionKind::Version:
            std::fputs("skyvane-batch " SKYVANE_VERSION "\n", out_);
            return true;
        }
        return true;
    }

    int failures() const { return messages_.failures; }
    void fail(const std::string& text) { messages_.report(text); }

private:
    void script(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            fail("cannot read script file " + PrintableText(path));
            return;
        }
        const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) {
            fail("cannot read script file " + PrintableText(path));
            return;
        }
        std::size_t start = 0;
        while (start < content.size() && !InterruptRequested()) {
            std::size_t end = content.find('\n', start);
            const bool terminated = end != std::string::npos;
            if (!terminated)
                end = content.size();
            std::size_t lineEnd = end;
            if (terminated && lineEnd > start && content[lineEnd - 1] == '\r')
                --lineEnd; // CR LF ends a line as LF does
            workbench_.submitCommand(content.substr(start, lineEnd - start), commandWindow_);
            start = end + 1;
        }
    }

    // "New image(s)" with one chosen file. A bare file name has no folder part; it stands
    // in the current directory, which then names the list.
    void add(const std::string& file)
    {
        std::string path = file;
        if (path.find_first_of("/\\") == std::string::npos) {
            std::error_code ec;
            const std::filesystem::path current = std::filesystem::current_path(ec);
            if (!ec)
                path = JoinPath(current.string(), file);
        }
        (void)workbench_.addFilesToList({path});
    }

    bool toggle(const std::string& name, long long position)
    {
        ImageListTree& lists = context_.lists;
        const int n = FindListByName(lists, name);
        if (n == 0) {
            fail("--toggle: there is no image list named \"" + PrintableText(name) + "\"");
            return false;
        }
        const int count = lists.FileCount(n);
        if (position < 1 || position > count) {
            fail("--toggle: the list \"" + PrintableText(name) + "\" has no file " + std::to_string(position) + " (it has " + std::to_string(count) + ")");
            return false;
        }
        lists.ToggleFile(lists.FileItem(n, static_cast<int>(position)));
        return true;
    }

    // Real numbers are thresholds of an image of any values only; for an image of whole
    // numbers within 0..32767 (or none) a fraction is the mistake a whole number's place
    // would be, which stops the run as a usage error.
    bool thresholds(const std::string& low, const std::string& high)
    {
        ThresholdModel& model = workbench_.thresholds();
        if (model.world() == ValueWorld::Whole) {
            for (const std::string* value : {&low, &high}) {
                if (!IsWholeNumberText(*value)) {
                    fail("--thresholds needs two whole numbers for an image of whole numbers within 0..32767, not \"" + *value + "\"");
                    return false;
                }
            }
        }
        model.setLowText(low);
        model.setHighText(high);
        return true;
    }

    bool requireImage()
    {
        if (context_.imagePresent())
            return true;
        fail("no image is displayed");
        return false;
    }

    // One line per list and per file, wherever it goes: names are made printable, so that
    // a line break in a folder's or a file's name cannot split an entry.
    void printLists()
    {
        const ImageListTree& lists = context_.lists;
        std::string text;
        for (int n = 1; n <= lists.ListCount(); ++n) {
            text += PrintableText(lists.ListLabel(n));
            text += '\n';
            for (int k = 1; k <= lists.FileCount(n); ++k) {
                text += lists.IsFileSelected(lists.FileItem(n, k)) ? "  [x] " : "  [ ] ";
                text += PrintableText(lists.FileLabel(n, k));
                text += '\n';
            }
        }
        std::fwrite(text.data(), 1, text.size(), out_);
    }

    std::FILE* out_;
    StderrMessages messages_;
    ProgressLineRunner longWork_;
    NullDisplaySink displaySink_;
    NullStatusSink status_;
    Workbench workbench_;
    AppContext& context_;
    StdoutCommandWindow commandWindow_;
};

// True when path is the system's empty device (/dev/null by any name).
bool IsEmptyDevice(const std::string& path)
{
    struct stat given {};
    struct stat empty {};
    return ::stat(path.c_str(), &given) == 0 && ::stat("/dev/null", &empty) == 0 && S_ISCHR(given.st_mode) &&
           given.st_rdev == empty.st_rdev;
}

} // namespace

int RunBatch(const BatchOptions& options, std::FILE* out, std::FILE* err)
{
    // Explicitly named files and folders must exist: a typing error should not quietly
    // run everything against default settings or an empty working list.
    const std::string iniPath = options.hasIni ? options.iniPath : DefaultSettingsPath();
    if (options.hasIni) {
        // Only a regular file, or the empty device standing for no settings at all: opening
        // a FIFO nobody writes would wait for ever.
        std::error_code ec;
        const bool regular = std::filesystem::is_regular_file(iniPath, ec) || IsEmptyDevice(iniPath);
        std::ifstream probe;
        if (regular)
            probe.open(iniPath, std::ios::binary);
        if (!regular || !probe) {
            std::fprintf(err, "Error: cannot read settings file %s\n", PrintableText(iniPath).c_str());
            return ExitUsage;
        }
    }
    if (options.hasWorkdir && !std::filesystem::is_directory(options.workdir)) {
        std::fprintf(err, "Error: working directory %s is not a folder\n", PrintableText(options.workdir).c_str());
        return ExitUsage;
    }

    Settings settings = LoadSettings(iniPath);
    if (options.hasWorkdir) {
        settings.WorkingDirectory = options.workdir;
        settings.LastImageFolder = options.workdir;
    }

    BatchRunner runner(out, err);
    runner.start(settings, iniPath);
    for (const Action& action : options.actions) {
        bool goOn = true;
        try {
            goOn = runner.run(action);
        } catch (const std::bad_alloc&) {
            // Whatever memory an action could not have, the next one may not need it.
            runner.fail("not enough memory");
        }
        if (!goOn) {
            std::fflush(out);
            return ExitUsage;
        }
        // Stopped by SIGINT or SIGTERM: what was under way has ended cleanly (a long step
        // stopped and changed nothing, a file being written was written whole), and nothing
        // after it runs.
        if (InterruptRequested()) {
            runner.fail("cancelled");
            std::fflush(out);
            return ExitReported;
        }
    }
    std::fflush(out);
    return runner.failures() > 0 ? ExitReported : ExitSuccess;
}

} // namespace skyvane::batch
