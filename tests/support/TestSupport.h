#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/Feedback.h"
#include "context/AppContext.h"
#include "display/DisplayBitmap.h"
#include "workbench/Workbench.h"

namespace skyvane::test {

// A folder of its own under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Keeps every message the core shows, in order, with the path of the file each one is
// about ("" for a message about no file).
class RecordingMessages final : public Feedback {
public:
    void showError(const std::string& text) override { showFileError(text, {}); }
    void showFileError(const std::string& text, const std::string& path) override
    {
        texts.push_back(text);
        paths.push_back(path);
    }
    void clear()
    {
        texts.clear();
        paths.clear();
    }
    std::vector<std::string> texts;
    std::vector<std::string> paths;
};

class RecordingStatus final : public StatusSink {
public:
    void setStatusText(int part, const std::string& text) override { parts.at(static_cast<std::size_t>(part)) = text; ++calls; }
    std::vector<std::string> parts = std::vector<std::string>(3, "?");
    int calls = 0;
};

class FixedThresholds final : public ThresholdSource {
public:
    FixedThresholds(int lowValue = 0, int highValue = 32767) : low(lowValue), high(highValue) {}
    int LowThreshold() const override { return low; }
    int HighThreshold() const override { return high; }
    int low;
    int high;
};

class RecordingDisplaySink final : public DisplaySink {
public:
    void bitmapCreated(const DisplayBitmap&) override { ++created; }
    void bitmapChanged(const DisplayBitmap&) override { ++changed; }
    void bitmapCleared() override { ++cleared; }
    int created = 0;
    int changed = 0;
    int cleared = 0;
};

// An AppContext with recording fakes behind every interface.
struct TestContext {
    RecordingMessages messages;
    FixedThresholds thresholds;
    RecordingDisplaySink displaySink;
    RecordingStatus status;
    AppContext context{messages, thresholds, displaySink, status};
};

// A workbench with recording fakes behind every interface; redraws counts the redraw
// requests it has heard of.
struct TestWorkbench {
    TestWorkbench() { workbench.setRedrawListener([this] { ++redraws; }); }
    RecordingMessages messages;
    RecordingDisplaySink displaySink;
    RecordingStatus status;
    Workbench workbench{messages, displaySink, status};
    AppContext& context = workbench.context();
    int redraws = 0;
};

// Values of a FITS image, row-major: values[y * width + x] is pixel (x, y), row 0 first.
struct FitsLayout {
    int width = 0;
    int height = 0;
    std::vector<double> values;
    int bitpix = -64;              // 16, 32, -32, -64, 8 ...
    double bscale = 1.0;           // written only when not 1 or bzero not 0
    double bzero = 0.0;
    std::vector<std::string> extraCards; // whole 80-character cards (or shorter) appended
};

// Writes a primary image with CFITSIO (overwriting path). Fails the test on error.
void WriteFitsImage(const std::string& path, const FitsLayout& layout);
// A width x height image whose pixel (x, y) is f(x, y), as 64-bit floats.
std::string WriteFitsFunction(const std::string& path, int width, int height, double (*f)(int, int));
// Everything a record holds, to check what a failed load or save touched. Values are
// copied only for grids of at most valueLimit pixels: a corrupt header may declare a grid
// of gigabytes that was never written, and copying it would commit all of it.
struct RecordSnapshot {
    int width = 0;
    int height = 0;
    std::vector<double> values;
    std::vector<char> block;
    bool operator==(const RecordSnapshot&) const = default;
};
RecordSnapshot TakeSnapshot(const ImageRecord& record, std::size_t valueLimit = SIZE_MAX);

// A large 16-bit image written directly (no values held in memory): pixel (x, y) is
// (x + 3 y) % 30000. For tests of images that take real memory.
void WriteLargeFits16(const std::string& path, int width, int height);

// Reads a whole file's bytes.
std::vector<unsigned char> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// A FITS header written by hand: each card padded with blanks (or cut) to 80 characters,
// then END, then blanks up to a multiple of 2880 bytes. For headers CFITSIO would refuse
// to write (NAXIS = 3 with odd axes, negative or gigantic sizes...).
std::string RawFitsHeader(const std::vector<std::string>& cards);
// Number of file descriptors this process has open (to check that files get closed).
int OpenFileCount();
// The names in a folder, sorted (hidden files included).
std::vector<std::string> FolderEntries(const std::string& folder);

// How a child process ended.
struct ChildEnd {
    bool exited = false; // by exit, with code; otherwise by signal
    int code = -1;
    int signal = 0;
};
// Runs body in a forked child whose address space may grow by at most extraBytes beyond
// what it uses when the limit is set; the child exits with body's result. For the
// behaviour of memory failures with real allocators. Not under AddressSanitizer, whose
// shadow memory needs far more address space than any such limit leaves.
ChildEnd RunWithAddressSpaceLimit(std::uint64_t extraBytes, const std::function<int()>& body);
bool AddressSpaceLimitsWork();

} // namespace skyvane::test
