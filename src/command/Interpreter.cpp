#include "command/Interpreter.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "command/DisplayCommands.h"
#include "command/ColourCommands.h"
#include "command/CommandFamily.h"
#include "command/Messages.h"
#include "command/RegistrationCommands.h"
#include "command/MosaicCommands.h"
#include "command/StackingCommands.h"
#include "context/AppContext.h"
#include "context/Settings.h"
#include "display/TransferFunction.h"
#include "image/ValueRange.h"
#include "lists/ImageListTree.h"
#include "processing/Arithmetic.h"
#include "processing/CoaddProvenance.h"
#include "processing/Coaddition.h"
#include "processing/ListArithmetic.h"
#include "processing/ListOutput.h"
#include "processing/Registration.h"
#include "processing/Statistics.h"

namespace skyvane {

namespace {

constexpr std::string_view NoImageReply = "     no image !";
constexpr std::string_view UnknownReply = "     unknown command !";
constexpr std::string_view ListNotFoundReply = "     list name not recognized !";
constexpr std::string_view NoSelectedImageReply = "     list has no selected image !";
constexpr std::string_view FirstImageUnreadableReply = "     first selected image could not be read !";
constexpr std::string_view CoaddNotEnoughMemoryReply = "     not enough memory for the co-added image !";
constexpr std::string_view NotEnoughMemoryReply = "     not enough memory !";

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

// ---------------------------------------------------------------------------------------
// Image A alone

// The median is the dearest of the five figures; on a large image it runs beside the
// others when a second thread can be had. The grid is only read, by both.
constexpr std::int64_t ParallelStatPixels = std::int64_t{1} << 16;

// The five figures of one plane, and how many of its pixels are missing.
struct PlaneFigures {
    double min = 0.0;
    double max = 0.0;
    double median = 0.0;
    double mean = 0.0;
    double sigma = 0.0;
    std::int64_t missing = 0;
};

// The figures of a plane with missing pixels: those of its present pixels, in pixel order.
PlaneFigures PresentFigures(const ImageGrid& grid, std::int64_t missing)
{
    std::vector<double> present = PresentValues(grid);
    const auto n = static_cast<std::int64_t>(present.size());
    const MinMax extremes = ValuesMinMax(present.data(), n);
    const MeanSigma moments = ValuesMeanSigma(present.data(), n);
    const double median = medianOf(present.data(), n); // reorders the values: last
    return {extremes.min, extremes.max, median, moments.mean, moments.sigma, missing};
}

PlaneFigures FiguresOf(const ImageGrid& grid)
{
    if (const std::int64_t missing = CountMissing(grid); missing > 0)
        return PresentFigures(grid, missing);
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
    return {extremes.min, extremes.max, median, moments.mean, moments.sigma, 0};
}

// One line per figure; a colour image gives the figure of each plane on its line, red,
// green and blue: "     mean = 1034.5 / 998.2 / 1201.0". The figures are those of the
// present pixels; when any are missing, a last line says how many ("     missing = N").
std::string StatisticsReply(const ImageGrid& grid)
{
    std::vector<PlaneFigures> planes;
    for (int p = 0; p < grid.planes(); ++p)
        planes.push_back(FiguresOf(grid.planeView(p)));

    std::string reply;
    const auto line = [&reply, &planes](std::string_view name, double PlaneFigures::*figure, bool last) {
        reply += Indent;
        reply += name;
        reply += " = ";
        for (std::size_t p = 0; p < planes.size(); ++p) {
            if (p > 0)
                reply += " / ";
            reply += FormatReal(planes[p].*figure, 5);
        }
        if (!last)
            reply += LineBreak;
    };
    line("min", &PlaneFigures::min, false);
    line("max", &PlaneFigures::max, false);
    line("median", &PlaneFigures::median, false);
    line("mean", &PlaneFigures::mean, false);
    std::int64_t missing = 0;
    for (const PlaneFigures& plane : planes)
        missing += plane.missing;
    line("sigma", &PlaneFigures::sigma, missing == 0);
    if (missing > 0) {
        reply += Indent;
        reply += "missing = ";
        for (std::size_t p = 0; p < planes.size(); ++p) {
            if (p > 0)
                reply += " / ";
            reply += FormatInteger(planes[p].missing);
        }
    }
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
    if (grid.colour()) {
        reply += LineBreak;
        reply += Indent;
        reply += "3 planes: red, green, blue";
    }
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

Started statistics(AppContext& context, const CommandLine&)
{
    return WithReply(StatisticsReply(context.imageA.grid));
}

Started size(AppContext& context, const CommandLine&)
{
    return WithReply(SizeReply(context.imageA.grid) + MosaicSizeLine(context.imageA.cards));
}

Started headers(AppContext& context, const CommandLine&)
{
    return WithReply(HeadersReply(context.imageA.cards));
}

Started clear(AppContext& context, const CommandLine&)
{
    context.imageA.clear();
    for (int part = 0; part < 3; ++part)
        context.status.setStatusText(part, "");
    return WithRedraw(Redraw::Clear);
}

// ---------------------------------------------------------------------------------------
// Arithmetic with a constant: the number follows the command's word and blank.

Started addConstant(AppContext& context, const CommandLine& command)
{
    AddConstant(context.imageA.grid, ParseReal(command.argument));
    return WithRedraw(Redraw::Picture);
}

Started subtractConstant(AppContext& context, const CommandLine& command)
{
    AddConstant(context.imageA.grid, -ParseReal(command.argument));
    return WithRedraw(Redraw::Picture);
}

Started multiplyConstant(AppContext& context, const CommandLine& command)
{
    MultiplyConstant(context.imageA.grid, ParseReal(command.argument));
    return WithRedraw(Redraw::Picture);
}

Started divideConstant(AppContext& context, const CommandLine& command)
{
    // No test on c: dividing by 0 multiplies by infinity, as the command promises.
    MultiplyConstant(context.imageA.grid, 1.0 / ParseReal(command.argument));
    return WithRedraw(Redraw::Picture);
}

// ---------------------------------------------------------------------------------------
// Arithmetic with a second image

// Image A combined with the file named in parentheses, loaded as Image B: plane by plane
// for two colour images, a grey Image B applied to each plane of a colour Image A. A size
// that differs from Image A's, or a colour Image B for a grey Image A, is reported and
// leaves Image A alone; the reply is the command's reply either way. A file that cannot be read is reported by the loader; Image A is then
// left alone too, since Image B holds the previous file or a partly read one and
// combining with it would silently give a wrong image.
Started CombineWithFile(AppContext& context, const CommandLine& command, ImageOperation operation)
{
    const std::string path = ResolveImagePath(ParenthesisArgument(command.text), context.settings.WorkingDirectory);
    Started started;
    if (!loadFitsReporting(context.imageB, path, context.messages))
        return started;
    const ImageGrid& a = context.imageA.grid;
    const ImageGrid& b = context.imageB.grid;
    if (a.width() != b.width() || a.height() != b.height()) {
        ReportSizeMismatch(context.messages, path);
        return started;
    }
    if (!CanCombine(a, b)) {
        ReportKindMismatch(context.messages, path);
        return started;
    }
    CombineWithImageB(operation, context.imageA.grid, b, context.settings.ZeroDivisionValue);
    started.outcome.redraw = Redraw::Picture;
    started.outcome.headerOption = ApplyHeaderOption(context.settings.HeadersCombo1, context.imageA, context.imageB);
    return started;
}

Started addImage(AppContext& context, const CommandLine& command)
{
    return CombineWithFile(context, command, ImageOperation::Add);
}

Started subtractImage(AppContext& context, const CommandLine& command)
{
    return CombineWithFile(context, command, ImageOperation::Subtract);
}

Started multiplyImage(AppContext& context, const CommandLine& command)
{
    return CombineWithFile(context, command, ImageOperation::Multiply);
}

Started divideImage(AppContext& context, const CommandLine& command)
{
    return CombineWithFile(context, command, ImageOperation::Divide);
}

// ---------------------------------------------------------------------------------------
// Co-addition of the selected files of a list

// The second line of a co-addition's reply when frames were left out (their messages
// have named each file): "N of M frames combined; left out: " and the first five names.
std::string LeftOutLine(const CoaddResult& result)
{
    constexpr std::size_t NamesShown = 5;
    if (result.leftOut.empty())
        return {};
    const std::size_t combined = static_cast<std::size_t>(result.frames) - result.leftOut.size();
    std::string line(LineBreak);
    line += Indent;
    line += FormatInteger(static_cast<std::int64_t>(combined));
    line += " of ";
    line += FormatInteger(result.frames);
    line += " frames combined; left out: ";
    for (std::size_t i = 0; i < result.leftOut.size() && i < NamesShown; ++i) {
        if (i > 0)
            line += ", ";
        line += PathFileName(result.leftOut[i]);
    }
    if (result.leftOut.size() > NamesShown)
        line += ", ...";
    return line;
}

// The long part of a co-addition: the frames read and combined, told as they go.
class Coaddition final : public LongPart {
public:
    Coaddition(std::vector<std::string> paths, const CoaddOptions& options, std::string_view tooFewReply)
        : paths_(std::move(paths)), options_(options), tooFewReply_(tooFewReply)
    {
    }

    void run(Feedback& feedback) override
    {
        CoaddMessages messages(feedback);
        result_ = CombineFrames(paths_, options_, messages);
        if (result_.status == CoaddStatus::Done)
            AddCoaddProvenance(result_, options_);
    }

    // The result replaces Image A only when its picture can be had too: a result that
    // could not be shown leaves Image A and its picture as they were.
    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        switch (result_.status) {
        case CoaddStatus::Done:
            break;
        case CoaddStatus::TooFewImages:
            outcome.reply = std::string(tooFewReply_);
            return outcome;
        case CoaddStatus::NoFrame:
            outcome.reply = std::string(NoSelectedImageReply);
            return outcome;
        case CoaddStatus::FirstFrameUnreadable:
            outcome.reply = std::string(FirstImageUnreadableReply);
            return outcome;
        case CoaddStatus::NotEnoughMemory:
            outcome.reply = std::string(CoaddNotEnoughMemoryReply);
            return outcome;
        case CoaddStatus::Cancelled:
            outcome.cancelled = true;
            return outcome;
        }
        ImageGrid& grid = result_.grid;
        if (!context.display.prepareRows(grid.width(), grid.height())) {
            ReportNotEnoughMemory(context.messages, grid.width(), grid.height());
            outcome.reply = std::string(CoaddNotEnoughMemoryReply);
            return outcome;
        }
        context.imageA.grid.swap(grid);
        context.imageA.cards = std::move(result_.cards);
        outcome.redraw = Redraw::NewImage;
        outcome.moreLines = LeftOutLine(result_);
        return outcome;
    }

private:
    std::vector<std::string> paths_;
    CoaddOptions options_;
    std::string_view tooFewReply_;
    CoaddResult result_;
};

// The list named in brackets, resolved here into the paths of its selected files; the
// header option of co-added lists ("Headers combo 3") is read now too.
Started CombineList(AppContext& context, const CommandLine& command, const CoaddParameters& parameters, std::string_view tooFewReply)
{
    const int n = FindListByName(context.lists, BracketArgument(command.text));
    if (n == 0)
        return WithReply(std::string(ListNotFoundReply));
    CoaddOptions options;
    options.parameters = parameters;
    options.choice = context.settings.Stacking;
    options.headerNotice = context.settings.HeadersCombo3 != 0;
    Started started;
    started.longPart = std::make_unique<Coaddition>(SelectedFilePaths(context.lists, n), options, tooFewReply);
    return started;
}

// Median and mean accept any count; should they ever refuse, the reply says what happened.
constexpr std::string_view TooFewImagesReply = "     list has too few images !";

Started combineMedian(AppContext& context, const CommandLine& command)
{
    return CombineList(context, command, {CoaddMethod::Median, 0.0, 0}, TooFewImagesReply);
}

Started combineMean(AppContext& context, const CommandLine& command)
{
    return CombineList(context, command, {CoaddMethod::Mean, 0.0, 0}, TooFewImagesReply);
}

Started combineMinMaxRejection(AppContext& context, const CommandLine& command)
{
    return CombineList(context, command, {CoaddMethod::MinMaxRejection, 0.0, 0}, "     min-max rejection requires at least 3 images!");
}

// "sigmaclip [LIST] KAPPA ITERATIONS": the numbers are the third and fourth blank-separated
// tokens.
Started combineSigmaClipping(AppContext& context, const CommandLine& command)
{
    const double kappa = ParseReal(CommandToken(command.text, 2));
    const int iterations = ParseInteger(CommandToken(command.text, 3));
    return CombineList(context, command, {CoaddMethod::SigmaClipping, kappa, iterations}, "     sigma clipping requires at least 5 images!");
}

// "winsorclip [LIST] KAPPA ITERATIONS", read as sigmaclip reads its numbers.
Started combineWinsorisedClipping(AppContext& context, const CommandLine& command)
{
    const double kappa = ParseReal(CommandToken(command.text, 2));
    const int iterations = ParseInteger(CommandToken(command.text, 3));
    return CombineList(context, command, {CoaddMethod::WinsorisedClipping, kappa, iterations},
                       "     winsorised sigma clipping requires at least 3 images!");
}

// "normalise ..." and "weight ...": in StackingCommands.
Started chooseNormalisation(AppContext& context, const CommandLine& command)
{
    return WithReply(ChooseNormalisation(context, command.argument));
}

Started chooseWeighting(AppContext& context, const CommandLine& command)
{
    return WithReply(ChooseWeighting(context, command.argument));
}

// ---------------------------------------------------------------------------------------
// Arithmetic on the selected files of a list: "listadd [LIST] N" or "listadd [LIST] (FILE)",
// and the same with listsub, listmult, listdiv

constexpr std::string_view NoReadableImageReply = "     no selected image could be read !";

struct ListWords {
    ListOperation operation;
    std::string_view word;  // of the Image command, and of the output folder: "div"
    std::string_view done;  // "divided"
};

// The long part of list arithmetic: the frames read, combined and written, told as they go.
class ListArithmeticPart final : public LongPart {
public:
    ListArithmeticPart(ListArithmeticJob job, std::string_view done) : job_(std::move(job)), done_(done) {}

