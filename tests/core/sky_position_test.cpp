#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include "display/SkyPosition.h"
#include "image/ImageRecord.h"

namespace skyvane {
namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double Degree = Pi / 180.0;
constexpr double Arcsecond = 1.0 / 3600.0;

// "KEYWORD = value" cards as a file has them, keyword padded to eight characters.
HeaderCards Header(std::initializer_list<std::pair<const char*, std::string>> keys)
{
    HeaderCards cards;
    cards.append("SIMPLE  =                    T");
    cards.append("BITPIX  =                  -64");
    cards.append("NAXIS   =                    2");
    cards.append("NAXIS1  =                  100");
    cards.append("NAXIS2  =                  100");
    for (const auto& [key, value] : keys) {
        std::string card = key;
        card.resize(8, ' ');
        cards.append(card + "= " + value);
    }
    return cards;
}

// A tangent-plane header: reference pixel (FITS) crpix, reference point crval, one
// arcsecond per pixel, right ascension growing to the left.
HeaderCards TanHeader(double crval1, double crval2, const char* lng = "'RA---TAN'", const char* lat = "'DEC--TAN'")
{
    return Header({{"CTYPE1", lng},
                   {"CTYPE2", lat},
                   {"CRPIX1", "50.0"},
                   {"CRPIX2", "40.0"},
                   {"CRVAL1", std::to_string(crval1)},
                   {"CRVAL2", std::to_string(crval2)},
                   {"CDELT1", "-2.777777777777778E-04"},
                   {"CDELT2", "2.777777777777778E-04"},
                   {"RADESYS", "'FK5'"},
                   {"EQUINOX", "2000.0"}});
}

// The gnomonic projection undone by hand: standard coordinates xi, eta (radians) around
// (a0, d0) give a = a0 + atan2(xi, cos d0 - eta sin d0) and
// d = atan((sin d0 + eta cos d0) cos(a - a0) / (cos d0 - eta sin d0)).
std::pair<double, double> Gnomonic(double a0, double d0, double xiDegrees, double etaDegrees)
{
    const double xi = xiDegrees * Degree;
    const double eta = etaDegrees * Degree;
    const double da = std::atan2(xi, std::cos(d0 * Degree) - eta * std::sin(d0 * Degree));
    const double d = std::atan((std::sin(d0 * Degree) + eta * std::cos(d0 * Degree)) * std::cos(da) /
                               (std::cos(d0 * Degree) - eta * std::sin(d0 * Degree)));
    return {a0 + da / Degree, d / Degree};
}

TEST(SkyPosition, ReferencePixelGivesTheReferencePointExactly)
{
    const SkyCoordinates sky(TanHeader(83.8, -5.39));
    ASSERT_TRUE(sky.available());
    // Grid pixel (49, 39) is FITS pixel (50, 40), the reference pixel.
    const SkyPosition p = sky.positionAt(49.0, 39.0);
    ASSERT_EQ(p.status, SkyPosition::Status::Valid);
    EXPECT_NEAR(p.longitude, 83.8, 1e-12);
    EXPECT_NEAR(p.latitude, -5.39, 1e-12);
    // 83.8 / 15 = 5.58666 h = 5 h 35 m 12.00 s; 5.39 deg = 5 deg 23' 24.0".
    EXPECT_EQ(p.text, "RA 05:35:12.00  Dec -05:23:24.0  FK5 J2000");
}

TEST(SkyPosition, OnePixelOffFollowsTheGnomonicFormulas)
{
    // On the equator one pixel is one arcsecond: left-right moves the right ascension by
    // 1/15 s of time (RA grows to the left), up moves the declination by 1".
    const SkyCoordinates equator(TanHeader(83.8, 0.0));
    EXPECT_EQ(equator.positionAt(49.0, 39.0).text, "RA 05:35:12.00  Dec +00:00:00.0  FK5 J2000");
    EXPECT_EQ(equator.positionAt(50.0, 39.0).text, "RA 05:35:11.93  Dec +00:00:00.0  FK5 J2000");
    EXPECT_EQ(equator.positionAt(48.0, 39.0).text, "RA 05:35:12.07  Dec +00:00:00.0  FK5 J2000");
    EXPECT_EQ(equator.positionAt(49.0, 40.0).text, "RA 05:35:12.00  Dec +00:00:01.0  FK5 J2000");
    EXPECT_EQ(equator.positionAt(49.0, 38.0).text, "RA 05:35:12.00  Dec -00:00:01.0  FK5 J2000");

    // Away from the equator, and far enough from the reference pixel for the projection to
    // matter, against the formulas.
    for (const double d0 : {-5.39, 41.27, -88.5}) {
        const SkyCoordinates sky(TanHeader(83.8, d0));
        ASSERT_TRUE(sky.available());
        for (const auto& [dx, dy] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{-1, -1}, std::pair{50, -39}, std::pair{-49, 60}}) {
            const SkyPosition p = sky.positionAt(49.0 + dx, 39.0 + dy);
            ASSERT_EQ(p.status, SkyPosition::Status::Valid);
            const auto [a, d] = Gnomonic(83.8, d0, -dx * Arcsecond, dy * Arcsecond);
            EXPECT_NEAR(p.longitude, a, 1e-9) << "dec " << d0 << ", offset " << dx << ", " << dy;
            EXPECT_NEAR(p.latitude, d, 1e-9) << "dec " << d0 << ", offset " << dx << ", " << dy;
        }
    }
}

