#include "command/StackingCommands.h"

#include "base/Numbers.h"
#include "base/Paths.h"
#include "command/Interpreter.h"
#include "command/Messages.h"
#include "context/AppContext.h"
#include "context/Settings.h"

namespace skyvane {

FrameQualityCommand::FrameQualityCommand(AppContext& context, const std::string& text, bool keepBest) : keepBest_(keepBest)
{
    const int n = FindListByName(context.lists, BracketArgument(text));
    if (n == 0) {
        refusal_ = QualityRefusalReply(QualityRefusal::ListNotFound);
        return;
    }
    if (keepBest_) {
        const std::size_t close = text.find(']');
        const std::string_view percent = close == std::string::npos ? std::string_view() : std::string_view(text).substr(close + 1);
        if (!ParseWholeReal(percent, percent_) || !KeepPercentAccepted(percent_)) {
            refusal_ = QualityRefusalReply(QualityRefusal::PercentRefused);
            return;
        }
    }
    const std::string folder = LabelFolder(context.lists.ListLabel(n));
    for (int k = 1; k <= context.lists.FileCount(n); ++k) {
        const TreeItem item = context.lists.FileItem(n, k);
        if (!context.lists.IsFileSelected(item))
            continue;
        items_.push_back(item);
        paths_.push_back(JoinPath(folder, context.lists.FileLabel(n, k)));
    }
    if (paths_.empty()) {
        refusal_ = QualityRefusalReply(QualityRefusal::NoSelectedImage);
        return;
    }
    folder_ = folder;
}

void FrameQualityCommand::run(Feedback& feedback)
{
    result_ = MeasureFrames(paths_, feedback);
    if (result_.status != MeasureStatus::Done)
        return;
    ReportMeasurement(feedback, result_);
    if (const int error = WriteQualityTable(folder_, result_); error != 0)
        ReportQualityTableFailure(feedback, error, JoinPath(folder_, QualityFileName));
    else
        tableWritten_ = true;
}

std::string FrameQualityCommand::finish(AppContext& context, bool& cancelled)
{
    cancelled = result_.status == MeasureStatus::Cancelled;
    if (cancelled)
        return {};
    if (result_.status == MeasureStatus::NoFrame)
        return QualityRefusalReply(QualityRefusal::NoSelectedImage);
    if (!keepBest_)
        return MeasureReply(result_, tableWritten_);
    if (result_.measured == 0)
        return QualityRefusalReply(QualityRefusal::NothingMeasured); // the selection stays
    const std::vector<bool> kept = ChooseBestFrames(result_, percent_, static_cast<int>(paths_.size()));
    for (std::size_t k = 0; k < items_.size() && k < kept.size(); ++k)
        if (!kept[k])
            context.lists.DeselectFile(items_[k]);
    return KeepBestReply(result_, kept);
}

std::string ChooseNormalisation(AppContext& context, std::string_view argument)
{
    Normalisation normalisation = Normalisation::None;
    if (!ParseNormalisation(argument, normalisation))
        return StackingChoiceReply(StackingReply::NormalisationRefused, {});
    context.settings.Stacking.normalisation = normalisation;
    if (context.keepEqualisation && !context.settingsPath.empty())
        (void)WriteSetting(context.settingsPath, CoadditionSection, NormalisationKey, NormalisationName(normalisation));
    return StackingChoiceReply(StackingReply::Normalisation, NormalisationName(normalisation));
}

std::string ChooseWeighting(AppContext& context, std::string_view argument)
{
    Weighting weighting = Weighting::None;
    if (!ParseWeighting(argument, weighting))
        return StackingChoiceReply(StackingReply::WeightsRefused, {});
    context.settings.Stacking.weighting = weighting;
    if (context.keepEqualisation && !context.settingsPath.empty())
        (void)WriteSetting(context.settingsPath, CoadditionSection, WeightsKey, WeightingName(weighting));
    return StackingChoiceReply(StackingReply::Weights, WeightingName(weighting));
}

} // namespace skyvane
