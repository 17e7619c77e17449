// A one-shot colour night with the real batch tool: mosaic lights calibrated with a dark and
// a flat, debayered into colour cubes; registration refuses the raw mosaics.

#include <gtest/gtest.h>

#include <fitsio.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "processing/Mosaic.h"
#include "support/ProgramRun.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

constexpr int W = 40;
constexpr int H = 32;
constexpr double Sky[3] = {900.0, 1000.0, 1300.0};     // the sky's colour
constexpr double Response[3] = {0.85, 1.0, 0.65};     // the filters'

test::ProgramRun RunBatch(const TempDir& sandbox, const std::vector<std::string>& args)
{
    return test::RunProgram(SKYVANE_BATCH_PATH, args, {sandbox.path().string(), {}, false});
}

// The optics' darkening, the same for every filter.
double Vignetting(int x, int y)
{
    return 1.0 - 0.3 * ((x - W / 2.0) * (x - W / 2.0) + (y - H / 2.0) * (y - H / 2.0)) / (W * W / 4.0);
}

void Write(const std::string& path, const std::vector<double>& values, std::vector<std::string> cards, int bitpix)
{
    test::FitsLayout layout;
    layout.width = W;
    layout.height = H;
    layout.values = values;
    layout.bitpix = bitpix;
    layout.bzero = bitpix == 16 ? 32768.0 : 0.0;
    layout.extraCards = std::move(cards);
    test::WriteFitsImage(path, layout);
}

// One plane (from 1) of a FITS file, row-major, and a keyword's presence.
std::vector<double> ReadPlane(const std::string& path, int plane, long& naxis3, bool& bayer)
{
    fitsfile* file = nullptr;
    int status = 0;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    long axes[3] = {0, 0, 1};
    int bitpix = 0;
    int naxis = 0;
    fits_get_img_param(file, 3, &bitpix, &naxis, axes, &status);
    naxis3 = naxis == 3 ? axes[2] : 1;
    char value[FLEN_VALUE];
    int missing = 0;
    fits_read_keyword(file, "BAYERPAT", value, nullptr, &missing);
    bayer = missing == 0;
    std::vector<double> values(static_cast<std::size_t>(W * H));
    long first[3] = {1, 1, plane};
    fits_read_pix(file, TDOUBLE, first, W * H, nullptr, values.data(), nullptr, &status);
    int closeStatus = 0;
    if (file)
        fits_close_file(file, &closeStatus);
    EXPECT_EQ(status, 0) << path;
    return values;
}

TEST(BatchColourNight, CalibrateThenDebayerMakesColourCubesThatKeepTheSkysColourTimesTheFilters)
{
    TempDir sandbox;
    const std::string lights = sandbox.file("lights");
    std::filesystem::create_directories(lights);
    const Mosaic rggb(Mosaic::Pattern::RGGB);
    std::vector<double> dark(W * H);
    std::vector<double> flat(W * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int c = static_cast<int>(rggb.colourAt(x, y));
            dark[static_cast<std::size_t>(y * W + x)] = 300.0 + (x * 7 + y * 3) % 5;
            flat[static_cast<std::size_t>(y * W + x)] = 20000.0 * Response[c] * Vignetting(x, y);
        }
    dark[static_cast<std::size_t>(11 * W + 13)] = 9000.0; // a hot pixel
    Write(sandbox.file("dark.fit"), dark, {}, -32);
    Write(sandbox.file("flat.fit"), flat, {"BAYERPAT= 'RGGB'"}, -32);
    for (int k = 1; k <= 3; ++k) {
        std::vector<double> light(W * H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const int c = static_cast<int>(rggb.colourAt(x, y));
                light[static_cast<std::size_t>(y * W + x)] =
                    std::round(dark[static_cast<std::size_t>(y * W + x)] + Sky[c] * Response[c] * Vignetting(x, y) + 10.0 * k);
            }
        Write(lights + "/light_" + std::to_string(k) + ".fit", light, {"BAYERPAT= 'RGGB'", "XBAYROFF= 0", "YBAYROFF= 0"}, 16);
    }

    const test::ProgramRun r = RunBatch(sandbox, {"--workdir", lights, "--open", lights + "/light_1.fit", "-c", "size", "-c",
                                                  "autoreg [WORK]", "-c", "calibrate [WORK] (" + sandbox.file("dark.fit") + ") (" + sandbox.file("flat.fit") + ")", "-c",
                                                  "listdebayer [PATH]", "--lists"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "     width = 40\n     height = 32\n     colour mosaic RGGB\n"
                     "     reference frame is a colour mosaic: debayer first !\n"
                     "     3 images have been calibrated, 1 hot pixel replaced; new list [PATH]\n"
                     "     3 images have been debayered; new list [PATH2]\n"
                     "[WORK] = " + lights + "\n  [x] light_1.fit\n  [x] light_2.fit\n  [x] light_3.fit\n"
                     "[PATH] = " + lights + "/calibrated\n  [x] light_1.fit\n  [x] light_2.fit\n  [x] light_3.fit\n"
                     "[PATH2] = " + lights + "/calibrated/debayer\n  [x] light_1.fit\n  [x] light_2.fit\n  [x] light_3.fit\n");

    long naxis3 = 0;
    bool bayer = false;
    const std::vector<double> calibrated = ReadPlane(lights + "/calibrated/light_2.fit", 1, naxis3, bayer);
    EXPECT_EQ(naxis3, 1);
    EXPECT_TRUE(bayer) << "the mosaic's cards stay on the calibrated mosaic";
    // The hot pixel (a blue one) is gone: it lies among its blue neighbours.
    EXPECT_NEAR(calibrated[static_cast<std::size_t>(11 * W + 13)], calibrated[static_cast<std::size_t>(11 * W + 11)], 5.0);

    // Each plane of the cube is flat (the flat took the darkening away) at the sky's colour
    // times the filter's response: the per-colour normalisation keeps the colours as the
    // camera sees them.
    std::vector<double> planes[3];
    for (int p = 0; p < 3; ++p)
        planes[p] = ReadPlane(lights + "/calibrated/debayer/light_2.fit", p + 1, naxis3, bayer);
    EXPECT_EQ(naxis3, 3);
    EXPECT_FALSE(bayer);
    const auto at = [&](int p, int x, int y) { return planes[p][static_cast<std::size_t>(y * W + x)]; };
    for (const auto& [x, y] : {std::pair{4, 4}, std::pair{20, 16}, std::pair{35, 27}}) {
        EXPECT_NEAR(at(0, x, y) / at(1, x, y), Sky[0] * Response[0] / (Sky[1] * Response[1]), 0.02) << x << " " << y;
        EXPECT_NEAR(at(2, x, y) / at(1, x, y), Sky[2] * Response[2] / (Sky[1] * Response[1]), 0.02) << x << " " << y;
    }
    EXPECT_NEAR(at(1, 4, 4) / at(1, 20, 16), 1.0, 0.02);
}

} // namespace
} // namespace skyvane