    void run(Feedback& feedback) override
    {
        ListArithmeticMessages messages(feedback);
        result_ = RunListArithmetic(job_, messages);
    }

    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        switch (result_.status) {
        case ListArithmeticStatus::Done:
            break;
        case ListArithmeticStatus::NoFrame:
            outcome.reply = std::string(NoSelectedImageReply);
            return outcome;
        case ListArithmeticStatus::NoUsableFrame:
            outcome.reply = std::string(NoReadableImageReply);
            return outcome;
        case ListArithmeticStatus::OperandRefused:
            outcome.reply = "     second image could not be used, nothing has been written !";
            return outcome;
        case ListArithmeticStatus::FolderFailed:
            outcome.reply = "     folder for the results could not be created !";
            return outcome;
        case ListArithmeticStatus::WriteFailed:
            outcome.reply = "     results could not be written, nothing has been kept !";
            return outcome;
        case ListArithmeticStatus::NotEnoughMemory:
            outcome.reply = std::string(NotEnoughMemoryReply);
            return outcome;
        case ListArithmeticStatus::Cancelled:
            outcome.cancelled = true;
            return outcome;
        }
        const std::vector<std::string> names = result_.output.fileNames();
        const TreeItem list = AddOutputList(context.lists, result_.output.folder(), names);
        const int written = static_cast<int>(names.size());
        std::string reply(Indent);
        reply += FormatInteger(written);
        reply += written == 1 ? " image has been " : " images have been ";
        reply += done_;
        reply += "; new list ";
        reply += LabelTag(context.lists.ItemLabel(list));
        if (!result_.leftOut.empty()) {
            reply += "; ";
            reply += FormatInteger(static_cast<std::int64_t>(result_.leftOut.size()));
            reply += " left out";
        }
        outcome.reply = std::move(reply);
        return outcome;
    }

private:
    ListArithmeticJob job_;
    std::string_view done_;
    ListArithmeticResult result_;
};

constexpr std::string_view NotANumberReply = "     not a number !";

// The list named in brackets, resolved into its selected files and its folder; after the
// "]" and one blank, the operand: a file in parentheses (resolved as the Image commands
// resolve it) or a number. Each run writes a folder, so the number must be one whole
// finite number: anything else is refused before anything is written.
Started ListArithmetic(AppContext& context, const CommandLine& command, const ListWords& words)
{
    const int n = FindListByName(context.lists, BracketArgument(command.text));
    if (n == 0)
        return WithReply(std::string(ListNotFoundReply));
    std::string_view operand;
    if (const std::size_t close = command.text.find(']'); close != std::string::npos) {
        operand = std::string_view(command.text).substr(close + 1);
        if (!operand.empty() && operand.front() == ' ')
            operand.remove_prefix(1);
    }
    ListArithmeticJob job;
    job.operation = words.operation;
    job.zeroDivisionValue = context.settings.ZeroDivisionValue;
    job.framePaths = SelectedFilePaths(context.lists, n);
    job.outputParent = LabelFolder(context.lists.ListLabel(n));
    if (!operand.empty() && operand.front() == '(') {
        job.withImage = true;
        job.operandPath = ResolveImagePath(ParenthesisArgument(operand), context.settings.WorkingDirectory);
        job.outputName = ListOutputName(words.word, OperandName(job.operandPath));
        job.history = "Skyvane: " + std::string(words.word) + " (" + PathFileName(job.operandPath) + ")";
    } else {
        if (!ParseWholeReal(operand, job.constant))
            return WithReply(std::string(NotANumberReply));
        job.outputName = ListOutputName(words.word, FormatReal(job.constant, 15));
        job.history = "Skyvane: " + std::string(words.word) + " " + FormatReal(job.constant, 17);
    }
    Started started;
    started.longPart = std::make_unique<ListArithmeticPart>(std::move(job), words.done);
    return started;
}

Started listAdd(AppContext& context, const CommandLine& command)
{
    return ListArithmetic(context, command, {ListOperation::Add, "add", "added"});
}

Started listSubtract(AppContext& context, const CommandLine& command)
{
    return ListArithmetic(context, command, {ListOperation::Subtract, "sub", "subtracted"});
}

Started listMultiply(AppContext& context, const CommandLine& command)
{
    return ListArithmetic(context, command, {ListOperation::Multiply, "mult", "multiplied"});
}

Started listDivide(AppContext& context, const CommandLine& command)
{
    return ListArithmetic(context, command, {ListOperation::Divide, "div", "divided"});
}

// ---------------------------------------------------------------------------------------
// Equalisation of the display: how the grey levels spread between the thresholds. Image A
// stays as it is; the picture on display is recomputed, and the choice is kept in the
// settings file (unless the run keeps it to itself).

Started Equalise(AppContext& context, const TransferFunction& function, std::string_view name)
{
    context.settings.Equalisation = function;
    context.display.setTransferFunction(function);
    if (context.keepEqualisation && !context.settingsPath.empty())
        (void)WriteSetting(context.settingsPath, DisplaySection, EqualisationKey, EqualisationText(function));
    Started started = WithReply(std::string(Indent) + "display equalisation: " + std::string(name));
    if (context.display.isImageDisplayed())
        started.outcome.redraw = Redraw::Restyle;
    return started;
}

Started equaliseLinear(AppContext& context, const CommandLine&)
{
    return Equalise(context, TransferFunction::Linear(), "linear");
}

Started equaliseLogarithm(AppContext& context, const CommandLine&)
{
    return Equalise(context, TransferFunction::Logarithm(), "logarithm");
}

// "autostretch": the display stretched to Image A's sky (command/DisplayCommands).
Started autoStretch(AppContext& context, const CommandLine&)
{
    return WithReply(AutoStretchCommand(context));
}

// "equalise gamma G": G from 0.1 to 10; anything else is refused and changes nothing.
Started equaliseGamma(AppContext& context, const CommandLine& command)
{
    const double gamma = ParseReal(command.argument);
    if (!StartsWithNumber(command.argument) || !GammaAccepted(gamma))
        return WithReply("     gamma must be from 0.1 to 10 !");
    return Equalise(context, TransferFunction::Gamma(gamma), "gamma " + FormatReal(gamma, 15));
}

// ---------------------------------------------------------------------------------------
// Co-registration of the selected files of a list

constexpr std::string_view StarPositionReply = "     star position not recognized !";
constexpr std::string_view OutputFolderReply = "     output folder could not be created !";

// A shift as the replies give it: two decimals, a point whatever the locale, no "-0.00".
std::string ShiftFigure(double value)
{
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    std::string figure = error == std::errc() ? std::string(text, end) : std::string("nan");
    if (figure == "-0.00")
        figure = "0.00";
    return figure;
}

// Why a frame was left out, after its name.
std::string_view FateText(FrameFate fate)
{
    switch (fate) {
    case FrameFate::Registered:
        break;
    case FrameFate::Unreadable:
        return "could not be read";
    case FrameFate::SizeDiffers:
        return "size differs from the reference frame";
    case FrameFate::StarSaturated:
        return "star saturated";
    case FrameFate::StarTooFaint:
        return "star too faint";
    case FrameFate::StarLost:
        return "star lost";
    case FrameFate::NoCorrelation:
        return "nothing to correlate";
    case FrameFate::NoReliableMatch:
        return "no reliable match";
    case FrameFate::NotEnoughMemory:
        return "not enough memory";
    case FrameFate::ColourMosaic:
        return "colour mosaic: debayer first";
    }
    return {};
}

// One line per frame: "     frame_007.fit  dx = 3.27  dy = -1.12", or the reason it was
// left out ("     frame_009.fit  star lost, left out").
std::string FrameLines(const std::vector<RegisteredFrame>& frames)
{
    std::string lines;
    for (const RegisteredFrame& frame : frames) {
        if (!lines.empty())
            lines += LineBreak;
        lines += Indent;
        lines += PathFileName(frame.path);
        if (frame.fate == FrameFate::Registered) {
            lines += "  dx = " + ShiftFigure(frame.dx) + "  dy = " + ShiftFigure(frame.dy);
        } else {
            lines += "  ";
            lines += FateText(frame.fate);
            if (frame.fate != FrameFate::ColourMosaic) // says what to do instead
                lines += ", left out";
        }
    }
    return lines;
}

// The reply of a registration that made no list.
std::string_view RegistrationFailureReply(RegistrationStatus status)
{
    switch (status) {
    case RegistrationStatus::Done:
        break;
    case RegistrationStatus::NoFrame:
        return NoSelectedImageReply;
    case RegistrationStatus::ReferenceUnreadable:
        return FirstImageUnreadableReply;
    case RegistrationStatus::ReferenceMosaic:
        return "     reference frame is a colour mosaic: debayer first !";
    case RegistrationStatus::StarSaturated:
        return "     star is saturated on the reference frame !";
    case RegistrationStatus::StarTooFaint:
        return "     star is too faint on the reference frame !";
    case RegistrationStatus::StarLost:
        return "     no star found at this position on the reference frame !";
    case RegistrationStatus::NoStructure:
        return "     reference frame holds nothing to correlate !";
    case RegistrationStatus::NotEnoughMemory:
        return NotEnoughMemoryReply;
    case RegistrationStatus::WriteFailed:
        return "     registered frames could not be written !";
    case RegistrationStatus::Cancelled: // the common reply of a stopped long part
        break;
    }
    return {};
}

// The star's position after the list's name: exactly two numbers, X and Y of the pointer
// readout, separated by blanks.
bool ParseStarPosition(std::string_view text, double& x, double& y)
{
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos)
        return false;
    text.remove_prefix(close + 1);
    double values[2] = {0.0, 0.0};
    for (double& value : values) {
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || !std::isfinite(value) || (end != text.data() + text.size() && *end != ' '))
            return false;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    }
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    x = values[0];
    y = values[1];
    return text.empty();
}

