#include "command/MosaicCommands.h"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Paths.h"
#include "command/Interpreter.h"
#include "command/Messages.h"
#include "image/FitsWriter.h"
#include "processing/Calibration.h"
#include "processing/Demosaic.h"
#include "processing/ListDemosaic.h"
#include "processing/Mosaic.h"

namespace skyvane {

namespace {

constexpr std::string_view ListNotFoundReply = "     list name not recognized !";
constexpr std::string_view NoSelectedImageReply = "     list has no selected image !";
constexpr std::string_view NotEnoughMemoryReply = "     not enough memory !";

// The list named in brackets: its selected files and its folder, or the reply that refuses.
std::optional<std::string> ResolveList(AppContext& context, const std::string& text, std::vector<std::string>& paths,
                                       std::string& folder)
{
    const int n = FindListByName(context.lists, BracketArgument(text));
    if (n == 0)
        return std::string(ListNotFoundReply);
    paths = SelectedFilePaths(context.lists, n);
    if (paths.empty())
        return std::string(NoSelectedImageReply);
    folder = LabelFolder(context.lists.ListLabel(n));
    return std::nullopt;
}

// The text after the list's "]".
std::string_view AfterList(const std::string& text)
{
    const std::size_t close = text.find(']');
    return close == std::string::npos ? std::string_view() : std::string_view(text).substr(close + 1);
}

bool Blank(std::string_view text)
{
    return text.find_first_not_of(' ') == std::string_view::npos;
}

// ---------------------------------------------------------------------------------------
// calibrate

class CalibrationPart final : public LongPart {
public:
    explicit CalibrationPart(CalibrationJob job) : job_(std::move(job)) {}

    void run(Feedback& feedback) override
    {
        ListArithmeticMessages messages(feedback);
        result_ = RunCalibration(job_, messages);
    }

    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        outcome.cancelled = result_.status == ListArithmeticStatus::Cancelled;
        if (result_.status != ListArithmeticStatus::Done) {
            outcome.reply = CalibrationReply(result_.status, 0, 0, 0, {});
            return outcome;
        }
        const std::vector<std::string> names = result_.output.fileNames();
        const TreeItem list = AddOutputList(context.lists, result_.output.folder(), names);
        outcome.reply = CalibrationReply(result_.status, static_cast<int>(names.size()), result_.hotPixels, result_.leftOut.size(),
                                         LabelTag(context.lists.ItemLabel(list)));
        return outcome;
    }

private:
    CalibrationJob job_;
    CalibrationResult result_;
};

// ---------------------------------------------------------------------------------------
// listdebayer

class ListDemosaicPart final : public LongPart {
public:
    explicit ListDemosaicPart(ListDemosaicJob job) : job_(std::move(job)) {}

    void run(Feedback& feedback) override
    {
        ListArithmeticMessages messages(feedback);
        result_ = RunListDemosaic(job_, messages);
    }

    Outcome apply(AppContext& context) override
    {
        Outcome outcome;
        outcome.cancelled = result_.status == ListArithmeticStatus::Cancelled;
        std::string tag;
        if (result_.status == ListArithmeticStatus::Done)
            tag = LabelTag(context.lists.ItemLabel(AddOutputList(context.lists, result_.output.folder(), result_.output.fileNames())));
        outcome.reply = ListDemosaicReply(result_, tag);
        return outcome;
    }

private:
    ListDemosaicJob job_;
    ListDemosaicResult result_;
};

} // namespace

Started calibrateList(AppContext& context, const CommandLine& command)
{
    CalibrationJob job;
    if (const std::optional<std::string> refusal = ResolveList(context, command.text, job.framePaths, job.outputParent))
        return WithReply(*refusal);
    // "(DARK)", then "(FLAT)" if there is one.
    const std::string_view operands = AfterList(command.text);
    const std::size_t open = operands.find('(');
    if (open == std::string_view::npos)
        return WithReply(CalibrationNoDarkReply());
    job.darkPath = ResolveImagePath(ParenthesisArgument(operands), context.settings.WorkingDirectory);
    if (const std::size_t close = operands.find(')', open); close != std::string_view::npos) {
        const std::string_view rest = operands.substr(close + 1);
        if (rest.find('(') != std::string_view::npos)
            job.flatPath = ResolveImagePath(ParenthesisArgument(rest), context.settings.WorkingDirectory);
    }
    job.zeroDivisionValue = context.settings.ZeroDivisionValue;
    job.outputName = ListOutputName("calibrated", "");
    job.history = "Skyvane: calibrate (" + PathFileName(job.darkPath) + ")";
    if (!job.flatPath.empty())
        job.history += " (" + PathFileName(job.flatPath) + ")";
    Started started;
    started.longPart = std::make_unique<CalibrationPart>(std::move(job));
    return started;
}

Started debayerImage(AppContext& context, const CommandLine& command)
{
    ImageRecord& image = context.imageA;
    std::optional<Mosaic> mosaic;
    if (!Blank(command.argument)) {
        if (!(mosaic = MosaicFromName(command.argument)))
            return WithReply(PatternWordReply());
    } else {
        mosaic = MosaicOfCards(image.cards);
    }
    if (!mosaic || image.grid.planes() != 1)
        return WithReply(NoMosaicReply());
    const int width = image.grid.width();
    const int height = image.grid.height();
    ImageGrid colour;
    // The picture's rows are had before Image A is replaced.
    if (!colour.tryResize(width, height, 3) || !context.display.prepareRows(width, height)) {
        ReportNotEnoughMemory(context.messages, width, height);
        return WithReply(std::string(NotEnoughMemoryReply));
    }
    DemosaicPlane(image.grid.data(), width, height, *mosaic, colour.plane(0), colour.plane(1), colour.plane(2));
    image.grid.swap(colour);
    image.cards = PlaneCards(WithoutMosaicCards(image.cards), 3);
    Started started = WithRedraw(Redraw::NewImage);
    started.outcome.reply = DemosaicDoneReply(*mosaic);
    return started;
}

Started debayerList(AppContext& context, const CommandLine& command)
{
    ListDemosaicJob job;
    if (const std::optional<std::string> refusal = ResolveList(context, command.text, job.framePaths, job.outputParent))
        return WithReply(*refusal);
    const std::string_view word = AfterList(command.text);
    if (!Blank(word) && !(job.pattern = MosaicFromName(word)))
        return WithReply(PatternWordReply());
    job.outputName = ListOutputName("debayer", "");
    job.history = "Skyvane: listdebayer";
    Started started;
    started.longPart = std::make_unique<ListDemosaicPart>(std::move(job));
    return started;
}

} // namespace skyvane
