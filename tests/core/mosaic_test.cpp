// The colour filter array of a frame, read from its header cards.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "processing/Mosaic.h"

namespace skyvane {
namespace {

HeaderCards Cards(const std::vector<std::string>& lines)
{
    HeaderCards cards;
    for (const std::string& line : {std::string("SIMPLE  =                    T"), std::string("BITPIX  =                   16"),
                                    std::string("NAXIS   =                    2"), std::string("NAXIS1  =                    6")})
        cards.append(line);
    for (const std::string& line : lines)
        cards.append(line);
    return cards;
}

// The letters of a mosaic's first 2 x 2 stored pixels, row 0 first.
std::string Letters(const Mosaic& mosaic)
{
    std::string letters;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            const FilterColour c = mosaic.colourAt(x, y);
            letters += c == FilterColour::Red ? 'R' : c == FilterColour::Blue ? 'B' : 'G';
        }
    return letters;
}

std::string Read(const std::vector<std::string>& lines)
{
    const std::optional<Mosaic> mosaic = MosaicOfCards(Cards(lines));
    return mosaic ? Letters(*mosaic) : "none";
}

TEST(MosaicCards, EachPatternNamesTheFirstStoredPixelsAndRepeats)
{
    for (const std::string pattern : {"RGGB", "BGGR", "GRBG", "GBRG"}) {
        const std::optional<Mosaic> mosaic = MosaicOfCards(Cards({"NAXIS2  =                    4", "BAYERPAT= '" + pattern + "    ' / Bayer"}));
        ASSERT_TRUE(mosaic.has_value());
        EXPECT_EQ(Letters(*mosaic), pattern);
        EXPECT_EQ(mosaic->name(), pattern);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x)
                EXPECT_EQ(mosaic->colourAt(x + 2, y + 4), mosaic->colourAt(x, y));
    }
}

TEST(MosaicCards, OffsetsOfOneMoveTheCell)
{
    // XBAYROFF = 1: a row starts on the second letter of its pattern row; YBAYROFF = 1: the
    // first row is the pattern's second row.
    const struct {
        std::string pattern, x, y, stored;
    } cases[] = {
        {"RGGB", "1", "0", "GRBG"}, {"RGGB", "0", "1", "GBRG"}, {"RGGB", "1", "1", "BGGR"},
        {"BGGR", "1", "0", "GBRG"}, {"BGGR", "0", "1", "GRBG"}, {"BGGR", "1", "1", "RGGB"},
        {"GRBG", "1", "0", "RGGB"}, {"GRBG", "0", "1", "BGGR"}, {"GRBG", "1", "1", "GBRG"},
        {"GBRG", "1", "0", "BGGR"}, {"GBRG", "0", "1", "RGGB"}, {"GBRG", "1", "1", "GRBG"},
        {"RGGB", "2", "-2", "RGGB"}, {"RGGB", "-1", "3", "BGGR"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= '" + c.pattern + "'", "XBAYROFF=                    " + c.x,
                        "YBAYROFF=                    " + c.y}),
                  c.stored)
            << c.pattern << " " << c.x << " " << c.y;
}

TEST(MosaicCards, BottomUpRowsStartThePatternOnTheLastStoredRow)
{
    // Even height: the last stored row is odd, so the first stored row is the pattern's
    // second row; odd height: the first stored row is the pattern's first row again.
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'"}), "GBRG");
    EXPECT_EQ(Read({"NAXIS2  =                    5", "BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'"}), "RGGB");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'GRBG'", "ROWORDER= 'BOTTOM-UP'", "YBAYROFF= 1"}), "GRBG");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'", "XBAYROFF= 1"}), "BGGR");
    // Top-down, absent or unknown: the first stored row is the first row read.
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'BGGR'", "ROWORDER= 'TOP-DOWN'"}), "BGGR");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'BGGR'", "ROWORDER= 'SIDEWAYS'"}), "BGGR");
}

TEST(MosaicCards, CardsThatNameNoKnownPatternMakeNoMosaic)
{
    EXPECT_EQ(Read({"NAXIS2  =                    4"}), "none");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'CYGM'"}), "none");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'RGGB"}), "none");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT=                    1"}), "none");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'RGGB'", "XBAYROFF= 0.5"}), "none");
    EXPECT_EQ(Read({"NAXIS2  =                    4", "COMMENT BAYERPAT= 'RGGB'"}), "none");
    // A cube of three planes is colour already.
    HeaderCards cube;
    for (const char* line : {"SIMPLE  = T", "BITPIX  = -32", "NAXIS   = 3", "NAXIS1  = 4", "NAXIS2  = 4", "NAXIS3  = 3", "BAYERPAT= 'RGGB'"})
        cube.append(line);
    EXPECT_FALSE(MosaicOfCards(cube).has_value());
    // Lower case names a pattern too.
    EXPECT_EQ(Read({"NAXIS2  =                    4", "BAYERPAT= 'gbrg'"}), "GBRG");
}

} // namespace
} // namespace skyvane