// The aligned frames into a list output; the first frame it could not write is kept for
// the message.
class OutputFrames final : public AlignedFrameSink {
public:
    bool write(std::size_t position, const std::string&, ImageRecord& aligned, std::string_view history) override
    {
        if (output.writeFrame(position, aligned, history) == FitsError::None)
            return true;
        const std::lock_guard<std::mutex> lock(failedLock_);
        if (!failedPath)
            failedPath = output.filePath(position);
        return false;
    }
    ListOutput output;
    std::optional<std::string> failedPath;

private:
    std::mutex failedLock_;
};

// The long part of a registration: the frames registered into a new folder of the list's
// folder ("starreg", "autoreg", or the first of "starreg-2", ... not yet there), which
// becomes a new list. A run that does not end well removes what it wrote and says why.
class Registration final : public LongPart {
public:
    Registration(RegistrationRequest request, std::string listFolder)
        : request_(std::move(request)), listFolder_(std::move(listFolder))
    {
    }

    void run(Feedback& feedback) override
    {
        const std::string_view method = request_.method == RegistrationMethod::OneStar ? "starreg" : "autoreg";
        const std::string name = ListOutputName(method, "");
        if (const int error = frames_.output.create(listFolder_, name, request_.framePaths); error != 0) {
            folderFailed_ = true;
            ReportOutputFolderFailure(feedback, error, JoinPath(listFolder_, name));
            return;
        }
        result_ = RegisterFrames(request_, frames_, feedback);
        ReportRegistration(feedback, result_, frames_.failedPath.value_or(frames_.output.folder()));
        if (result_.status != RegistrationStatus::Done) {
            frames_.output.discard();
            return;
        }
        if (const int error = frames_.output.keep(); error != 0) {
            folderFailed_ = true;
            ReportOutputFolderFailure(feedback, error, frames_.output.folder());
        }
    }

    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        if (folderFailed_) {
            outcome.reply = std::string(OutputFolderReply);
            return outcome;
        }
        if (result_.status == RegistrationStatus::Cancelled) {
            outcome.cancelled = true;
            return outcome;
        }
        if (result_.status != RegistrationStatus::Done) {
            outcome.reply = std::string(RegistrationFailureReply(result_.status));
            return outcome;
        }
        int registered = 0;
        bool unmatched = false;
        for (const RegisteredFrame& frame : result_.frames) {
            registered += frame.fate == FrameFate::Registered ? 1 : 0;
            unmatched = unmatched || frame.fate == FrameFate::NoReliableMatch;
        }
        const TreeItem list = AddOutputList(context.lists, frames_.output.folder(), frames_.output.fileNames());
        outcome.reply = FrameLines(result_.frames);
        outcome.reply += LineBreak;
        outcome.reply += Indent;
        outcome.reply += FormatInteger(registered) + " of " + FormatInteger(static_cast<std::int64_t>(result_.frames.size())) +
                         " frames registered: new list " + LabelTag(context.lists.ItemLabel(list));
        if (unmatched) {
            outcome.reply += LineBreak;
            outcome.reply += UnmatchedFramesReply();
        }
        return outcome;
    }

