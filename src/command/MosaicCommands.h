#pragma once

#include <memory>
#include <string>

namespace skyvane {

struct AppContext;
class Feedback;

// The commands of one-shot colour nights, beside the command table:
//   "calibrate [LIST] (DARK) (FLAT)" and "calibrate [LIST] (DARK)": the list's selected
//   frames calibrated into a new folder "calibrated" of the list's folder, the next list;
//   "listdebayer [LIST]" and "listdebayer [LIST] PATTERN": its selected mosaics demosaiced
//   into a new folder "debayer", the next list;
//   "debayer" and "debayer PATTERN": Image A demosaiced.
// A pattern typed after the command (RGGB, BGGR, GRBG or GBRG, in any case) names the
// filters of the first two stored pixels of the first two stored rows and takes the place
// of what the cards say.

// A command over a list, in the three steps of a command (see CommandRun): made where the
// context is used, run anywhere, finished where the context is used again.
class MosaicListCommand {
public:
    virtual ~MosaicListCommand() = default;
    // The reply when there is nothing to run (no such list, nothing selected, no dark...).
    const std::string& refusal() const { return refusal_; }
    virtual void run(Feedback& feedback) = 0;
    // The written folder becomes the next list; returns the reply. cancelled tells a run the
    // user stopped (nothing was made; the reply is then empty).
    virtual std::string finish(AppContext& context, bool& cancelled) = 0;

protected:
    std::string refusal_;
};

// "calibrate ...", resolved now: the list's selected files and folder, the dark and the flat
// (each resolved as the Image commands resolve a file).
std::unique_ptr<MosaicListCommand> StartCalibration(AppContext& context, const std::string& text);

} // namespace skyvane
