#include "display/SkyPosition.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>
#include <wcslib/wcsmath.h>

namespace skyvane {

namespace {

// A celestial system's longitude and latitude axes, after wcsset.
bool IsCelestial(const wcsprm& system)
{
    return system.lng >= 0 && system.lat >= 0;
}

// "123.4567" style degrees with a given number of decimals, without the C locale's say
// (a decimal comma must never appear): rounded to the last decimal.
std::string FormatDegrees(double degrees, int decimals, bool sign)
{
    long long scale = 1;
    for (int i = 0; i < decimals; ++i)
        scale *= 10;
    const long long units = std::llround(std::fabs(degrees) * static_cast<double>(scale));
    char buffer[64];
    const char* prefix = degrees < 0.0 && units != 0 ? "-" : (sign ? "+" : "");
    std::snprintf(buffer, sizeof buffer, "%s%lld.%0*lld", prefix, units / scale, decimals, units % scale);
    return buffer;
}

// The name of an equatorial frame, with its equinox where it has one: "ICRS", "FK5 J2000",
// "FK4 B1950". Empty when the system names none.
std::string FrameName(const wcsprm& system)
{
    const std::string frame(system.radesys, strnlen(system.radesys, sizeof system.radesys));
    if ((frame == "FK5" || frame == "FK4" || frame == "FK4-NO-E") && !undefined(system.equinox) && std::isfinite(system.equinox)) {
        const long long tenths = std::llround(system.equinox * 10.0);
        char equinox[48];
        if (tenths % 10 == 0)
            std::snprintf(equinox, sizeof equinox, " %c%lld", frame == "FK5" ? 'J' : 'B', tenths / 10);
        else
            std::snprintf(equinox, sizeof equinox, " %c%lld.%lld", frame == "FK5" ? 'J' : 'B', tenths / 10, tenths % 10);
        return frame + equinox;
    }
    return frame;
}

std::string AxisType(const char* type, std::size_t size)
{
    return {type, strnlen(type, size)};
}

std::string Describe(const wcsprm& system, double longitude, double latitude)
{
    const std::string lng = AxisType(system.lngtyp, sizeof system.lngtyp);
    const std::string lat = AxisType(system.lattyp, sizeof system.lattyp);
    if (lng == "RA" && lat == "DEC") {
        std::string text = "RA " + FormatRightAscension(longitude) + "  Dec " + FormatDeclination(latitude);
        const std::string frame = FrameName(system);
        if (!frame.empty())
            text += "  " + frame;
        return text;
    }
    double l = std::fmod(longitude, 360.0);
    if (l < 0.0)
        l += 360.0;
    if (std::llround(l * 10000.0) >= 3600000)
        l = 0.0;
    if (lng == "GLON" && lat == "GLAT")
        return "l " + FormatDegrees(l, 4, false) + "  b " + FormatDegrees(latitude, 4, false) + "  galactic";
    if (lng == "ELON" && lat == "ELAT")
        return "lon " + FormatDegrees(l, 4, false) + "  lat " + FormatDegrees(latitude, 4, false) + "  ecliptic";
    return lng + " " + FormatDegrees(l, 4, false) + "  " + lat + " " + FormatDegrees(latitude, 4, false);
}

} // namespace

std::string FormatRightAscension(double degrees)
{
    double d = std::fmod(degrees, 360.0);
    if (d < 0.0)
        d += 360.0;
    constexpr long long Day = 24LL * 3600 * 100; // hundredths of a second of time
    long long units = std::llround(d / 15.0 * 3600.0 * 100.0);
    if (units >= Day || units < 0)
        units = 0;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld.%02lld", units / 360000, units / 6000 % 60, units / 100 % 60, units % 100);
    return buffer;
}

std::string FormatDeclination(double degrees)
{
    const long long units = std::llround(std::fabs(degrees) * 3600.0 * 10.0); // tenths of an arcsecond
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%c%02lld:%02lld:%02lld.%lld", degrees < 0.0 && units != 0 ? '-' : '+', units / 36000,
                  units / 600 % 60, units / 10 % 60, units % 10);
    return buffer;
}