private:
    RegistrationRequest request_;
    std::string listFolder_;
    OutputFrames frames_;
    bool folderFailed_ = false;
    RegistrationResult result_;
};

// "starreg [LIST] X Y" and "autoreg [LIST]": the list's selected files, resolved now.
Started RegisterList(AppContext& context, const CommandLine& command, RegistrationMethod method)
{
    const int n = FindListByName(context.lists, BracketArgument(command.text));
    if (n == 0)
        return WithReply(std::string(ListNotFoundReply));
    RegistrationRequest request;
    request.method = method;
    request.framePaths = SelectedFilePaths(context.lists, n);
    if (request.framePaths.empty())
        return WithReply(std::string(NoSelectedImageReply));
    if (method == RegistrationMethod::OneStar && !ParseStarPosition(command.text, request.readoutX, request.readoutY))
        return WithReply(std::string(StarPositionReply));
    Started started;
    started.longPart = std::make_unique<Registration>(std::move(request), LabelFolder(context.lists.ListLabel(n)));
    return started;
}

Started registerOneStar(AppContext& context, const CommandLine& command)
{
    return RegisterList(context, command, RegistrationMethod::OneStar);
}

Started registerCorrelation(AppContext& context, const CommandLine& command)
{
    return RegisterList(context, command, RegistrationMethod::Correlation);
}

