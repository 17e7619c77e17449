#pragma once

#include <string>

#include "image/ImageRecord.h"

struct wcsprm;

namespace skyvane {

// Where an image pixel lies on the sky.
struct SkyPosition {
    enum class Status {
        None,    // the header has no celestial world coordinate system
        Outside, // it has one, but this pixel has no sky position (beyond the projection)
        Valid,
    };
    Status status = Status::None;
    double longitude = 0.0; // degrees: right ascension, galactic l, ...
    double latitude = 0.0;  // degrees: declination, galactic b, ...
    // Valid only, in the header's frame, e.g. "RA 05:35:17.29  Dec -05:23:28.1  FK5 J2000",
    // "l 209.0137  b -19.3816  galactic"; empty otherwise.
    std::string text;
};

// The celestial world coordinate system of an image's header, read with WCSLIB.
//
// The cards are copied, bytes outside printable ASCII blanked, and parsed as an image header
// with the library's informal extensions admitted (old forms such as CROTA, RADECSYS,
// EPOCH). The first system with celestial axes is kept: the primary one when it has them,
// otherwise the first alternate (A to Z) that has. A header without one, or one the library
// refuses or cannot set up (unknown projection, tabular coordinates, missing memory),
// leaves the object without a system. Nothing is ever printed. WCSLIB's parser keeps
// global state: use it from one thread at a time.
class SkyCoordinates {
public:
    SkyCoordinates() = default; // no system
    explicit SkyCoordinates(const HeaderCards& cards);
    ~SkyCoordinates();
    SkyCoordinates(SkyCoordinates&& other) noexcept;
    SkyCoordinates& operator=(SkyCoordinates&& other) noexcept;
    SkyCoordinates(const SkyCoordinates&) = delete;
    SkyCoordinates& operator=(const SkyCoordinates&) = delete;

    bool available() const { return chosen_ != nullptr; }

    // The sky position of image pixel (x, y), 0-based as the grid counts (y = 0 is the
    // FITS first row): FITS pixel coordinates (x + 1, y + 1); further axes of the system
    // at pixel 1. Without a system: status None; a pixel the projection cannot take back
    // to the sky, or a result that is not a number: Outside.
    SkyPosition positionAt(double x, double y) const;

private:
    void release();

    wcsprm* systems_ = nullptr; // as the library allocated them
    int count_ = 0;
    wcsprm* chosen_ = nullptr;  // one of systems_, set up, or null
};

// Right ascension in degrees as hours "hh:mm:ss.ss" (0 to 24 hours, rounded to a hundredth
// of a second; a value that rounds to 24 hours is 00:00:00.00; any angle is first brought
// into 0..360).
std::string FormatRightAscension(double degrees);
// Declination in degrees as "+dd:mm:ss.s" with its sign always (rounded to a tenth of an
// arcsecond; a value that rounds to zero is "+00:00:00.0").
std::string FormatDeclination(double degrees);

} // namespace skyvane
