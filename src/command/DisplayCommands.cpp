#include "command/DisplayCommands.h"

#include <new>

#include "base/Numbers.h"
#include "display/ThresholdModel.h"
#include "display/TransferFunction.h"

namespace skyvane {

void FollowImageA(AppContext& context)
{
    if (context.thresholdModel != nullptr)
        context.thresholdModel->followImage(context.imageA.grid);
}

bool AutoDisplay(AppContext& context)
{
    if (context.thresholdModel == nullptr)
        return true;
    // The equalisation first: the thresholds' changes ask for the redraws.
    context.display.setTransferFunction(context.settings.Equalisation);
    return context.thresholdModel->autoThresholds(context.imagePresent(), context.imageA.grid);
}

std::optional<DisplayStretch> StretchDisplay(AppContext& context)
{
    if (context.thresholdModel == nullptr)
        return std::nullopt;
    DisplayStretch stretch;
    if (!context.thresholdModel->autoStretch(context.imagePresent(), context.imageA.grid, stretch))
        return std::nullopt;
    // The redraws the thresholds asked for are done when the picture is next needed, so
    // they draw it through the stretch's function too.
    context.display.setTransferFunction(TransferFunction::Midtones(stretch.midtones));
    return stretch;
}

std::string AutoStretchCommand(AppContext& context)
{
    if (context.thresholdModel == nullptr)
        return "     unknown command !"; // a context without thresholds knows no display commands
    const std::optional<DisplayStretch> stretch = StretchDisplay(context);
    if (!stretch)
        throw std::bad_alloc();
    return "     display stretched: " + FormatReal(stretch->low, ThresholdDigits) + " to " + FormatReal(stretch->high, ThresholdDigits) +
           ", midtones " + FormatReal(context.display.transferFunction().midtones, MidtonesDigits);
}

} // namespace skyvane
