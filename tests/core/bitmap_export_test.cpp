#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

#include "command/Messages.h"
#include "display/DisplayBitmap.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

namespace fs = std::filesystem;

std::uint32_t Field32(const std::vector<unsigned char>& bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::vector<std::string> FolderContents(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A display of a width x height image, pixel (x, y) = 10 x + 100 y, thresholds 0..255,
// built and painted.
struct ShownImage {
    ShownImage(int width, int height, int low = 0, int high = 255) : thresholds(low, high)
    {
        image.resize(width, height);
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
                image[x][y] = 10.0 * x + 100.0 * y;
        display.buildDisplay(image);
        display.paintDisplay();
    }
    test::FixedThresholds thresholds;
    test::RecordingDisplaySink sink;
    Display display{thresholds, sink};
    ImageGrid image;
};

TEST(ExportBitmap, ThreeByTwoFileByteForByte)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(3, 2);
    const std::string path = dir.file("picture.bmp");
    ASSERT_TRUE(exportBitmapReporting(shown.display.bitmap(), path, messages));
    EXPECT_TRUE(messages.texts.empty());

    const std::vector<unsigned char> expected = {
        'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                      // file header
        40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,        // info header ..
        24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,         // .. image size 24
        0, 0, 0, 10, 10, 10, 20, 20, 20, 0, 0, 0,                            // row 0: FITS first row
        100, 100, 100, 110, 110, 110, 120, 120, 120, 0, 0, 0,                // row 1
    };
    EXPECT_EQ(test::ReadFileBytes(path), expected);
    EXPECT_EQ(FolderContents(dir.path()), std::vector<std::string>{"picture.bmp"}) << "no temporary file left";
}

TEST(ExportBitmap, FourByOneHasNoPadding)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(4, 1);
    const std::string path = dir.file("row.bmp");
    ASSERT_TRUE(exportBitmapReporting(shown.display.bitmap(), path, messages));
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 66u);
    EXPECT_EQ(Field32(bytes, 2), 66u);
    EXPECT_EQ(Field32(bytes, 34), 12u);
    const std::vector<unsigned char> pixels(bytes.begin() + 54, bytes.end());
    EXPECT_EQ(pixels, (std::vector<unsigned char>{0, 0, 0, 10, 10, 10, 20, 20, 20, 30, 30, 30}));
}

TEST(ExportBitmap, LargePictureIsHeadersThenRows)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(517, 300, 0, 60000 / 2);
    const std::string path = dir.file("large.bmp");
    ASSERT_TRUE(exportBitmapReporting(shown.display.bitmap(), path, messages));
    const DisplayBitmap& bitmap = shown.display.bitmap();
    std::vector<unsigned char> expected(bitmap.headers.begin(), bitmap.headers.end());
    expected.insert(expected.end(), bitmap.rows.begin(), bitmap.rows.end());
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), 54u + 1552u * 300u);
    EXPECT_TRUE(bytes == expected);
}

TEST(ExportBitmap, AfterInvertWritesTheNegative)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(3, 2);
    ASSERT_TRUE(exportBitmapReporting(shown.display.bitmap(), dir.file("positive.bmp"), messages));
    shown.thresholds.low = 255;
    shown.thresholds.high = 0;
    shown.display.refreshDisplay(shown.image);
    ASSERT_TRUE(exportBitmapReporting(shown.display.bitmap(), dir.file("negative.bmp"), messages));

    const std::vector<unsigned char> positive = test::ReadFileBytes(dir.file("positive.bmp"));
    const std::vector<unsigned char> negative = test::ReadFileBytes(dir.file("negative.bmp"));
    ASSERT_EQ(positive.size(), 78u);
    ASSERT_EQ(negative.size(), 78u);
    EXPECT_TRUE(std::equal(positive.begin(), positive.begin() + 54, negative.begin())) << "same headers";
    for (std::size_t row = 0; row < 2; ++row) {
        for (std::size_t i = 0; i < 9; ++i) {
            const std::size_t at = 54 + row * 12 + i;
            EXPECT_EQ(negative[at], 255 - positive[at]) << "byte " << at;
        }
        for (std::size_t i = 9; i < 12; ++i)
            EXPECT_EQ(negative[54 + row * 12 + i], 0);
    }
}