// "patternreg [LIST]": its steps are in RegistrationCommands.
class PatternRegistrationPart final : public LongPart {
public:
    explicit PatternRegistrationPart(std::unique_ptr<PatternRegistrationCommand> command) : command_(std::move(command)) {}
    void run(Feedback& feedback) override { command_->run(feedback); }
    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        outcome.reply = command_->finish(context, outcome.cancelled);
        return outcome;
    }

private:
    std::unique_ptr<PatternRegistrationCommand> command_;
};

Started registerPattern(AppContext& context, const CommandLine& command)
{
    auto pattern = std::make_unique<PatternRegistrationCommand>(context, command.text);
    if (!pattern->refusal().empty())
        return WithReply(pattern->refusal());
    Started started;
    started.longPart = std::make_unique<PatternRegistrationPart>(std::move(pattern));
    return started;
}

// ---------------------------------------------------------------------------------------
// Frame quality: "measure [LIST]" and "keepbest [LIST] P"; their steps are in StackingCommands.

class FrameQualityPart final : public LongPart {
public:
    explicit FrameQualityPart(std::unique_ptr<FrameQualityCommand> command) : command_(std::move(command)) {}
    void run(Feedback& feedback) override { command_->run(feedback); }
    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        outcome.reply = command_->finish(context, outcome.cancelled);
        return outcome;
    }

