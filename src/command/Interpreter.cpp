#include "command/Interpreter.h"

#include <array>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "context/AppContext.h"
#include "lists/ImageListTree.h"
#include "processing/Arithmetic.h"
#include "processing/Coaddition.h"
#include "processing/Statistics.h"

namespace skyvane {

namespace {

// Every reply starts with these five blanks; lines of a multi-line reply are joined with
// CR LF and the reply has none at its end.
constexpr std::string_view Indent = "     ";
constexpr std::string_view LineBreak = "\r\n";

constexpr std::string_view NoImageReply = "     no image !";
constexpr std::string_view UnknownReply = "     unknown command !";
constexpr std::string_view ListNotFoundReply = "     list name not recognized !";
constexpr std::string_view NoSelectedImageReply = "     list has no selected image !";
constexpr std::string_view FirstImageUnreadableReply = "     first selected image could not be read !";
constexpr std::string_view NotEnoughMemoryReply = "     not enough memory for the co-added image !";
constexpr std::string_view NotEnoughMemoryForCommandReply = "     not enough memory !";

constexpr std::string_view SizeMismatchMessage = "Size of loaded image is not compatible with displayed image.";

enum class Kind {
    Statistics,
    Size,
    Headers,
    Clear,
    AddImage,
    MultiplyImage,
    DivideImage,
    SubtractImage,
    MedianList,
    MeanList,
    MinMaxList,
    SigmaClipList,
    MultiplyConstant,
    AddConstant,
    DivideConstant,
    SubtractConstant,
    Unknown,
};

enum class Match { Equals, StartsWith };

struct Row {
    Match match;
    std::string_view literal;
    Kind kind;
};

// Tested in this order; the first row that matches decides. The image rows ("add (")
// stand before the constant rows ("add "), so a parenthesis right after the word makes
// an image operation.
constexpr std::array<Row, 16> Recognition{{
    {Match::Equals, "stat", Kind::Statistics},
    {Match::Equals, "size", Kind::Size},
    {Match::Equals, "headers", Kind::Headers},
    {Match::Equals, "clear", Kind::Clear},
    {Match::StartsWith, "add (", Kind::AddImage},
    {Match::StartsWith, "mult (", Kind::MultiplyImage},
    {Match::StartsWith, "div (", Kind::DivideImage},
    {Match::StartsWith, "sub (", Kind::SubtractImage},
    {Match::StartsWith, "median [", Kind::MedianList},
    {Match::StartsWith, "mean [", Kind::MeanList},
    {Match::StartsWith, "minmaxrej [", Kind::MinMaxList},
    {Match::StartsWith, "sigmaclip [", Kind::SigmaClipList},
    {Match::StartsWith, "mult ", Kind::MultiplyConstant},
    {Match::StartsWith, "add ", Kind::AddConstant},
    {Match::StartsWith, "div ", Kind::DivideConstant},
    {Match::StartsWith, "sub ", Kind::SubtractConstant},
}};

// "starts with" needs at least one character after the literal.
bool Matches(const Row& row, std::string_view text)
{
    if (row.match == Match::Equals)
        return text == row.literal;
    return text.size() > row.literal.size() && text.substr(0, row.literal.size()) == row.literal;
}

struct Recognised {
    Kind kind = Kind::Unknown;
    std::size_t literalLength = 0;
};

Recognised Recognise(std::string_view text)
{
    for (const Row& row : Recognition)
        if (Matches(row, text))
            return {row.kind, row.literal.size()};
    return {};
}

bool IsListCommand(Kind kind)
{
    return kind == Kind::MedianList || kind == Kind::MeanList || kind == Kind::MinMaxList || kind == Kind::SigmaClipList;
}

// Text between an opening and a closing character, as ParenthesisArgument describes.
std::string EnclosedArgument(std::string_view text, char open, char close)
{
    const std::size_t start = text.find(open);
    if (start != std::string_view::npos)
        text.remove_prefix(start + 1);
    const std::size_t end = text.find(close);
    if (end != std::string_view::npos)
        text = text.substr(0, end);
    return std::string(text);
}

void RedrawImageA(AppContext& context)
{
    // Same size as before: the rows are recomputed in place, which needs no memory.
    (void)context.display.refreshDisplay(context.imageA.grid);
    context.display.repaintDisplay();
}

// The median is the dearest of the five figures; on a large image it runs beside the
// others when a second thread can be had. The grid is only read, by both.
constexpr std::int64_t ParallelStatPixels = std::int64_t{1} << 16;

std::string StatisticsReply(const ImageGrid& grid)
{
    double median = 0.0;
    bool medianDone = false;
    std::thread helper;
    if (grid.pixelCount() >= ParallelStatPixels) {
        try {
            helper = std::thread([&grid, &median, &medianDone] {
                try {
                    median = ImageMedian(grid);
                    medianDone = true;
                } catch (const std::bad_alloc&) {
                    // tried again below, where a failure reaches the caller
                }
            });
        } catch (const std::system_error&) {
            // no second thread: the median is found below, after the other figures
        }
    }
    const MinMax extremes = ImageMinMax(grid);
    const MeanSigma moments = ImageMeanSigma(grid);
    if (helper.joinable())
        helper.join();
    if (!medianDone)
        median = ImageMedian(grid);

    std::string reply;
    const auto line = [&reply](std::string_view name, double value, bool last) {
        reply += Indent;
        reply += name;
        reply += " = ";
        reply += FormatReal(value, 5);
        if (!last)
            reply += LineBreak;
    };
    line("min", extremes.min, false);
    line("max", extremes.max, false);
    line("median", median, false);
    line("mean", moments.mean, false);
    line("sigma", moments.sigma, true);
    return reply;
}

std::string SizeReply(const ImageGrid& grid)
{
    std::string reply(Indent);
    reply += "width = ";
    reply += FormatInteger(grid.width());
    reply += LineBreak;
    reply += Indent;
    reply += "height = ";
    reply += FormatInteger(grid.height());
    return reply;
}

// Only the first card is indented; the cards follow each other with CR LF between them.
std::string HeadersReply(const HeaderCards& cards)
{
    if (cards.empty())
        return "     image has no header records";
    std::string reply(Indent);
    reply.reserve(Indent.size() + static_cast<std::size_t>(cards.count()) * (HeaderCards::CardLength + LineBreak.size()));
    for (int i = 0; i < cards.count(); ++i) {
        if (i > 0)
            reply += LineBreak;
        reply += cards.card(i);
    }
    return reply;
}

std::string ClearReply(AppContext& context)
{
    context.display.clearDisplay();
    context.imageA.clear();
    for (int part = 0; part < 3; ++part)
        context.status.setStatusText(part, "");
    return "     clear display";
}

std::string ImageOperationReply(ImageOperation operation)
{
    switch (operation) {
    case ImageOperation::Add:
        return "     two images have been added";
    case ImageOperation::Multiply:
        return "     two images have been multiplied";
    case ImageOperation::Divide:
        return "     first image has been divided by second image";
    case ImageOperation::Subtract:
        return "     image difference has been calculated";
    }
    return std::string(UnknownReply);
}

// Image A combined with the file named in parentheses, loaded as Image B. A size that
// differs from Image A's is reported and leaves Image A alone; the reply is the command's
// reply either way. A file that cannot be read is reported by the loader; Image A is then
// left alone too, since Image B holds the previous file or a partly read one and
// combining with it would silently give a wrong image.
std::string CombineWithFileReply(AppContext& context, std::string_view command, ImageOperation operation)
{
    const std::string path = ResolveImagePath(ParenthesisArgument(command), context.settings.WorkingDirectory);
    const int loaded = context.imageB.loadFits(path, context.messages);
    if (loaded == 0) {
        const ImageGrid& a = context.imageA.grid;
        const ImageGrid& b = context.imageB.grid;
        if (a.width() == b.width() && a.height() == b.height()) {
            CombineWithImageB(operation, context.imageA.grid, b, context.settings.ZeroDivisionValue);
            RedrawImageA(context);
            ApplyHeaderOption(context.settings.HeadersCombo1, context.imageA, context.imageB, context.messages);
        } else {
            context.messages.showFileError(std::string(SizeMismatchMessage), path);
        }
    }
    return ImageOperationReply(operation);
}

std::string ConstantReply(AppContext& context, Kind kind, std::string_view number)
{
    const double c = ParseReal(number);
    ImageGrid& grid = context.imageA.grid;
    std::string reply;
    switch (kind) {
    case Kind::MultiplyConstant:
        MultiplyByConstant(grid, c);
        reply = "     image has been multiplied by constant";
        break;
    case Kind::AddConstant:
        AddConstant(grid, c);
        reply = "     offset has been added to image";
        break;
    case Kind::SubtractConstant:
        AddConstant(grid, -c);
        reply = "     constant has been subtracted from image";
        break;
    case Kind::DivideConstant:
        // No test on c: dividing by 0 multiplies by infinity, as the command promises.
        MultiplyByConstant(grid, 1.0 / c);
        reply = "     image has been divided by constant";
        break;
    default:
        return std::string(UnknownReply);
    }
    RedrawImageA(context);
    return reply;
}

// The second line of a co-addition's reply when frames were left out (their messages
// have named each file): "N of M frames combined; left out: " and the first five names.
std::string LeftOutLine(const CoaddFrames& frames)
{
    constexpr std::size_t NamesShown = 5;
    if (frames.leftOut.empty())
        return {};
    const std::size_t combined = static_cast<std::size_t>(frames.selected) - frames.leftOut.size();
    std::string line(LineBreak);
    line += Indent;
    line += FormatInteger(static_cast<std::int64_t>(combined));
    line += " of ";
    line += FormatInteger(frames.selected);
    line += " frames combined; left out: ";
    for (std::size_t i = 0; i < frames.leftOut.size() && i < NamesShown; ++i) {
        if (i > 0)
            line += ", ";
        line += PathFileName(frames.leftOut[i]);
    }
    if (frames.leftOut.size() > NamesShown)
        line += ", ...";
    return line;
}

std::string ListReply(AppContext& context, Kind kind, const std::string& command)
{
    const int n = FindListByName(context.lists, BracketArgument(command));
    if (n == 0)
        return std::string(ListNotFoundReply);

    CoaddStatus status = CoaddStatus::Done;
    CoaddFrames frames;
    std::string done;
    std::string tooFew;
    switch (kind) {
    case Kind::MedianList:
        status = combineMedian(context, n, &frames);
        done = "     median image has been calculated";
        break;
    case Kind::MeanList:
        status = combineMean(context, n, &frames);
        done = "     mean image has been calculated";
        break;
    case Kind::MinMaxList:
        status = combineMinMaxRejection(context, n, &frames);
        done = "     co-added image has been calculated with min-max rejection";
        tooFew = "     min-max rejection requires at least 3 images!";
        break;
    case Kind::SigmaClipList: {
        const double kappa = ParseReal(CommandToken(command, 2));
        const int iterations = ParseInteger(CommandToken(command, 3));
        status = combineSigmaClipping(context, n, kappa, iterations, &frames);
        done = "     co-added image has been calculated with sigma clipping";
        tooFew = "     sigma clipping requires at least 5 images!";
        break;
    }
    default:
        return std::string(UnknownReply);
    }

    switch (status) {
    case CoaddStatus::Done:
        return done + LeftOutLine(frames);
    case CoaddStatus::TooFewImages:
        // Median and mean accept any count; should they ever refuse, say what happened.
        return tooFew.empty() ? std::string("     list has too few images !") : tooFew;
    case CoaddStatus::NoSelectedImage:
        return std::string(NoSelectedImageReply);
    case CoaddStatus::FirstImageUnreadable:
        return std::string(FirstImageUnreadableReply);
    case CoaddStatus::NotEnoughMemory:
        return std::string(NotEnoughMemoryReply);
    }
    return done;
}

std::string RunCommand(AppContext& context, const std::string& command, const Recognised& recognised)
{
    switch (recognised.kind) {
    case Kind::Statistics:
        return StatisticsReply(context.imageA.grid);
    case Kind::Size:
        return SizeReply(context.imageA.grid);
    case Kind::Headers:
        return HeadersReply(context.imageA.cards);
    case Kind::Clear:
        return ClearReply(context);
    case Kind::AddImage:
        return CombineWithFileReply(context, command, ImageOperation::Add);
    case Kind::MultiplyImage:
        return CombineWithFileReply(context, command, ImageOperation::Multiply);
    case Kind::DivideImage:
        return CombineWithFileReply(context, command, ImageOperation::Divide);
    case Kind::SubtractImage:
        return CombineWithFileReply(context, command, ImageOperation::Subtract);
    case Kind::MedianList:
    case Kind::MeanList:
    case Kind::MinMaxList:
    case Kind::SigmaClipList:
        return ListReply(context, recognised.kind, command);
    case Kind::MultiplyConstant:
    case Kind::AddConstant:
    case Kind::DivideConstant:
    case Kind::SubtractConstant:
        return ConstantReply(context, recognised.kind, std::string_view(command).substr(recognised.literalLength));
    case Kind::Unknown:
        break;
    }
    return std::string(UnknownReply);
}

} // namespace

std::string ExecuteCommand(AppContext& context, const std::string& command)
{
    const Recognised recognised = Recognise(command);
    if (recognised.kind == Kind::Unknown)
        return std::string(UnknownReply);
    // The list commands make their own image; every other command needs one. An Image A
    // of no pixel counts as none.
    if (!IsListCommand(recognised.kind) && !context.imagePresent())
        return std::string(NoImageReply);
    try {
        return RunCommand(context, command, recognised);
    } catch (const std::bad_alloc&) {
        // Memory that depends on the image's size (the median's copy of the pixels, say)
        // could not be had; whatever the command had not yet changed stays as it was.
        const ImageGrid& grid = context.imageA.grid;
        context.messages.showError(NotEnoughMemoryText(grid.width(), grid.height()));
        return std::string(NotEnoughMemoryForCommandReply);
    }
}

std::string ParenthesisArgument(std::string_view text)
{
    return EnclosedArgument(text, '(', ')');
}

std::string BracketArgument(std::string_view text)
{
    return EnclosedArgument(text, '[', ']');
}

std::string CommandToken(std::string_view text, int n)
{
    for (int i = 0; i < n; ++i) {
        const std::size_t blank = text.find(' ');
        if (blank == std::string_view::npos)
            break; // fewer tokens: the last one is returned
        text.remove_prefix(blank + 1);
    }
    const std::size_t blank = text.find(' ');
    if (blank != std::string_view::npos)
        text = text.substr(0, blank);
    return std::string(text);
}

std::string ResolveImagePath(std::string_view argument, std::string_view workingDirectory)
{
    // A separator anywhere means the user gave a path of their own (absolute or relative
    // to the process): it is used as it stands.
    if (argument.find_first_of("/\\") != std::string_view::npos)
        return std::string(argument);
    std::string name(argument);
    if (name.find('.') == std::string::npos)
        name += ".fit";
    return JoinPath(workingDirectory, name);
}

int FindListByName(const ImageListTree& lists, std::string_view name)
{
    int found = 0;
    const int count = lists.ListCount();
    for (int i = 1; i <= count; ++i)
        if (BracketArgument(lists.ListLabel(i)) == name)
            found = i; // no early stop: of two lists with one name the later one wins
    return found;
}

} // namespace skyvane
