// skyvane-sample OUTDIR [FRAMES] [WIDTH] [HEIGHT]
//
// Writes a small deterministic set of synthetic star-field frames (OUTDIR/star_01.fit,
// ...): a flat sky with noise, the same stars in every frame, and a few cosmic-ray hits
// that differ from frame to frame, as 16-bit integers with BZERO 32768. The same seed
// gives the same bytes on every machine (our own generator, no library distributions),
// so the frames are a demo for display and co-addition and a fixture for scripts.
//
// Beside them, a small raw night as a camera gives it (OUTDIR/night/): eight light frames
// (lights/light_01.fit, ...) whose stars drift across the sensor, seen through optics that
// darken the corners, with the sensor's dark signal and a few hot pixels in every frame
// and cosmic-ray hits here and there; a dark (dark.fit: the dark signal and the hot
// pixels of the same exposure, averaged over many frames) and a flat (flat.fit: the
// darkening of the optics, 32-bit floating point, mean 1). Each light frame says its true
// drift from the first in the cards XSHIFT and YSHIFT (pixels, as x and y grow).
//
// And the same night as a one-shot colour camera gives it (OUTDIR/colour-night/): every
// pixel under one filter of an RGGB cell (BAYERPAT, the first stored row starting red,
// green), stars of different colours, a sky a little blue, each filter passing its own
// share of the light (the flat shows it), with the same drift, dark signal and hot pixels.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fitsio.h>

namespace {

// SplitMix64: small, fast and identical everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    // Box-Muller; one value per call keeps the sequence simple.
    double gaussian()
    {
        double u1 = uniform();
        if (u1 < 1e-300)
            u1 = 1e-300;
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    std::uint64_t state_;
};

struct Star {
    double x, y, sigma, peak;
};

constexpr double Sky = 1000.0;
constexpr double ReadNoise = 10.0;
constexpr double Saturation = 65535.0;

std::vector<double> starField(int width, int height, const std::vector<Star>& stars)
{
    std::vector<double> image(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), Sky);
    for (const Star& s : stars) {
        const int r = static_cast<int>(std::ceil(5 * s.sigma));
        const int xc = static_cast<int>(std::lround(s.x));
        const int yc = static_cast<int>(std::lround(s.y));
        for (int y = std::max(yc - r, 0); y <= std::min(yc + r, height - 1); ++y)
            for (int x = std::max(xc - r, 0); x <= std::min(xc + r, width - 1); ++x) {
                const double d2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
                image[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] +=
                    s.peak * std::exp(-d2 / (2 * s.sigma * s.sigma));
            }
    }
    return image;
}

