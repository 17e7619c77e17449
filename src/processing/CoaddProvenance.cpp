#include "processing/CoaddProvenance.h"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "image/FitsReader.h"
#include "processing/ListOutput.h"

namespace skyvane {

namespace {

std::string Fixed(double value, int decimals)
{
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return error == std::errc() ? std::string(text, end) : std::string("nan");
}

// A real as a FITS value: always with a point or an exponent.
std::string RealValue(double value)
{
    std::string text = FormatReal(value, 15);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

// "KEYWORD = " + value right-aligned to column 30 + " / " + comment.
std::string ValueCard(std::string_view keyword, const std::string& value, std::string_view comment)
{
    std::string card(keyword);
    card.resize(8, ' ');
    card += "= ";
    if (value.size() < 20)
        card.append(20 - value.size(), ' ');
    card += value;
    card += " / ";
    card += comment;
    return card;
}

bool IsKeyword(std::string_view card, std::string_view keyword)
{
    if (card.size() < 8 || card.substr(0, keyword.size()) != keyword)
        return false;
    for (std::size_t i = keyword.size(); i < 8; ++i)
        if (card[i] != ' ')
            return false;
    return card.size() >= 10 && card.substr(8, 2) == "= ";
}

// Replaces the first card of the keyword by card, or appends it.
void SetCard(HeaderCards& cards, std::string_view keyword, const std::string& card)
{
    for (int i = 0; i < cards.count(); ++i) {
        if (!IsKeyword(cards.card(i), keyword))
            continue;
        HeaderCards rebuilt;
        for (int j = 0; j < cards.count(); ++j)
            rebuilt.append(j == i ? std::string_view(card) : cards.card(j));
        cards = std::move(rebuilt);
        return;
    }
    cards.append(card);
}

// The value of a numeric card of the keyword; false when there is none.
bool NumericValue(const HeaderCards& cards, std::string_view keyword, double& value)
{
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        if (!IsKeyword(card, keyword))
            continue;
        std::string_view text = card.substr(10);
        if (const std::size_t slash = text.find('/'); slash != std::string_view::npos)
            text = text.substr(0, slash);
        return ParseWholeReal(text, value);
    }
    return false;
}

std::string MethodText(const CoaddParameters& parameters)
{
    const auto clipping = [&](std::string_view name) {
        return std::string(name) + ", kappa " + FormatReal(parameters.kappa, 15) + ", " + FormatInteger(parameters.iterations) +
               (parameters.iterations == 1 ? " iteration" : " iterations");
    };
    switch (parameters.method) {
    case CoaddMethod::Median:
        return "median";
    case CoaddMethod::Mean:
        return "mean";
    case CoaddMethod::MinMaxRejection:
        return "min-max rejection";
    case CoaddMethod::SigmaClipping:
        return clipping("sigma clipping");
    case CoaddMethod::WinsorisedClipping:
        return clipping("winsorised sigma clipping");
    }
    return {};
}

} // namespace

void AddCoaddProvenance(CoaddResult& result, const CoaddOptions& options)
{
    HeaderCards& cards = result.cards;
    const std::size_t combined = result.combined.size();
    SetCard(cards, "NCOMBINE", ValueCard("NCOMBINE", FormatInteger(static_cast<std::int64_t>(combined)), "number of frames combined"));

    double total = 0.0;
    bool everyExposure = combined > 0;
    for (const std::string& path : result.combined) {
        HeaderCards frameCards;
        double exposure = 0.0;
        if (readFitsHeaderCards(path, frameCards) != FitsError::None || !NumericValue(frameCards, "EXPTIME", exposure)) {
            everyExposure = false;
            break;
        }
        total += exposure;
    }
    const double mean = everyExposure ? total / static_cast<double>(combined) : 0.0;
    if (everyExposure)
        SetCard(cards, "EXPTIME", ValueCard("EXPTIME", RealValue(mean), "[s] mean exposure of the frames combined"));

    AppendHistory(cards, "Skyvane: " + FormatInteger(static_cast<std::int64_t>(combined)) + (combined == 1 ? " frame" : " frames") +
                             " combined by " + MethodText(options.parameters));
    AppendHistory(cards, "Skyvane: normalisation " + std::string(NormalisationName(options.choice.normalisation)) + ", weights " +
                             std::string(WeightingName(options.choice.weighting)));
    if (!result.leftOut.empty()) {
        std::string names;
        for (const std::string& path : result.leftOut)
            names += (names.empty() ? "" : ", ") + PathFileName(path);
        AppendHistory(cards, "Skyvane: left out " + names);
    }
    if (everyExposure)
        AppendHistory(cards, "Skyvane: exposure " + FormatReal(mean, 15) + " s per frame on average, " + FormatReal(total, 15) + " s in total");
    for (std::size_t k = 0; k < result.figures.size() && k < combined; ++k) {
        const FrameFigures& f = result.figures[k];
        AppendHistory(cards, "Skyvane: " + PathFileName(result.combined[k]) + " sky " + Fixed(f.level, 1) + " noise " + Fixed(f.noise, 2) +
                                 " scale " + (f.scaleKnown ? Fixed(f.scale, 3) : std::string("unknown")) + " weight " + Fixed(f.weight, 3));
    }
}

} // namespace skyvane
