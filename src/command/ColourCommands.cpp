#include "command/ColourCommands.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command/Interpreter.h"
#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "processing/ColourPlanes.h"

namespace skyvane {

namespace {

constexpr std::string_view NotComposedReply = "     colour image could not be composed !";
constexpr std::string_view NotEnoughMemoryReply = "     not enough memory !";

// The texts in parentheses, in order: after each "(" up to the next ")" (or the end).
std::vector<std::string> ParenthesisArguments(std::string_view text)
{
    std::vector<std::string> arguments;
    for (std::size_t open = text.find('('); open != std::string_view::npos; open = text.find('(')) {
        text.remove_prefix(open + 1);
        const std::size_t close = text.find(')');
        arguments.emplace_back(text.substr(0, close));
        if (close == std::string_view::npos)
            break;
        text.remove_prefix(close + 1);
    }
    return arguments;
}

struct ChannelWord {
    std::string_view word;
    ColourChannel channel;
};

constexpr std::array<ChannelWord, 4> ChannelWords{{
    {"red", ColourChannel::Red},
    {"green", ColourChannel::Green},
    {"blue", ColourChannel::Blue},
    {"luminance", ColourChannel::Luminance},
}};

} // namespace

Started composeColour(AppContext& context, const CommandLine& command)
{
    const std::vector<std::string> arguments = ParenthesisArguments(command.text);
    if (arguments.size() != 3)
        return WithReply("     three files are needed: rgbcompose (R) (G) (B) !");
    std::array<std::string, 3> paths;
    for (std::size_t i = 0; i < paths.size(); ++i)
        paths[i] = ResolveImagePath(arguments[i], context.settings.WorkingDirectory);

    // The sizes first: nothing is read unless the three files are grey images of one size.
    ImageSize size;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        LoadStatus status;
        if ((status.error = readFitsSize(paths[i], status.size)) != FitsError::None) {
            ReportLoadFailure(context.messages, status, paths[i]);
            return WithReply(std::string(NotComposedReply));
        }
        if (status.size.planes != 1 || (i > 0 && !(status.size == size))) {
            ReportKindMismatch(context.messages, paths[i]);
            return WithReply(std::string(NotComposedReply));
        }
        size = status.size;
    }
    ImageGrid colour;
    if (!colour.tryResize(size.width, size.height, 3)) {
        ReportNotEnoughMemory(context.messages, size.width, size.height);
        return WithReply(std::string(NotEnoughMemoryReply));
    }
    HeaderCards cards;
    ImageRecord plane;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!loadFitsReporting(plane, paths[i], context.messages))
            return WithReply(std::string(NotComposedReply));
        if (plane.grid.planes() != 1 || plane.grid.width() != size.width || plane.grid.height() != size.height) {
            ReportKindMismatch(context.messages, paths[i]); // the file changed since its size was read
            return WithReply(std::string(NotComposedReply));
        }
        SetPlane(colour, static_cast<int>(i), plane.grid);
        if (i == 0)
            cards = PlaneCards(plane.cards, 3);
    }
    // The picture's rows are had before Image A is replaced.
    if (!context.display.prepareRows(size.width, size.height)) {
        ReportNotEnoughMemory(context.messages, size.width, size.height);
        return WithReply(std::string(NotEnoughMemoryReply));
    }
    context.imageA.grid.swap(colour);
    context.imageA.cards = std::move(cards);
    return WithRedraw(Redraw::NewImage);
}

Started extractChannel(AppContext& context, const CommandLine& command)
{
    const ChannelWord* chosen = nullptr;
    for (const ChannelWord& word : ChannelWords)
        if (command.argument == word.word)
            chosen = &word;
    if (chosen == nullptr)
        return WithReply("     channel must be red, green, blue or luminance !");
    ImageRecord& imageA = context.imageA;
    if (!imageA.grid.colour())
        return WithReply("     image has no colour planes !");
    ImageGrid grey;
    ChannelOf(imageA.grid, chosen->channel, grey);
    if (!context.display.prepareRows(grey.width(), grey.height())) {
        ReportNotEnoughMemory(context.messages, grey.width(), grey.height());
        return WithReply(std::string(NotEnoughMemoryReply));
    }
    imageA.grid.swap(grey);
    imageA.cards = PlaneCards(imageA.cards, 1);
    Started started = WithRedraw(Redraw::NewImage);
    started.outcome.reply = std::string(Indent) + "image is the " + std::string(chosen->word) + " plane";
    return started;
}

} // namespace skyvane