TEST(SkyPosition, GalacticAndOtherFrames)
{
    const SkyCoordinates galactic(TanHeader(209.0137, -19.3816, "'GLON-TAN'", "'GLAT-TAN'"));
    ASSERT_TRUE(galactic.available());
    EXPECT_EQ(galactic.positionAt(49.0, 39.0).text, "l 209.0137  b -19.3816  galactic");

    // No frame keywords: the frame as the library defaults it (ICRS without an equinox).
    const SkyCoordinates bare(Header({{"CTYPE1", "'RA---TAN'"}, {"CTYPE2", "'DEC--TAN'"}, {"CRPIX1", "1"}, {"CRPIX2", "1"},
                                      {"CRVAL1", "0"}, {"CRVAL2", "60"}, {"CDELT1", "-0.001"}, {"CDELT2", "0.001"}}));
    ASSERT_TRUE(bare.available());
    EXPECT_EQ(bare.positionAt(0.0, 0.0).text, "RA 00:00:00.00  Dec +60:00:00.0  ICRS");

    // The old FK4 form with EPOCH instead of EQUINOX, admitted as an informal extension.
    const SkyCoordinates old(Header({{"CTYPE1", "'RA---TAN'"}, {"CTYPE2", "'DEC--TAN'"}, {"CRPIX1", "1"}, {"CRPIX2", "1"},
                                     {"CRVAL1", "15.0"}, {"CRVAL2", "10.0"}, {"CDELT1", "-0.001"}, {"CDELT2", "0.001"},
                                     {"RADECSYS", "'FK4'"}, {"EPOCH", "1950.0"}}));
    ASSERT_TRUE(old.available());
    EXPECT_EQ(old.positionAt(0.0, 0.0).text, "RA 01:00:00.00  Dec +10:00:00.0  FK4 B1950");

    // An alternate system is used when the primary one is not celestial.
    const SkyCoordinates alternate(Header({{"CTYPE1", "'LINEAR'"}, {"CTYPE2", "'LINEAR'"}, {"CTYPE1A", "'RA---TAN'"},
                                           {"CTYPE2A", "'DEC--TAN'"}, {"CRPIX1A", "1"}, {"CRPIX2A", "1"}, {"CRVAL1A", "30.0"},
                                           {"CRVAL2A", "-30.0"}, {"CDELT1A", "-0.001"}, {"CDELT2A", "0.001"}}));
    ASSERT_TRUE(alternate.available());
    EXPECT_EQ(alternate.positionAt(0.0, 0.0).text, "RA 02:00:00.00  Dec -30:00:00.0  ICRS");
}

TEST(SkyPosition, NoCelestialSystemGivesNone)
{
    const std::pair<const char*, HeaderCards> cases[] = {
        {"no world coordinate keywords", Header({{"OBJECT", "'M42'"}})},
        {"linear axes only", Header({{"CTYPE1", "'LINEAR'"}, {"CTYPE2", "'LINEAR'"}, {"CRVAL1", "3.0"}})},
        {"an unknown projection", Header({{"CTYPE1", "'RA---XYZ'"}, {"CTYPE2", "'DEC--XYZ'"}, {"CRVAL1", "3.0"}})},
        {"a longitude without its latitude", Header({{"CTYPE1", "'RA---TAN'"}, {"CTYPE2", "'LINEAR'"}})},
        {"tabular coordinates without their table", Header({{"CTYPE1", "'RA---TAB'"}, {"CTYPE2", "'DEC--TAB'"}})},
        {"no cards at all", HeaderCards{}},
    };
    for (const auto& [why, cards] : cases) {
        const SkyCoordinates sky(cards);
        EXPECT_FALSE(sky.available()) << why;
        const SkyPosition p = sky.positionAt(10.0, 10.0);
        EXPECT_EQ(p.status, SkyPosition::Status::None) << why;
        EXPECT_EQ(p.text, "") << why;
    }
    EXPECT_EQ(SkyCoordinates().positionAt(0.0, 0.0).status, SkyPosition::Status::None);
}

