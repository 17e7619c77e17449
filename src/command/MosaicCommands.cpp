#include "command/MosaicCommands.h"

#include "base/Paths.h"
#include "command/Interpreter.h"
#include "command/Messages.h"
#include "context/AppContext.h"
#include "processing/Calibration.h"

namespace skyvane {

namespace {

// The list named in brackets: its selected files and its folder, or the refusal.
bool ResolveList(AppContext& context, const std::string& text, std::vector<std::string>& paths, std::string& folder,
                 std::string& refusal)
{
    const int n = FindListByName(context.lists, BracketArgument(text));
    if (n == 0) {
        refusal = "     list name not recognized !";
        return false;
    }
    paths = SelectedFilePaths(context.lists, n);
    if (paths.empty()) {
        refusal = "     list has no selected image !";
        return false;
    }
    folder = LabelFolder(context.lists.ListLabel(n));
    return true;
}

// The text after the list's "]".
std::string_view AfterList(const std::string& text)
{
    const std::size_t close = text.find(']');
    return close == std::string::npos ? std::string_view() : std::string_view(text).substr(close + 1);
}

class Calibration final : public MosaicListCommand {
public:
    Calibration(AppContext& context, const std::string& text)
    {
        if (!ResolveList(context, text, job_.framePaths, job_.outputParent, refusal_))
            return;
        // "(DARK)", then "(FLAT)" if there is one.
        std::string_view operands = AfterList(text);
        const std::size_t open = operands.find('(');
        if (open == std::string_view::npos) {
            refusal_ = CalibrationNoDarkReply();
            return;
        }
        const std::string dark = ParenthesisArgument(operands);
        job_.darkPath = ResolveImagePath(dark, context.settings.WorkingDirectory);
        if (const std::size_t close = operands.find(')', open); close != std::string_view::npos) {
            const std::string_view rest = operands.substr(close + 1);
            if (rest.find('(') != std::string_view::npos)
                job_.flatPath = ResolveImagePath(ParenthesisArgument(rest), context.settings.WorkingDirectory);
        }
        job_.zeroDivisionValue = context.settings.ZeroDivisionValue;
        job_.outputName = ListOutputName("calibrated", "");
        job_.history = "Skyvane: calibrate (" + PathFileName(job_.darkPath) + ")";
        if (!job_.flatPath.empty())
            job_.history += " (" + PathFileName(job_.flatPath) + ")";
    }

    void run(Feedback& feedback) override
    {
        ListArithmeticMessages messages(feedback);
        result_ = RunCalibration(job_, messages);
    }

    std::string finish(AppContext& context, bool& cancelled) override
    {
        cancelled = result_.status == ListArithmeticStatus::Cancelled;
        if (result_.status != ListArithmeticStatus::Done)
            return CalibrationReply(result_.status, 0, 0, 0, {});
        const std::vector<std::string> names = result_.output.fileNames();
        const TreeItem list = AddOutputList(context.lists, result_.output.folder(), names);
        return CalibrationReply(result_.status, static_cast<int>(names.size()), result_.hotPixels, result_.leftOut.size(),
                                LabelTag(context.lists.ItemLabel(list)));
    }

private:
    CalibrationJob job_;
    CalibrationResult result_;
};

} // namespace

std::unique_ptr<MosaicListCommand> StartCalibration(AppContext& context, const std::string& text)
{
    return std::make_unique<Calibration>(context, text);
}

} // namespace skyvane
