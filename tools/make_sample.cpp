// skyvane-sample OUTDIR [FRAMES] [WIDTH] [HEIGHT]
//
// Writes a small deterministic set of synthetic star-field frames (OUTDIR/star_01.fit,
// ...): a flat sky with noise, the same stars in every frame, and a few cosmic-ray hits
// that differ from frame to frame, as 16-bit integers with BZERO 32768. The same seed
// gives the same bytes on every machine (our own generator, no library distributions),
// so the frames are a demo for display and co-addition and a fixture for scripts.
#include <algorithm>
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
    return 0;
}
