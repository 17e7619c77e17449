#pragma once

#include <string>

#include "display/DisplayBitmap.h"
#include "image/ImageRecord.h"
#include "shell/Messages.h"
#include "shell/Settings.h"
#include "toolwindows/ImageListTree.h"

namespace skyvane {

// Everything that lives for the whole run: Image A, Image B, the settings, the image
// lists, the display and the two texts of the command protocol, with the interfaces
// through which the core reaches the user. The desktop program, the batch tool and the
// tests each make one.
struct AppContext {
    AppContext(MessageSink& messageSink, const ThresholdSource& thresholds, DisplaySink& displaySink, StatusSink& statusSink)
        : messages(messageSink), status(statusSink), display(thresholds, displaySink)
    {
    }

    MessageSink& messages;
    StatusSink& status;

    ImageRecord imageA;
    ImageRecord imageB;
    Settings settings;
    std::string settingsPath; // the file Settings were read from and are written to
    ImageListTree lists;
    Display display;

    std::string CommandSlot;
    std::string ReplySlot;

    // Image A counts as present while an image is displayed and it has pixels.
    bool imagePresent() const { return display.isImageDisplayed() && !imageA.grid.empty(); }
};

} // namespace skyvane
