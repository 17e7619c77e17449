#pragma once

#include <optional>
#include <string>

#include "context/AppContext.h"
#include "display/DisplayValues.h"

namespace skyvane {

// The display's part of what happens to Image A, and the display commands, shared by the
// interpreter's table, the workbench and the Thresholds window.

// Image A was loaded, computed or cleared: the thresholds follow its values (their world,
// the trackbars' span, the histogram). Nothing without a threshold model.
void FollowImageA(AppContext& context);

// Auto: the thresholds from Image A's median, drawn with the chosen equalisation (the
// settings' one), which ends an automatic stretch. False, with the thresholds as they were,
// when the median's memory cannot be had.
[[nodiscard]] bool AutoDisplay(AppContext& context);

// Auto stretch: the thresholds of the stretch (ThresholdModel::autoStretch) and the
// display's equalisation becomes its midtones function, for this picture only (the
// settings keep the chosen equalisation, to which Auto and "equalise" return). Image A is
// not changed. Nothing, with everything as it was, when the sample's memory cannot be had.
std::optional<DisplayStretch> StretchDisplay(AppContext& context);

// "autostretch": StretchDisplay, replying "     display stretched: LOW to HIGH, midtones
// M" (the thresholds with ThresholdDigits, the balance with MidtonesDigits, as FormatReal
// writes them). Throws std::bad_alloc when the memory cannot be had (the interpreter
// tells it). A context without a threshold model does not know the command.
std::string AutoStretchCommand(AppContext& context);

} // namespace skyvane