TEST(SkyPosition, HostileCardsAndPointsBeyondTheProjection)
{
    // Control bytes, bytes above 127 and a NUL in the cards: cleaned, never passed on.
    HeaderCards cards = TanHeader(83.8, -5.39);
    std::string noise = "COMMENT ";
    for (int c = 1; c < 32; ++c)
        noise += static_cast<char>(c);
    noise += "\xff\xfe";
    noise += '\0';
    noise += "after the NUL";
    cards.append(noise);
    cards.append(std::string("HISTORY \x1b[2J\x07"));
    SkyCoordinates sky(cards);
    ASSERT_TRUE(sky.available());
    EXPECT_EQ(sky.positionAt(49.0, 39.0).text, "RA 05:35:12.00  Dec -05:23:24.0  FK5 J2000");

    // The orthographic projection covers one hemisphere: 80 degrees out is beyond it.
    const SkyCoordinates orthographic(Header({{"CTYPE1", "'RA---SIN'"}, {"CTYPE2", "'DEC--SIN'"}, {"CRPIX1", "1"}, {"CRPIX2", "1"},
                                              {"CRVAL1", "0"}, {"CRVAL2", "0"}, {"CDELT1", "-1.0"}, {"CDELT2", "1.0"}}));
    ASSERT_TRUE(orthographic.available());
    EXPECT_EQ(orthographic.positionAt(30.0, 0.0).status, SkyPosition::Status::Valid);
    const SkyPosition beyond = orthographic.positionAt(80.0, 0.0);
    EXPECT_EQ(beyond.status, SkyPosition::Status::Outside);
    EXPECT_EQ(beyond.text, "");
    EXPECT_EQ(sky.positionAt(std::numeric_limits<double>::quiet_NaN(), 1.0).status, SkyPosition::Status::Outside);
    EXPECT_EQ(sky.positionAt(1.0, std::numeric_limits<double>::infinity()).status, SkyPosition::Status::Outside);

    // Moving keeps the system; the moved-from object has none.
    SkyCoordinates moved = std::move(sky);
    EXPECT_TRUE(moved.available());
    EXPECT_FALSE(sky.available()); // NOLINT(bugprone-use-after-move): the rule being tested
    moved = SkyCoordinates(Header({}));
    EXPECT_FALSE(moved.available());
}

TEST(SkyPosition, SexagesimalRounding)
{
    EXPECT_EQ(FormatRightAscension(0.0), "00:00:00.00");
    EXPECT_EQ(FormatRightAscension(83.8), "05:35:12.00");
    EXPECT_EQ(FormatRightAscension(359.99999999), "00:00:00.00") << "23:59:59.999... rounds to 24 h, which is 0 h";
    EXPECT_EQ(FormatRightAscension(359.9999), "23:59:59.98");
    EXPECT_EQ(FormatRightAscension(-15.0), "23:00:00.00");
    EXPECT_EQ(FormatRightAscension(375.0), "01:00:00.00");
    EXPECT_EQ(FormatRightAscension(15.0 * (59.0 / 60.0 + 59.995 / 3600.0)), "01:00:00.00") << "carries into minutes and hours";
    EXPECT_EQ(FormatDeclination(-5.39), "-05:23:24.0");
    EXPECT_EQ(FormatDeclination(90.0), "+90:00:00.0");
    EXPECT_EQ(FormatDeclination(-89.99999), "-90:00:00.0") << "89:59:59.964 rounds up through every field";
    EXPECT_EQ(FormatDeclination(-0.00001), "+00:00:00.0") << "no minus sign on a value shown as zero";
    EXPECT_EQ(FormatDeclination(0.5 / 36000.0), "+00:00:00.1") << "halves round away from zero";
}

} // namespace
} // namespace skyvane