bool writeFrame(const std::string& path, int width, int height, const std::vector<double>& values, int index)
{
    int status = 0;
    fitsfile* file = nullptr;
    long axes[2] = {width, height};
    // The folder comes from the command line: the name is taken literally, never as the
    // library's file-name syntax, and an older frame of that name is replaced.
    std::remove(path.c_str());
    fits_create_diskfile(&file, path.c_str(), &status);
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    char object[] = "SYNTHETIC";
    double exptime = 60.0;
    fits_write_key(file, TSTRING, "OBJECT", object, "synthetic star field", &status);
    fits_write_key(file, TDOUBLE, "EXPTIME", &exptime, "[s] nominal", &status);
    fits_write_key(file, TINT, "FRAMENO", &index, "frame index", &status);
    std::vector<unsigned short> pixels(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        pixels[i] = static_cast<unsigned short>(std::clamp(std::nearbyint(values[i]), 0.0, Saturation));
    long first[2] = {1, 1};
    fits_write_pix(file, TUSHORT, first, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
    fits_close_file(file, &status);
    if (status != 0) {
        fits_report_error(stderr, status);
        return false;
    }
    return true;
}

// The raw night: its own size, seeds and stars, whatever the star frames are.
constexpr int NightWidth = 320;
constexpr int NightHeight = 240;
constexpr int NightFrames = 8;
constexpr double NightSky = 800.0;
constexpr double Bias = 300.0;
constexpr double DarkCurrent = 40.0;
constexpr double Vignetting = 0.35; // the corners get 1 - Vignetting of the centre's light

// One header card of a night frame.
struct Card {
    const char* key;
    double number;     // used when text is null
    const char* text;
    const char* comment;
};

// A frame of the night: 16-bit integers with BZERO 32768, or 32-bit floating point.
bool writeNightFrame(const std::string& path, const std::vector<double>& values, bool floating, const std::vector<Card>& cards)
{
    int status = 0;
    fitsfile* file = nullptr;
    long axes[2] = {NightWidth, NightHeight};
    std::remove(path.c_str());
    fits_create_diskfile(&file, path.c_str(), &status);
    fits_create_img(file, floating ? FLOAT_IMG : USHORT_IMG, 2, axes, &status);
    for (const Card& card : cards) {
        std::string key = card.key;
        std::string comment = card.comment;
        if (card.text) {
            std::string text = card.text;
            fits_write_key(file, TSTRING, key.c_str(), text.data(), comment.c_str(), &status);
        } else {
            double number = card.number;
            fits_write_key(file, TDOUBLE, key.c_str(), &number, comment.c_str(), &status);
        }
    }
    long first[2] = {1, 1};
    if (floating) {
        std::vector<float> pixels(values.begin(), values.end());
        fits_write_pix(file, TFLOAT, first, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
    } else {
        std::vector<unsigned short> pixels(values.size());
        for (std::size_t i = 0; i < values.size(); ++i)
            pixels[i] = static_cast<unsigned short>(std::clamp(std::nearbyint(values[i]), 0.0, Saturation));
        fits_write_pix(file, TUSHORT, first, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
    }
    fits_close_file(file, &status);
    if (status != 0) {
        fits_report_error(stderr, status);
        return false;
    }
    return true;
}

// The filter over pixel (x, y) of an RGGB mosaic: 0 red, 1 green, 2 blue.
int FilterAt(int x, int y)
{
    return (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
}

// The share of the light each filter passes, and the sky's colour.
constexpr double FilterResponse[3] = {0.9, 1.0, 0.85};
constexpr double SkyColour[3] = {1.08, 1.0, 1.15};

// The raw night into folder (see the top of this file); a colour mosaic when mosaic is set.
bool writeNight(const std::filesystem::path& folder, bool mosaic)
{
    std::error_code ec;
    std::filesystem::create_directories(folder / "lights", ec);
    const std::size_t pixels = static_cast<std::size_t>(NightWidth) * NightHeight;
    const auto at = [](int x, int y) { return static_cast<std::size_t>(y) * NightWidth + static_cast<std::size_t>(x); };

    // The optics: light falls off towards the corners.
    std::vector<double> optics(pixels);
    const double cx = (NightWidth - 1) / 2.0;
    const double cy = (NightHeight - 1) / 2.0;
    const double corner2 = cx * cx + cy * cy;
    double opticsSum = 0.0;
    for (int y = 0; y < NightHeight; ++y)
        for (int x = 0; x < NightWidth; ++x) {
            const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / corner2;
            optics[at(x, y)] = (1.0 - Vignetting * r2) * (mosaic ? FilterResponse[FilterAt(x, y)] : 1.0);
            opticsSum += optics[at(x, y)];
        }
    const std::vector<Card> pattern = mosaic ? std::vector<Card>{{"BAYERPAT", 0, "RGGB", "colour filter array"},
                                                                 {"XBAYROFF", 0.0, nullptr, "pattern offset in x"},
                                                                 {"YBAYROFF", 0.0, nullptr, "pattern offset in y"}}
                                             : std::vector<Card>{};
    const auto withPattern = [&pattern](std::vector<Card> cards) {
        cards.insert(cards.end(), pattern.begin(), pattern.end());
        return cards;
    };

    // The sensor: bias and dark current everywhere, a few hot pixels.
    Random sensorRandom(20240715);
    std::vector<double> darkSignal(pixels, Bias + DarkCurrent);
    for (int h = 0; h < 12; ++h) {
        const int x = static_cast<int>(sensorRandom.uniform() * NightWidth);
        const int y = static_cast<int>(sensorRandom.uniform() * NightHeight);
        darkSignal[at(x, y)] += 2000.0 + sensorRandom.uniform() * 18000.0;
    }

    // The dark: the mean of many dark frames, so its noise is small.
    std::vector<double> dark(pixels);
    for (std::size_t p = 0; p < pixels; ++p)
        dark[p] = darkSignal[p] + 0.25 * ReadNoise * sensorRandom.gaussian();
    // The flat: the optics, scaled to mean 1, with a little noise of its own.
    std::vector<double> flat(pixels);
    for (std::size_t p = 0; p < pixels; ++p)
        flat[p] = optics[p] * (pixels / opticsSum) * (1.0 + 0.002 * sensorRandom.gaussian());

    if (!writeNightFrame((folder / "dark.fit").string(), dark, false,
                         withPattern({{"IMAGETYP", 0, "DARK", "mean of many darks"}, {"EXPTIME", 120.0, nullptr, "[s]"}})) ||
        !writeNightFrame((folder / "flat.fit").string(), flat, true, withPattern({{"IMAGETYP", 0, "FLAT", "normalised to mean 1"}})))
        return false;

    // The sky: stars that drift a little between frames.
    Random layout(20240716);
    std::vector<Star> stars(70);
    for (Star& s : stars) {
        s.x = 10 + layout.uniform() * (NightWidth - 20);
        s.y = 10 + layout.uniform() * (NightHeight - 20);
        s.sigma = 1.3 + layout.uniform() * 0.8;
        s.peak = std::pow(10.0, 2.0 + layout.uniform() * 2.0);
    }
    // Star colours (red, green, blue), drawn apart so the grey night keeps its stars.
    Random tint(20240717);
    std::vector<std::array<double, 3>> colours(stars.size());
    for (std::array<double, 3>& c : colours) {
        const double warmth = tint.uniform();
        c = {0.6 + 0.8 * warmth, 1.0, 1.4 - 0.8 * warmth};
    }
    double driftX = 0.0;
    double driftY = 0.0;
    for (int i = 1; i <= NightFrames; ++i) {
        Random noise(0x4E160000ull + static_cast<std::uint64_t>(i));
        if (i > 1) {
            driftX += 1.6 + 0.8 * (noise.uniform() - 0.5);
            driftY += -1.1 + 0.8 * (noise.uniform() - 0.5);
        }
        std::vector<Star> shifted = stars;
        for (Star& s : shifted) {
            s.x += driftX;
            s.y += driftY;
        }
        std::vector<std::vector<double>> skies;
        if (!mosaic) {
            skies.push_back(starField(NightWidth, NightHeight, shifted));
        } else {
            for (int c = 0; c < 3; ++c) {
                std::vector<Star> tinted = shifted;
                for (std::size_t k = 0; k < tinted.size(); ++k)
                    tinted[k].peak *= colours[k][static_cast<std::size_t>(c)];
                skies.push_back(starField(NightWidth, NightHeight, tinted));
            }
        }
        std::vector<double> frame(pixels);
        for (int y = 0; y < NightHeight; ++y)
            for (int x = 0; x < NightWidth; ++x) {
                const std::size_t p = at(x, y);
                const int filter = mosaic ? FilterAt(x, y) : 0;
                const double skyLevel = mosaic ? NightSky * SkyColour[filter] : NightSky;
                const double light = (skies[static_cast<std::size_t>(filter)][p] - Sky + skyLevel) * optics[p];
                frame[p] = darkSignal[p] + light + std::sqrt(ReadNoise * ReadNoise + light) * noise.gaussian();
            }
        for (int h = 0; h < 4; ++h) {
            const int x = static_cast<int>(noise.uniform() * NightWidth);
            const int y = static_cast<int>(noise.uniform() * NightHeight);
            frame[at(x, y)] = Saturation;
        }
        char name[32];
        std::snprintf(name, sizeof name, "light_%02d.fit", i);
        const double roundedX = std::nearbyint(driftX * 1000.0) / 1000.0;
        const double roundedY = std::nearbyint(driftY * 1000.0) / 1000.0;
        if (!writeNightFrame((folder / "lights" / name).string(), frame, false,
                             withPattern({{"IMAGETYP", 0, "LIGHT", "raw light frame"},
                                          {"EXPTIME", 120.0, nullptr, "[s]"},
                                          {"XSHIFT", roundedX, nullptr, "[px] true drift from frame 1 in x"},
                                          {"YSHIFT", roundedY, nullptr, "[px] true drift from frame 1 in y"}})))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR [FRAMES] [WIDTH] [HEIGHT]\n", argv[0]);
        return 2;
    }
    const std::string outdir = argv[1];
    const int frames = argc > 2 ? std::atoi(argv[2]) : 8;
    const int width = argc > 3 ? std::atoi(argv[3]) : 640;
    const int height = argc > 4 ? std::atoi(argv[4]) : 480;
    if (frames < 1 || frames > 999 || width < 16 || height < 16 || width > 20000 || height > 20000) {
        std::fprintf(stderr, "skyvane-sample: frames must be 1..999 and sizes 16..20000\n");
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(outdir, ec);

    Random layout(20240601);
    std::vector<Star> stars(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) / 2000);
    for (Star& s : stars) {
        s.x = 5 + layout.uniform() * (width - 10);
        s.y = 5 + layout.uniform() * (height - 10);
        s.sigma = 1.2 + layout.uniform() * 1.3;
        s.peak = std::pow(10.0, 2.0 + layout.uniform() * 2.7);
    }
    const std::vector<double> base = starField(width, height, stars);

    for (int i = 1; i <= frames; ++i) {
        Random noise(0x5EED0000ull + static_cast<std::uint64_t>(i));
        std::vector<double> frame(base.size());
        for (std::size_t p = 0; p < base.size(); ++p)
            frame[p] = base[p] + std::sqrt(ReadNoise * ReadNoise + base[p]) * noise.gaussian();
        const int hits = 20;
        for (int h = 0; h < hits; ++h) {
            const int x = static_cast<int>(noise.uniform() * width);
            const int y = static_cast<int>(noise.uniform() * height);
            const int length = 1 + static_cast<int>(noise.uniform() * 4);
            for (int t = 0; t < length && x + t < width; ++t)
                frame[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x + t)] =
                    Saturation;
        }
        char name[32];
        std::snprintf(name, sizeof name, "star_%02d.fit", i);
        if (!writeFrame((std::filesystem::path(outdir) / name).string(), width, height, frame, i))
            return 1;
    }
    std::printf("wrote %d frames of %d x %d to %s\n", frames, width, height, outdir.c_str());
    const std::filesystem::path night = std::filesystem::path(outdir) / "night";
    if (!writeNight(night, false))
        return 1;
    std::printf("wrote a raw night of %d light frames, a dark and a flat of %d x %d to %s\n", NightFrames, NightWidth, NightHeight,
                night.string().c_str());
    const std::filesystem::path colourNight = std::filesystem::path(outdir) / "colour-night";
    if (!writeNight(colourNight, true))
        return 1;
    std::printf("wrote the same night from a one-shot colour camera (RGGB) to %s\n", colourNight.string().c_str());
    return 0;
}