SkyCoordinates::SkyCoordinates(const HeaderCards& cards)
{
    const int count = cards.count();
    if (count <= 0)
        return;
    // The parser reads count x 80 characters, nothing else; FITS allows only printable
    // ASCII in a card.
    std::vector<char> header(static_cast<std::size_t>(count) * HeaderCards::CardLength + 1, '\0');
    for (int i = 0; i < count; ++i) {
        const std::string_view card = cards.card(i);
        for (std::size_t k = 0; k < card.size(); ++k) {
            const char c = card[k];
            header[static_cast<std::size_t>(i) * HeaderCards::CardLength + k] = c >= 0x20 && c <= 0x7E ? c : ' ';
        }
    }
    int rejected = 0;
    int found = 0;
    wcsprm* systems = nullptr;
    const int status = wcspih(header.data(), count, WCSHDR_all, 0, &rejected, &found, &systems);
    if (status != 0) {
        if (systems != nullptr)
            wcsvfree(&found, &systems);
        return;
    }
    systems_ = systems;
    count_ = found;
    // The primary system comes first (alternate ' '), then A..Z in the order found.
    for (int i = 0; i < count_ && chosen_ == nullptr; ++i) {
        wcsprm& system = systems_[i];
        if (wcsset(&system) == 0 && IsCelestial(system))
            chosen_ = &system;
    }
    if (chosen_ == nullptr)
        release();
}

SkyCoordinates::~SkyCoordinates()
{
    release();
}

SkyCoordinates::SkyCoordinates(SkyCoordinates&& other) noexcept
    : systems_(std::exchange(other.systems_, nullptr)), count_(std::exchange(other.count_, 0)), chosen_(std::exchange(other.chosen_, nullptr))
{
}

SkyCoordinates& SkyCoordinates::operator=(SkyCoordinates&& other) noexcept
{
    if (this != &other) {
        release();
        systems_ = std::exchange(other.systems_, nullptr);
        count_ = std::exchange(other.count_, 0);
        chosen_ = std::exchange(other.chosen_, nullptr);
    }
    return *this;
}

void SkyCoordinates::release()
{
    if (systems_ != nullptr)
        wcsvfree(&count_, &systems_);
    systems_ = nullptr;
    count_ = 0;
    chosen_ = nullptr;
}

SkyPosition SkyCoordinates::positionAt(double x, double y) const
{
    SkyPosition position;
    if (chosen_ == nullptr)
        return position;
    position.status = SkyPosition::Status::Outside;
    if (!std::isfinite(x) || !std::isfinite(y))
        return position;
    const int axes = chosen_->naxis;
    std::vector<double> pixel(static_cast<std::size_t>(axes), 1.0);
    std::vector<double> intermediate(static_cast<std::size_t>(axes), 0.0);
    std::vector<double> world(static_cast<std::size_t>(axes), 0.0);
    if (axes >= 1)
        pixel[0] = x + 1.0;
    if (axes >= 2)
        pixel[1] = y + 1.0;
    double phi = 0.0;
    double theta = 0.0;
    int status = 0;
    if (wcsp2s(chosen_, 1, axes, pixel.data(), intermediate.data(), &phi, &theta, world.data(), &status) != 0 || status != 0)
        return position;
    const double longitude = world[static_cast<std::size_t>(chosen_->lng)];
    const double latitude = world[static_cast<std::size_t>(chosen_->lat)];
    if (!std::isfinite(longitude) || !std::isfinite(latitude))
        return position;
    position.status = SkyPosition::Status::Valid;
    position.longitude = longitude;
    position.latitude = latitude;
    position.text = Describe(*chosen_, longitude, latitude);
    return position;
}

} // namespace skyvane
