#include "support/TestSupport.h"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
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
    std::string name = "!" + path;
    long axes[2] = {layout.width, layout.height};
    fits_create_file(&file, name.c_str(), &status);
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

} // namespace skyvane::test
