// Loads arbitrary bytes as a FITS file: the loader must never crash, hang or leak, and
// every failure must come with the messages of its step. The file is opened as every path
// is (by its literal name, gzipped bytes through the bounded inflater), so the fuzzer
// covers that road too.
//   build-fuzz/fuzz/fits_load_fuzzer -close_fd_mask=2 -max_total_time=300 corpus-dir tests/corpus/fits
// (-close_fd_mask=2 silences the library's reports of broken files; crashes still show.)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/Feedback.h"
#include "command/Messages.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace {

class Recording final : public skyvane::Feedback {
public:
    void showError(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

std::string filePath;

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool IsLoadFailure(const std::string& text)
{
    return text == "Error while reading image size" || text == "Error while reading image data" ||
           text == "Error while reading image headers" ||
           (text.rfind("Not enough memory for an image of ", 0) == 0 && text.back() == '.');
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char name[] = "/tmp/skyvane-fuzz-XXXXXX.fit";
    const int fd = ::mkstemps(name, 4);
    if (fd < 0)
        std::abort();
    ::close(fd);
    filePath = name;
    std::atexit([] { ::unlink(filePath.c_str()); });
    // Declared sizes up to 64 MB are allocated and read; larger ones take the "not enough
    // memory" path, as on a machine of that size.
    skyvane::SetGridMemoryLimit(std::uint64_t{64} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* out = std::fopen(filePath.c_str(), "wb");
    if (out == nullptr)
        return 0;
    if (size > 0)
        std::fwrite(data, 1, size, out);
    std::fclose(out);

    // A record that already holds an image, as Image A or B would.
    skyvane::ImageRecord record;
    record.grid.resize(3, 2);
    record.grid[2][1] = 42.0;
    record.cards.append("OBJECT  = 'before'");
    Recording messages;
    const int result = skyvane::loadFitsReporting(record, filePath, messages) ? 0 : 1;

    if (result == 0) {
        Check(messages.texts.empty(), "success shows no message");
        Check(record.grid.width() >= 0 && record.grid.height() >= 0, "extents not negative");
        Check(record.cards.block().size() == static_cast<std::size_t>(record.cards.count()) * 81, "card block size");
        // Touch every value: a grid that claims more than it holds would fault here.
        double sum = 0.0;
        for (std::int64_t i = 0; i < record.grid.pixelCount(); ++i)
            sum += record.grid.data()[i];
        (void)sum;
    } else {
        Check(result == 1, "failure returns 1");
        Check(!messages.texts.empty() && IsLoadFailure(messages.texts.back()), "failure names its step");
        const std::string& last = messages.texts.back();
        if (last == "Error while reading image size" || last.rfind("Not enough memory", 0) == 0) {
            Check(record.grid.width() == 3 && record.grid.height() == 2 && record.grid[2][1] == 42.0, "grid kept");
            Check(record.cards.count() == 1, "cards kept");
        }
        if (last == "Error while reading image data")
            Check(record.cards.count() == 1, "cards kept after a data error");
    }

    // Loading the same file again reuses a grid of its size: same outcome, same size.
    const int width = record.grid.width();
    const int height = record.grid.height();
    Recording again;
    Check((skyvane::loadFitsReporting(record, filePath, again) ? 0 : 1) == result, "a second load gives the same result");
    Check(again.texts == messages.texts, "a second load gives the same messages");
    if (result == 0)
        Check(record.grid.width() == width && record.grid.height() == height, "a second load gives the same size");
    return 0;
}
