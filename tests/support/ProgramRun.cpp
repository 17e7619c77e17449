#include "support/ProgramRun.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace skyvane::test {

namespace {

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The child's side: settings of the scratch folder, its files, then the program.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args, const ProgramPlace& place,
                       const std::string& outPath, const std::string& errPath, const std::string& config)
{
    if (!place.cwd.empty() && ::chdir(place.cwd.c_str()) != 0)
        ::_exit(127);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (!place.outputOnTerminal && !std::freopen(outPath.c_str(), "wb", stdout))
        ::_exit(127);
    if (!std::freopen(errPath.c_str(), "wb", stderr))
        ::_exit(127);
    std::vector<std::string> copies = args;
    std::string name = program;
    std::vector<char*> argv{name.data()};
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(name.c_str(), argv.data());
    ::_exit(127);
}

} // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args, const ProgramPlace& place)
{
    const std::string outPath = (std::filesystem::path(place.scratch) / ".stdout").string();
    const std::string errPath = (std::filesystem::path(place.scratch) / ".stderr").string();
    const std::string config = (std::filesystem::path(place.scratch) / ".config").string();
    std::filesystem::create_directories(config);
    ProgramRun run;
    int master = -1;
    pid_t pid = -1;
    if (place.outputOnTerminal) {
        winsize size{};
        size.ws_col = 200;
        size.ws_row = 50;
        pid = ::forkpty(&master, nullptr, nullptr, &size);
    } else {
        std::fflush(nullptr);
        pid = ::fork();
    }
    if (pid == 0)
        Exec(program, args, place, outPath, errPath, config);
    EXPECT_GT(pid, 0);
    if (pid <= 0)
        return run;
    if (place.outputOnTerminal) {
        std::string terminal;
        char buffer[4096];
        for (;;) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 120000) <= 0)
                break;
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got <= 0)
                break; // EIO: the program has ended and the terminal is closed
            terminal.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(master);
        // The terminal writes every LF as CR LF.
        for (std::size_t i = 0; i < terminal.size(); ++i) {
            if (!(terminal[i] == '\r' && i + 1 < terminal.size() && terminal[i + 1] == '\n'))
                run.out += terminal[i];
        }
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << program << " did not exit normally";
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!place.outputOnTerminal)
        run.out = ReadWhole(outPath);
    run.err = ReadWhole(errPath);
    return run;
}

} // namespace skyvane::test