private:
    std::unique_ptr<FrameQualityCommand> command_;
};

Started FrameQualityList(AppContext& context, const CommandLine& command, bool keepBest)
{
    auto quality = std::make_unique<FrameQualityCommand>(context, command.text, keepBest);
    if (!quality->refusal().empty())
        return WithReply(quality->refusal());
    Started started;
    started.longPart = std::make_unique<FrameQualityPart>(std::move(quality));
    return started;
}

Started measureFrames(AppContext& context, const CommandLine& command)
{
    return FrameQualityList(context, command, false);
}

Started keepBestFrames(AppContext& context, const CommandLine& command)
{
    return FrameQualityList(context, command, true);
}

// ---------------------------------------------------------------------------------------
// The command table

enum class Match { Equals, StartsWith };

using Handler = Started (*)(AppContext& context, const CommandLine& command);

// One command: how its text is recognised, whether it needs Image A (the list commands
// make their own image; an Image A of no pixel counts as none), what it does, and its
// reply when the handler gives none of its own; for a command with a long part, what
// that work is called (the progress dialog's title, and "     <work> cancelled" when the
// user stops it).
struct CommandRow {
    Match match;
    std::string_view literal;
    bool needsImage;
    Handler handler;
    std::string_view reply;
    std::string_view longWork = {};
};

