#include "processing/Mosaic.h"

#include <charconv>
#include <cmath>

namespace skyvane {

namespace {

constexpr std::array<std::string_view, 4> PatternNames{"RGGB", "BGGR", "GRBG", "GBRG"};

FilterColour ColourOfLetter(char letter)
{
    return letter == 'R' ? FilterColour::Red : letter == 'B' ? FilterColour::Blue : FilterColour::Green;
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The value part of the card of keyword ("KEYWORD = value / comment"): after "= ", blanks
// around it removed; nothing when the keyword has no such card.
std::optional<std::string_view> CardValue(const HeaderCards& cards, std::string_view keyword)
{
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        if (TrimBlanks(card.substr(0, 8)) == keyword && card.substr(8, 2) == "= ")
            return TrimBlanks(card.substr(10));
    }
    return std::nullopt;
}

// A quoted string value ('RGGB    ' / comment), quotes doubled inside it, trailing blanks
// not part of it.
std::optional<std::string> CardString(const HeaderCards& cards, std::string_view keyword)
{
    const std::optional<std::string_view> value = CardValue(cards, keyword);
    if (!value || value->empty() || value->front() != '\'')
        return std::nullopt;
    std::string text;
    for (std::size_t i = 1; i < value->size(); ++i) {
        if ((*value)[i] != '\'') {
            text += (*value)[i];
            continue;
        }
        if (i + 1 < value->size() && (*value)[i + 1] == '\'') {
            text += '\'';
            ++i;
            continue;
        }
        return std::string(TrimBlanks(text));
    }
    return std::nullopt; // no closing quote
}

enum class Whole { Absent, Value, Malformed };

// An integer value (a real one of no fraction counts too: "1.0").
Whole CardWhole(const HeaderCards& cards, std::string_view keyword, long long& number)
{
    std::optional<std::string_view> value = CardValue(cards, keyword);
    if (!value)
        return Whole::Absent;
    std::string_view text = *value;
    if (const std::size_t slash = text.find('/'); slash != std::string_view::npos)
        text = TrimBlanks(text.substr(0, slash));
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double real = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), real);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(real) ||
        real != std::trunc(real) || std::fabs(real) > 1e15)
        return Whole::Malformed;
    number = static_cast<long long>(real);
    return Whole::Value;
}

} // namespace

Mosaic::Mosaic(Pattern pattern) : pattern_(pattern)
{
    const std::string_view letters = PatternNames[static_cast<std::size_t>(pattern)];
    for (std::size_t i = 0; i < 4; ++i)
        colours_[i] = ColourOfLetter(letters[i]);
}

std::string_view Mosaic::name() const
{
    return PatternNames[static_cast<std::size_t>(pattern_)];
}

Mosaic Mosaic::shifted(int dx, int dy) const
{
    // Site s of the shifted cell holds the colour of site s moved by (dx, dy) here; the
    // cell's red and blue stay diagonal to each other, so the result is one of the four.
    std::string letters(4, 'G');
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            const FilterColour colour = colourAt(x + (dx & 1), y + (dy & 1));
            letters[static_cast<std::size_t>(site(x, y))] = colour == FilterColour::Red ? 'R' : colour == FilterColour::Blue ? 'B' : 'G';
        }
    return *MosaicFromName(letters);
}

std::optional<Mosaic> MosaicFromName(std::string_view name)
{
    name = TrimBlanks(name);
    if (name.size() != 4)
        return std::nullopt;
    std::string upper(name);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (std::size_t i = 0; i < PatternNames.size(); ++i)
        if (upper == PatternNames[i])
            return Mosaic(static_cast<Mosaic::Pattern>(i));
    return std::nullopt;
}

std::optional<Mosaic> MosaicOfCards(const HeaderCards& cards)
{
    const std::optional<std::string> pattern = CardString(cards, "BAYERPAT");
    if (!pattern)
        return std::nullopt;
    const std::optional<Mosaic> readOut = MosaicFromName(*pattern);
    if (!readOut)
        return std::nullopt;
    long long naxis = 2;
    if (CardWhole(cards, "NAXIS", naxis) == Whole::Value && naxis != 2)
        return std::nullopt; // a colour cube, or no image: no mosaic to demosaic
    long long xOffset = 0;
    long long yOffset = 0;
    if (CardWhole(cards, "XBAYROFF", xOffset) == Whole::Malformed || CardWhole(cards, "YBAYROFF", yOffset) == Whole::Malformed)
        return std::nullopt;
    // Stored row y is read-out row y (top-down) or height - 1 - y (bottom-up); only the
    // parity of the row counts, and -y has the parity of y, so both are a shift of the cell.
    long long rowShift = yOffset;
    const std::optional<std::string> order = CardString(cards, "ROWORDER");
    if (order && *order == "BOTTOM-UP") {
        long long height = 0;
        if (CardWhole(cards, "NAXIS2", height) != Whole::Value)
            return std::nullopt;
        rowShift += height - 1;
    }
    return readOut->shifted(static_cast<int>(xOffset & 1), static_cast<int>(rowShift & 1));
}

HeaderCards WithoutMosaicCards(const HeaderCards& cards)
{
    HeaderCards kept;
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        const std::string_view keyword = TrimBlanks(card.substr(0, 8));
        if (keyword == "BAYERPAT" || keyword == "XBAYROFF" || keyword == "YBAYROFF")
            continue;
        kept.append(card);
    }
    return kept;
}

} // namespace skyvane
