#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/ImageRecord.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using Texts = std::vector<std::string>;

const std::string NotTwoD = "Loaded image is not 2-D.\nOnly 2-D images are supported.";
const std::string SizeError = "Error while reading image size";
const std::string DataError = "Error while reading image data";
const std::string HeaderError = "Error while reading image headers";

std::filesystem::path CorpusFolder()
{
    return std::filesystem::path(SKYVANE_CORPUS_DIR) / "fits";
}

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusFolder()))
        if (entry.is_regular_file() && entry.path().extension() == ".fit")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What a record held before a load, to tell what a failed load touched; values only for
// grids of up to a million pixels (a corrupt header may declare gigabytes).
using Snapshot = test::RecordSnapshot;

Snapshot Take(const ImageRecord& record)
{
    return test::TakeSnapshot(record, std::size_t{1} << 20);
}

void Prefill(ImageRecord& record)
{
    record.clear();
    record.grid.resize(3, 2);
    for (int x = 0; x < 3; ++x)
        for (int y = 0; y < 2; ++y)
            record.grid[x][y] = 7.0 + x + 10.0 * y;
    record.cards.append("OBJECT  = 'before  '");
    record.cards.append("HISTORY the image held before the load");
}

struct Outcome {
    int result = 0;
    Texts texts;
    Snapshot after;
};

Outcome Load(ImageRecord& record, const std::string& path)
{
    test::RecordingMessages messages;
    const int files = test::OpenFileCount();
    Outcome outcome;
    outcome.result = loadFitsReporting(record, path, messages) ? 0 : 1;
    EXPECT_EQ(test::OpenFileCount(), files) << "a file was left open";
    outcome.texts = messages.texts;
    outcome.after = Take(record);
    return outcome;
}

bool IsFailureText(const std::string& text)
{
    return text == SizeError || text == DataError || text == HeaderError ||
           (text.rfind("Not enough memory for an image of ", 0) == 0 && text.size() > 40 && text.substr(text.size() - 8) == " pixels.");
}

// The rules every file obeys, whatever it holds.
TEST(FitsCorpus, EveryFileLoadsOrFailsCleanly)
{
    const std::vector<std::string> names = CorpusFiles();
    ASSERT_GE(names.size(), 30u) << "the corpus folder " << CorpusFolder() << " is missing files";
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = (CorpusFolder() / name).string();
        ImageRecord record;
        Prefill(record);
        const Snapshot before = Take(record);
        const Outcome outcome = Load(record, path);

        if (outcome.result == 0) {
            EXPECT_EQ(outcome.texts, Texts{});
            EXPECT_GE(record.grid.width(), 0);
            EXPECT_GE(record.grid.height(), 0);
            ASSERT_EQ(record.cards.block().size(), static_cast<std::size_t>(record.cards.count()) * 81);
            for (int i = 0; i < record.cards.count(); ++i)
                EXPECT_EQ(record.cards.block()[static_cast<std::size_t>(i) * 81 + 80], '\0');
        } else {
            EXPECT_EQ(outcome.result, 1);
            ASSERT_FALSE(outcome.texts.empty());
            const std::string& last = outcome.texts.back();
            EXPECT_TRUE(IsFailureText(last)) << last;
            // The only message that comes before the failure of a step is the 2-D one.
            for (std::size_t i = 0; i + 1 < outcome.texts.size(); ++i) {
                EXPECT_EQ(outcome.texts[i], NotTwoD);
            }
            if (outcome.texts.size() == 2) {
                EXPECT_EQ(last, SizeError);
            }
            if (last == SizeError || last.rfind("Not enough memory", 0) == 0) {
                EXPECT_TRUE(outcome.after == before) << "the record changed";
            }
            if (last == DataError) {
                EXPECT_EQ(outcome.after.block, before.block);
                // The grid has the file's declared size; no value of the image before.
                ImageSize size;
                ASSERT_EQ(readFitsSize(path, size), FitsError::None);
                EXPECT_EQ(record.grid.width(), size.width);
                EXPECT_EQ(record.grid.height(), size.height);
            }
        }

        // A second load of the same file into the loaded record gives the same outcome.
        const Outcome again = Load(record, path);
        EXPECT_EQ(again.result, outcome.result);
        EXPECT_EQ(again.texts, outcome.texts);
        if (outcome.result == 0) {
            EXPECT_TRUE(again.after.block == outcome.after.block && again.after.width == outcome.after.width &&
                        again.after.height == outcome.after.height);
        }
    }
}

