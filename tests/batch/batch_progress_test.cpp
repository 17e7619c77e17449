// The batch tool's progress line and its end on SIGINT and SIGTERM, with the real program
// in real processes: standard error on a pseudo-terminal, or in a file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

struct Finished {
    int status = -1;      // exit code; -1 when ended by a signal
    std::string terminal; // what the program wrote to its terminal (standard error)
    std::string out;      // standard output
    std::string err;      // standard error, when written to a file
    double seconds = 0.0; // from the start to the end of the terminal's output
    double afterSignal = 0.0; // from the signal to the end of the terminal's output
};

std::string ReadText(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// Frames of 16-bit pixels in folder, enough for a co-addition that runs a while.
void WriteFrames(const std::string& folder, int count, int size)
{
    test::FitsLayout layout;
    layout.width = size;
    layout.height = size;
    layout.bitpix = 16;
    for (int k = 0; k < count; ++k) {
        layout.values.assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), 0.0);
        for (std::size_t i = 0; i < layout.values.size(); ++i)
            layout.values[i] = static_cast<double>((i * 7 + static_cast<std::size_t>(k) * 13) % 1000);
        char name[32];
        std::snprintf(name, sizeof name, "/f%03d.fit", k);
        test::WriteFitsImage(folder + name, layout);
    }
}

class BatchProgressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        frames = sandbox.file("frames");
        std::filesystem::create_directories(frames);
        WriteFrames(frames, FrameCount, FrameSize);
        std::filesystem::create_directories(sandbox.file(".config"));
        // The co-added means have fractions: saved as 32-bit floating point they are kept,
        // and standard error holds nothing but the progress line.
        test::WriteFileBytes(sandbox.file(".config/Skyvane.ini"), "[Image processing parameters]\nSave FITS as=1\n");
    }

    // Sigma clipping with many rounds: most of a second of work on a fast machine, so that
    // a signal sent once progress shows comes well before the end.
    std::vector<std::string> coadd() const { return {"--workdir", frames, "-c", "sigmaclip [WORK] 3 200", "--save", output()}; }
    std::string output() const { return sandbox.file("out.fit"); }

    // The program's side of the fork: settings of the sandbox, standard output (and
    // standard error unless it is the terminal) to files, then the program.
    [[noreturn]] void exec(const std::vector<std::string>& args, bool stderrToFile) const
    {
        ::setenv("XDG_CONFIG_HOME", sandbox.file(".config").c_str(), 1);
        if (!std::freopen(sandbox.file(".stdout").c_str(), "wb", stdout))
            ::_exit(127);
        if (stderrToFile && !std::freopen(sandbox.file(".stderr").c_str(), "wb", stderr))
            ::_exit(127);
        std::vector<std::string> copies = args;
        std::string program = SKYVANE_BATCH_PATH;
        std::vector<char*> argv{program.data()};
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }

    // Runs the program with standard error on a pseudo-terminal; when signal is not 0 it is
    // sent as soon as the first progress line has come.
    Finished runOnTerminal(const std::vector<std::string>& args, int signal = 0) const
    {
        int master = -1;
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 30;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0)
            exec(args, false);
        Finished finished;
        EXPECT_GT(pid, 0);
        if (pid <= 0)
            return finished;
        bool signalled = false;
        auto signalledAt = start;
        char buffer[4096];
        for (;;) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 30000) <= 0)
                break;
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got <= 0)
                break; // EIO: the program has ended and the terminal is closed
            finished.terminal.append(buffer, static_cast<std::size_t>(got));
            if (signal != 0 && !signalled && finished.terminal.find("\rReading frame ") != std::string::npos) {
                ::kill(pid, signal);
                signalled = true;
                signalledAt = std::chrono::steady_clock::now();
            }
        }
        const auto end = std::chrono::steady_clock::now();
        finished.seconds = std::chrono::duration<double>(end - start).count();
        if (signalled)
            finished.afterSignal = std::chrono::duration<double>(end - signalledAt).count();
        ::close(master);
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        finished.out = ReadText(sandbox.file(".stdout"));
        EXPECT_TRUE(signal == 0 || signalled) << "no progress came to send the signal after";
        return finished;
    }

    Finished runToFile(const std::vector<std::string>& args) const
    {
        const pid_t pid = ::fork();
        if (pid == 0)
            exec(args, true);
        Finished finished;
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        finished.out = ReadText(sandbox.file(".stdout"));
        finished.err = ReadText(sandbox.file(".stderr"));
        return finished;
    }

    static constexpr int FrameCount = 300;
    static constexpr int FrameSize = 64;
    TempDir sandbox;
    std::string frames;
};