constexpr std::string_view CoaddWork = "co-addition";
constexpr std::string_view RegistrationWork = "registration";
constexpr std::string_view ListArithmeticWork = "list arithmetic";
constexpr std::string_view CalibrationWork = "calibration";
constexpr std::string_view DemosaicWork = "demosaicing";
constexpr std::string_view MeasureWork = "measurement";

// Tested in this order; the first row that matches decides. The image rows ("add (")
// stand before the constant rows ("add "), so a parenthesis right after the word makes
// an image operation.
constexpr auto CommandTable = std::to_array<CommandRow>({
    {Match::Equals, "stat", true, statistics, {}},
    {Match::Equals, "size", true, size, {}},
    {Match::Equals, "headers", true, headers, {}},
    {Match::Equals, "clear", true, clear, "     clear display"},
    {Match::StartsWith, "add (", true, addImage, "     two images have been added"},
    {Match::StartsWith, "mult (", true, multiplyImage, "     two images have been multiplied"},
    {Match::StartsWith, "div (", true, divideImage, "     first image has been divided by second image"},
    {Match::StartsWith, "sub (", true, subtractImage, "     image difference has been calculated"},
    {Match::StartsWith, "median [", false, combineMedian, "     median image has been calculated", CoaddWork},
    {Match::StartsWith, "mean [", false, combineMean, "     mean image has been calculated", CoaddWork},
    {Match::StartsWith, "minmaxrej [", false, combineMinMaxRejection, "     co-added image has been calculated with min-max rejection", CoaddWork},
    {Match::StartsWith, "sigmaclip [", false, combineSigmaClipping, "     co-added image has been calculated with sigma clipping", CoaddWork},
    {Match::StartsWith, "winsorclip [", false, combineWinsorisedClipping, "     co-added image has been calculated with winsorised sigma clipping", CoaddWork},
    {Match::StartsWith, "starreg [", false, registerOneStar, {}, RegistrationWork},
    {Match::StartsWith, "autoreg [", false, registerCorrelation, {}, RegistrationWork},
    {Match::StartsWith, "patternreg [", false, registerPattern, {}, RegistrationWork},
    {Match::StartsWith, "measure [", false, measureFrames, {}, MeasureWork},
    {Match::StartsWith, "keepbest [", false, keepBestFrames, {}, MeasureWork},
    {Match::StartsWith, "listadd [", false, listAdd, {}, ListArithmeticWork},
    {Match::StartsWith, "listsub [", false, listSubtract, {}, ListArithmeticWork},
    {Match::StartsWith, "listmult [", false, listMultiply, {}, ListArithmeticWork},
    {Match::StartsWith, "listdiv [", false, listDivide, {}, ListArithmeticWork},
    {Match::StartsWith, "calibrate [", false, calibrateList, {}, CalibrationWork},
    {Match::StartsWith, "listdebayer [", false, debayerList, {}, DemosaicWork},
    {Match::Equals, "debayer", true, debayerImage, {}},
    {Match::StartsWith, "debayer ", true, debayerImage, {}},
    {Match::StartsWith, "mult ", true, multiplyConstant, "     image has been multiplied by constant"},
    {Match::StartsWith, "add ", true, addConstant, "     offset has been added to image"},
    {Match::StartsWith, "div ", true, divideConstant, "     image has been divided by constant"},
    {Match::StartsWith, "sub ", true, subtractConstant, "     constant has been subtracted from image"},
    {Match::Equals, "equalise linear", false, equaliseLinear, {}},
    {Match::Equals, "equalise log", false, equaliseLogarithm, {}},
    {Match::StartsWith, "equalise gamma ", false, equaliseGamma, {}},
    {Match::Equals, "autostretch", true, autoStretch, {}},
    {Match::StartsWith, "rgbcompose ", false, composeColour, "     colour image composed"},
    {Match::StartsWith, "channel ", true, extractChannel, {}},
    {Match::StartsWith, "normalise ", false, chooseNormalisation, {}},
    {Match::StartsWith, "weight ", false, chooseWeighting, {}},
});

