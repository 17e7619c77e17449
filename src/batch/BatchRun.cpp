#include "batch/BatchRun.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "base/Paths.h"
#include "base/Paths.h"
#include "base/PrintableText.h"
#include "base/PrintableText.h"
#include "command/CommandProtocol.h"
#include "command/CommandProtocol.h"
#include "command/Interpreter.h"
#include "command/Interpreter.h"
#include "command/Messages.h"
#include "context/AppContext.h"
#include "context/Settings.h"
#include "context/Settings.h"
#include "display/ThresholdModel.h"
#include "lists/ImageListTree.h"
#include "lists/ImageListTree.h"
#include "Version.h"
#include "workbench/Workbench.h"

namespace skyvane::batch {

namespace {

// The batch tool's way of showing a message box: one line on standard error, and for a
// message about one file its path on a line of its own ("  file: PATH"), so that the
// "Error: " line keeps the exact text that scripts match. Every message counts as a
// failure of the run.
class StderrMessages final : public Feedback {
public:
    StderrMessages(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    void showError(const std::string& text) override { report(text); }
    void showFileError(const std::string& text, const std::string& path) override { report(text, &path); }

    void report(const std::string& text, const std::string* path = nullptr)
    {
        std::fflush(out_); // keep replies and errors in their order on a shared terminal
        // Messages may carry names and bytes from files: escaped, they cannot drive the terminal.
        std::fprintf(err_, "Error: %s\n", PrintableText(text).c_str());
        if (path)
            std::fprintf(err_, "  file: %s\n", PrintableText(*path).c_str());
        std::fflush(err_);
        ++failures;
    }

    int failures = 0;

private:
    std::FILE* out_;
    std::FILE* err_;
};

// The Command window of the batch tool: a reply (code 102) goes to standard output with
// its CR LF line breaks written as LF, followed by one LF. Echo and empty prompt show
// nothing.
class StdoutCommandWindow final : public CommandWindowLink {
public:
    StdoutCommandWindow(const AppContext& context, std::FILE* out) : context_(context), out_(out) {}

    void sendReply(int code) override
    {
        if ((code & 0xFFFF) != CodeReplied)
            return;
        std::string text;
        const std::string& reply = context_.ReplySlot;
        text.reserve(reply.size() + 1);
        for (std::size_t i = 0; i < reply.size(); ++i) {
            if (reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n')
                continue;
            text += reply[i];
        }
        text += '\n';
        std::fwrite(text.data(), 1, text.size(), out_);
    }

private:
    const AppContext& context_;
    std::FILE* out_;
};

class BatchRunner {
public:
    BatchRunner(std::FILE* out, std::FILE* err)
        : out_(out), messages_(out, err), workbench_(messages_, displaySink_, status_), context_(workbench_.context()),
          commandWindow_(context_, out)
    {
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
            workbench_.thresholds().setLowText(action.first);
            workbench_.thresholds().setHighText(action.second);
            return true;
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
            fail("cannot read script file " + path);
            return;
        }
        const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) {
            fail("cannot read script file " + path);
            return;
        }
        std::size_t start = 0;
        while (start < content.size()) {
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
            fail("--toggle: there is no image list named \"" + name + "\"");
            return false;
        }
        const int count = lists.FileCount(n);
        if (position < 1 || position > count) {
            fail("--toggle: the list \"" + name + "\" has no file " + std::to_string(position) + " (it has " + std::to_string(count) + ")");
            return false;
        }
        lists.ToggleFile(lists.FileItem(n, static_cast<int>(position)));
        return true;
    }

    bool requireImage()
    {
        if (context_.imagePresent())
            return true;
        fail("no image is displayed");
        return false;
    }

    void printLists()
    {
        const ImageListTree& lists = context_.lists;
        std::string text;
        for (int n = 1; n <= lists.ListCount(); ++n) {
            text += lists.ListLabel(n);
            text += '\n';
            for (int k = 1; k <= lists.FileCount(n); ++k) {
                text += lists.IsFileSelected(lists.FileItem(n, k)) ? "  [x] " : "  [ ] ";
                text += lists.FileLabel(n, k);
                text += '\n';
            }
        }
        std::fwrite(text.data(), 1, text.size(), out_);
    }

    std::FILE* out_;
    StderrMessages messages_;
    NullDisplaySink displaySink_;
    NullStatusSink status_;
    Workbench workbench_;
    AppContext& context_;
    StdoutCommandWindow commandWindow_;
};

} // namespace

int RunBatch(const BatchOptions& options, std::FILE* out, std::FILE* err)
{
    // Explicitly named files and folders must exist: a typing error should not quietly
    // run everything against default settings or an empty working list.
    const std::string iniPath = options.hasIni ? options.iniPath : DefaultSettingsPath();
    if (options.hasIni) {
        // Only a regular file: opening a FIFO nobody writes would wait for ever.
        std::error_code ec;
        const bool regular = std::filesystem::is_regular_file(iniPath, ec);
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
    }
    std::fflush(out);
    return runner.failures() > 0 ? ExitReported : ExitSuccess;
}

} // namespace skyvane::batch