// The lines written in place: each update starts with a carriage return.
std::vector<std::string> ProgressUpdates(const std::string& terminal)
{
    std::vector<std::string> updates;
    std::size_t at = terminal.find('\r');
    while (at != std::string::npos) {
        const std::size_t next = terminal.find('\r', at + 1);
        std::string update = terminal.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (!update.empty() && update.front() != ' ' && update.front() != '\n')
            updates.push_back(update);
        at = next;
    }
    return updates;
}

TEST_F(BatchProgressTest, ProgressLineOnATerminalOnly)
{
    const Finished onTerminal = runOnTerminal(coadd());
    EXPECT_EQ(onTerminal.status, 0) << onTerminal.terminal;
    EXPECT_EQ(onTerminal.out, "     co-added image has been calculated with sigma clipping\n");
    const std::vector<std::string> updates = ProgressUpdates(onTerminal.terminal);
    ASSERT_FALSE(updates.empty()) << onTerminal.terminal;
    EXPECT_EQ(updates.front().rfind("Reading frame 1 of 300 (0%)", 0), 0u) << updates.front();
    for (const std::string& update : updates)
        EXPECT_TRUE(update.rfind("Reading frame ", 0) == 0 || update.rfind("Combining rows ", 0) == 0) << update;
    // At most ten a second, and the line is gone at the end: blanks, back to its start.
    EXPECT_LE(static_cast<double>(updates.size()), 1.0 + 10.0 * onTerminal.seconds);
    const std::size_t lastReturn = onTerminal.terminal.find_last_of('\r', onTerminal.terminal.size() - 2);
    ASSERT_NE(lastReturn, std::string::npos);
    EXPECT_EQ(onTerminal.terminal.back(), '\r');
    EXPECT_EQ(onTerminal.terminal.find_first_not_of(' ', lastReturn + 1), onTerminal.terminal.size() - 1) << onTerminal.terminal;
    EXPECT_TRUE(std::filesystem::exists(output()));

    std::filesystem::remove(output());
    const Finished toFile = runToFile(coadd());
    EXPECT_EQ(toFile.status, 0);
    EXPECT_EQ(toFile.out, "     co-added image has been calculated with sigma clipping\n");
    EXPECT_EQ(toFile.err, "");
    EXPECT_TRUE(std::filesystem::exists(output()));
}

// SIGINT or SIGTERM in the middle of a co-addition: the co-addition stops, nothing after
// it runs, no file is written, and the run ends with "Error: cancelled" and status 1.
TEST_F(BatchProgressTest, InterruptStopsCleanly)
{
    const std::vector<std::string> before = test::FolderEntries(sandbox.path().string());
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        const Finished finished = runOnTerminal(coadd(), signal);
        EXPECT_EQ(finished.status, 1) << finished.terminal;
        EXPECT_EQ(finished.out, "     co-addition cancelled\n");
        // The progress line is cleared first; the message is the last thing written.
        const std::string end = " \rError: cancelled\r\n";
        EXPECT_TRUE(finished.terminal.size() > end.size() && finished.terminal.compare(finished.terminal.size() - end.size(), end.size(), end) == 0)
            << finished.terminal;
        EXPECT_FALSE(std::filesystem::exists(output()));
        std::vector<std::string> after = test::FolderEntries(sandbox.path().string());
        after.erase(std::remove(after.begin(), after.end(), ".stdout"), after.end());
        EXPECT_EQ(after, before);
        std::printf("[ figures ] %s: %.0f ms from the signal to the end\n", signal == SIGINT ? "SIGINT" : "SIGTERM", 1000.0 * finished.afterSignal);
    }
}

} // namespace
} // namespace skyvane