// "starts with" needs at least one character after the literal.
bool Matches(const CommandRow& row, std::string_view text)
{
    if (row.match == Match::Equals)
        return text == row.literal;
    return text.size() > row.literal.size() && text.substr(0, row.literal.size()) == row.literal;
}

const CommandRow* Recognise(std::string_view text)
{
    for (const CommandRow& row : CommandTable)
        if (Matches(row, text))
            return &row;
    return nullptr;
}

// The one place where the display (the picture, and the thresholds with the values they
// span) follows what a command did to Image A.
void RedrawAfter(AppContext& context, Redraw redraw)
{
    Display& display = context.display;
    if (redraw != Redraw::None && redraw != Redraw::Restyle)
        FollowImageA(context);
    switch (redraw) {
    case Redraw::None:
        break;
    case Redraw::Picture:
    case Redraw::Restyle:
        // Same size as before: the rows are recomputed in place, which needs no memory.
        (void)display.refreshDisplay(context.imageA.grid);
        display.repaintDisplay();
        break;
    case Redraw::NewImage:
        if (display.isImageDisplayed())
            display.clearDisplay();
        (void)display.buildDisplay(context.imageA.grid); // takes the prepared rows
        display.paintDisplay();
        break;
    case Redraw::Clear:
        display.clearDisplay();
        break;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// CommandRun

struct CommandRun::State {
    std::string_view rowReply;
    std::string_view longWork;
    Outcome outcome;
    std::unique_ptr<LongPart> longPart;
};

CommandRun::CommandRun(std::unique_ptr<State> state) : state_(std::move(state)) {}
CommandRun::CommandRun(CommandRun&& other) noexcept = default;
CommandRun& CommandRun::operator=(CommandRun&& other) noexcept = default;
CommandRun::~CommandRun() = default;

CommandRun CommandRun::start(AppContext& context, const std::string& command)
{
    auto state = std::make_unique<State>();
    const CommandRow* row = Recognise(command);
    if (row == nullptr) {
        state->outcome.reply = std::string(UnknownReply);
    } else if (row->needsImage && !context.imagePresent()) {
        state->outcome.reply = std::string(NoImageReply);
    } else {
        state->rowReply = row->reply;
        state->longWork = row->longWork;
        Started started = row->handler(context, {command, std::string_view(command).substr(row->literal.size())});
        state->outcome = std::move(started.outcome);
        state->longPart = std::move(started.longPart);
    }
    return CommandRun(std::move(state));
}

bool CommandRun::hasLongPart() const
{
    return state_->longPart != nullptr;
}

std::string_view CommandRun::longWork() const
{
    return state_->longWork;
}

void CommandRun::run(Feedback& feedback)
{
    if (state_->longPart)
        state_->longPart->run(feedback);
}

std::string CommandRun::finish(AppContext& context)
{
    Outcome outcome = state_->longPart ? state_->longPart->apply(context) : std::move(state_->outcome);
    RedrawAfter(context, outcome.redraw);
    ReportHeaderOption(context.messages, outcome.headerOption);
    if (outcome.cancelled)
        return std::string(Indent) + std::string(state_->longWork.empty() ? "command" : state_->longWork) + " cancelled";
    if (!outcome.reply.empty())
        return std::move(outcome.reply);
    return std::string(state_->rowReply) + outcome.moreLines;
}

std::string ExecuteCommand(AppContext& context, const std::string& command)
{
    try {
        CommandRun run = CommandRun::start(context, command);
        if (run.hasLongPart() && context.longWork != nullptr)
            context.longWork->runLongWork(run.longWork(), [&run](Feedback& feedback) { run.run(feedback); });
        else
            run.run(context.messages);
        return run.finish(context);
    } catch (const std::bad_alloc&) {
        // Memory that depends on the image's size (the median's copy of the pixels, say)
        // could not be had; whatever the command had not yet changed stays as it was.
        const ImageGrid& grid = context.imageA.grid;
        ReportNotEnoughMemory(context.messages, grid.width(), grid.height());
        return std::string(NotEnoughMemoryReply);
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