// Files whose outcome is known exactly.
TEST(FitsCorpus, KnownFilesGiveTheirMessages)
{
    const std::string notEnough = "Not enough memory for an image of 2000000000 x 2000000000 pixels.";
    const std::map<std::string, Texts> failures = {
        {"empty.fit", {SizeError}},
        {"garbage.fit", {SizeError}},
        {"text.fit", {SizeError}},
        {"truncated-header.fit", {SizeError}},
        {"no-end.fit", {SizeError}},
        {"no-simple.fit", {SizeError}},
        {"negative-axis.fit", {SizeError}},
        {"axis-over-int.fit", {SizeError}},
        {"text-axis.fit", {SizeError}},
        {"bad-bitpix.fit", {SizeError}},
        {"gzip-truncated.fit", {SizeError}},
        // Whole headers; the stream's closing length check fails, after the data.
        {"gzip-wrong-size.fit", {DataError}},
        {"gzip-huge-size.fit", {DataError}},
        {"naxis0.fit", {NotTwoD, SizeError}},
        {"naxis1.fit", {NotTwoD, SizeError}},
        {"naxis3.fit", {NotTwoD, SizeError}},
        {"gigantic.fit", {notEnough}},
        {"truncated-data.fit", {DataError}},
        {"no-data.fit", {DataError}},
    };
    for (const auto& [name, texts] : failures) {
        SCOPED_TRACE(name);
        ImageRecord record;
        Prefill(record);
        const Outcome outcome = Load(record, (CorpusFolder() / name).string());
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.texts, texts);
    }
}

TEST(FitsCorpus, KnownGoodFilesGiveTheirValues)
{
    ImageRecord record;
    auto load = [&record](const char* name) {
        Prefill(record);
        const Outcome outcome = Load(record, (CorpusFolder() / name).string());
        EXPECT_EQ(outcome.result, 0) << name;
        EXPECT_EQ(outcome.texts, Texts{}) << name;
    };

    // Unsigned 16-bit data, plain and gzip-compressed (once with megabytes of zeros after
    // the image): pixel i (row-major) is i * 37.
    for (const char* name : {"valid-u16.fit", "gzip-valid.fit", "gzip-trailing-data.fit"}) {
        SCOPED_TRACE(name);
        load(name);
        ASSERT_EQ(record.grid.width(), 6);
        ASSERT_EQ(record.grid.height(), 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                EXPECT_EQ(record.grid[x][y], (y * 6 + x) * 37);
    }
    EXPECT_EQ(record.cards.card(0).substr(0, 30), "SIMPLE  =                    T");

    // Doubles come through as stored: not-a-number and negative zero included.
    load("valid-f64-nan.fit");
    ASSERT_EQ(record.grid.width(), 3);
    EXPECT_EQ(record.grid[0][0], 0.5);
    EXPECT_EQ(record.grid[1][0], -1.25);
    EXPECT_TRUE(std::isnan(record.grid[2][0]));
    EXPECT_EQ(record.grid[0][1], 1e300);
    EXPECT_TRUE(std::signbit(record.grid[1][1]));
    EXPECT_EQ(record.grid[2][1], 3.0);

    // BLANK marks missing pixels: they read as not-a-number.
    load("valid-blank.fit");
    EXPECT_TRUE(std::isnan(record.grid[0][0]));
    EXPECT_EQ(record.grid[1][1], 3.0);

    load("many-cards.fit");
    EXPECT_EQ(record.cards.count(), 125);
    EXPECT_EQ(record.cards.card(124).substr(0, 16), "HISTORY line 119");
    EXPECT_EQ(record.grid[2][2], 8.0);

    load("zero-height.fit");
    EXPECT_EQ(record.grid.width(), 2147483647);
    EXPECT_EQ(record.grid.height(), 0);
    load("zero-width.fit");
    EXPECT_EQ(record.grid.width(), 0);
    EXPECT_EQ(record.grid.height(), 5);
}

} // namespace
} // namespace skyvane