TEST(ExportBitmap, ReplacesALongerExistingFileCompletely)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    const std::string path = dir.file("old.bmp");
    test::WriteFileBytes(path, std::string(5000, 'x'));
    ShownImage shown(4, 1);
    ASSERT_TRUE(exportBitmapReporting(shown.display.bitmap(), path, messages));
    EXPECT_EQ(test::ReadFileBytes(path).size(), 66u);
    EXPECT_EQ(FolderContents(dir.path()), std::vector<std::string>{"old.bmp"});
}

TEST(ExportBitmap, ReplacesTheLinkedFileKeepsPermissionsAndTakesAnyName)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(4, 1);
    const std::string real = dir.file("real.bmp");
    test::WriteFileBytes(real, "old picture");
    ::chmod(real.c_str(), 0600);
    fs::create_symlink("real.bmp", dir.file("link.bmp"));
    const std::string longName = std::string(251, 'p') + ".bmp"; // no room for a longer temporary name
    for (const std::string& name : {std::string("link.bmp"), longName, std::string("M42 [Ha](2).bmp")}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(exportBitmapReporting(shown.display.bitmap(), dir.file(name), messages));
        EXPECT_EQ(test::ReadFileBytes(dir.file(name)).size(), 66u);
    }
    EXPECT_TRUE(fs::is_symlink(dir.file("link.bmp"))) << "the link stays a link";
    EXPECT_EQ(test::ReadFileBytes(real).size(), 66u);
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
        << "a private file stays private";
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(FolderContents(dir.path()), (std::vector<std::string>{"M42 [Ha](2).bmp", "link.bmp", longName, "real.bmp"}));
}

TEST(ExportBitmap, FailuresShowTheMessageAndCreateNothing)
{
    test::TempDir dir;
    ShownImage shown(3, 2);
    fs::create_directory(dir.path() / "folder");
    struct FailureCase {
        std::string path;
        const char* why;
    } cases[] = {
        {dir.file("missing/picture.bmp"), "folder does not exist"},
        {dir.file("missing/deeper/picture.bmp"), "two folders missing"},
        {dir.file("folder"), "a folder of that name"},
        {"", "empty path"},
    };
    for (const FailureCase& c : cases) {
        test::RecordingMessages messages;
        EXPECT_FALSE(exportBitmapReporting(shown.display.bitmap(), c.path, messages)) << c.why;
        EXPECT_EQ(messages.texts, std::vector<std::string>{"Failed to create bitmap file."}) << c.why;
        EXPECT_EQ(messages.paths, std::vector<std::string>{c.path}) << c.why;
        EXPECT_EQ(FolderContents(dir.path()), std::vector<std::string>{"folder"}) << c.why;
        EXPECT_TRUE(fs::is_empty(dir.path() / "folder")) << c.why;
    }
}

TEST(ExportBitmap, ReleasedRowsAreNotWrittenAsAPicture)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(3, 2);
    shown.display.clearDisplay(); // the header keeps 3 x 2, the rows are gone
    EXPECT_FALSE(exportBitmapReporting(shown.display.bitmap(), dir.file("cleared.bmp"), messages));
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Failed to create bitmap file."});
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Limits the size of files this process may write, as a full disk would; writes beyond it
// fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool active() const { return active_; }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
    bool active_ = false;
};

TEST(ExportBitmap, WriteErrorIsReportedAndLeavesTheOldFileIntact)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(3, 2);
    const std::string path = dir.file("kept.bmp");
    test::WriteFileBytes(path, "older picture");
    bool result = true;
    {
        FileSizeLimit limit(60); // headers fit, the rows do not
        ASSERT_TRUE(limit.active());
        result = exportBitmapReporting(shown.display.bitmap(), path, messages);
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Failed to create bitmap file."});
    const std::vector<unsigned char> kept = test::ReadFileBytes(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "older picture");
    EXPECT_EQ(FolderContents(dir.path()), std::vector<std::string>{"kept.bmp"}) << "no partial file left";

    // With room again the same export succeeds.
    messages.texts.clear();
    EXPECT_TRUE(exportBitmapReporting(shown.display.bitmap(), path, messages));
    EXPECT_EQ(test::ReadFileBytes(path).size(), 78u);
}

TEST(ExportBitmap, WriteErrorOnANewFileLeavesNothing)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    ShownImage shown(64, 64);
    bool result = true;
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.active());
        result = exportBitmapReporting(shown.display.bitmap(), dir.file("new.bmp"), messages);
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Failed to create bitmap file."});
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

} // namespace
} // namespace skyvane
