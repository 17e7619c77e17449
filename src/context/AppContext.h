#pragma once

#include <string>

#include "base/Feedback.h"
#include "base/LongWork.h"
#include "context/Settings.h"
#include "context/StatusSink.h"
#include "display/DisplayBitmap.h"
#include "display/ThresholdModel.h"
#include "image/ImageRecord.h"
#include "lists/ImageListTree.h"

namespace skyvane {

// Everything that lives for the whole run: Image A, Image B, the settings, the image
// lists, the display and the two texts of the command protocol, with the interfaces
// through which the core reaches the user. The desktop program, the batch tool and the
// tests each make one.
struct AppContext {
    AppContext(Feedback& feedback, const ThresholdSource& thresholds, DisplaySink& displaySink, StatusSink& statusSink)
        : messages(feedback), status(statusSink), display(thresholds, displaySink)
    {
    }

    Feedback& messages;
    StatusSink& status;
    // Where the long part of a command runs; on the caller's thread when null.
    LongWorkRunner* longWork = nullptr;

    ImageRecord imageA;
    ImageRecord imageB;
    Settings settings;
    std::string settingsPath; // the file Settings were read from and are written to
    // Whether the choices of commands (equalisation, normalisation, weights) are written to
    // the settings file (the batch tool keeps its choices to its own run).
    bool keepEqualisation = true;
    ImageListTree lists;
    Display display;
    // The thresholds the display reads, as the Thresholds window holds them: told of every
    // change of Image A and set by the display commands. Null in a context that has only a
    // fixed threshold source (tests of the core alone).
    ThresholdModel* thresholdModel = nullptr;

    std::string CommandSlot;
    std::string ReplySlot;

    // Image A counts as present while an image is displayed and it has pixels.
    bool imagePresent() const { return display.isImageDisplayed() && !imageA.grid.empty(); }
};

} // namespace skyvane
