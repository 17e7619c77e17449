#include "support/TestSupport.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace skyvane::test {

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("skyvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void WriteFitsImage(const std::string& path, const FitsLayout& layout)
{
    int status = 0;
    fitsfile* file = nullptr;
    long axes[2] = {layout.width, layout.height};
    // The name is taken literally, so test files may have any name.
    std::error_code ec;
    std::filesystem::remove(path, ec);
    fits_create_diskfile(&file, path.c_str(), &status);
    fits_create_img(file, layout.bitpix, 2, axes, &status);
    if (layout.bscale != 1.0 || layout.bzero != 0.0) {
        double bscale = layout.bscale;
        double bzero = layout.bzero;
        fits_write_key(file, TDOUBLE, "BSCALE", &bscale, nullptr, &status);
        fits_write_key(file, TDOUBLE, "BZERO", &bzero, nullptr, &status);
        fits_set_bscale(file, bscale, bzero, &status);
    }
    for (const std::string& card : layout.extraCards)
        fits_write_record(file, card.c_str(), &status);
    if (!layout.values.empty()) {
        std::vector<double> values = layout.values;
        long first[2] = {1, 1};
        fits_write_pix(file, TDOUBLE, first, static_cast<LONGLONG>(values.size()), values.data(), &status);
    }
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0) << "could not write test image " << path;
}

std::string WriteFitsFunction(const std::string& path, int width, int height, double (*f)(int, int))
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            layout.values[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = f(x, y);
    WriteFitsImage(path, layout);
    return path;
}

RecordSnapshot TakeSnapshot(const ImageRecord& record, std::size_t valueLimit)
{
    const auto count = static_cast<std::size_t>(record.grid.pixelCount());
    std::vector<double> values;
    if (count <= valueLimit)
        values.assign(record.grid.data(), record.grid.data() + count);
    return {record.grid.width(), record.grid.height(), values, record.cards.block()};
}

void WriteLargeFits16(const std::string& path, int width, int height)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
                          "NAXIS1  = " + std::to_string(width), "NAXIS2  = " + std::to_string(height)});
    std::string row(static_cast<std::size_t>(width) * 2, '\0');
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int v = (x + 3 * y) % 30000;
            row[2 * static_cast<std::size_t>(x)] = static_cast<char>(v >> 8);
            row[2 * static_cast<std::size_t>(x) + 1] = static_cast<char>(v & 0xFF);
        }
        out << row;
    }
    const std::uint64_t data = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 2;
    out << std::string(static_cast<std::size_t>((2880 - data % 2880) % 2880), '\0');
    ASSERT_TRUE(out.good()) << path;
}

std::vector<unsigned char> ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string RawFitsHeader(const std::vector<std::string>& cards)
{
    std::string header;
    auto add = [&header](const std::string& card) {
        std::string padded = card.substr(0, 80);
        padded.resize(80, ' ');
        header += padded;
    };
    for (const std::string& card : cards)
        add(card);
    add("END");
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    return header;
}

int OpenFileCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::vector<std::string> FolderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// The address space this process uses now, from /proc/self/status ("VmSize:  123 kB").
std::uint64_t AddressSpaceInUse()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    std::uint64_t kilobytes = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned long long value = 0;
        if (std::sscanf(line, "VmSize: %llu kB", &value) == 1)
            kilobytes = value;
    }
    std::fclose(status);
    return kilobytes * 1024;
}

} // namespace

bool AddressSpaceLimitsWork()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return true;
#endif
}

ChildEnd RunWithAddressSpaceLimit(std::uint64_t extraBytes, const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::uint64_t inUse = AddressSpaceInUse();
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(inUse + extraBytes);
        if (inUse == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(125);
        int code = 0;
        try {
            code = body();
        } catch (...) {
            std::abort(); // what an exception escaping the program does, never back into the test
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    ChildEnd end;
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return end;
    end.exited = WIFEXITED(status);
    end.code = end.exited ? WEXITSTATUS(status) : -1;
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

} // namespace skyvane::test
