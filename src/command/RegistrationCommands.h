#pragma once

#include <memory>
#include <string>

#include "processing/ListOutput.h"
#include "processing/PatternRegistration.h"

namespace skyvane {

struct AppContext;
class Feedback;

// The registration commands that have a file of their own beside the command table:
// "patternreg [LIST]", co-registration of the list's selected frames by star patterns.
// The three steps of a command (see CommandRun): made by start, where the context is used;
// run, anywhere; finish, where the context is used again.
class PatternRegistrationCommand {
public:
    // The list named in brackets, resolved now into its selected files and its folder.
    // refusal() is the reply when there is nothing to run (no such list, nothing selected).
    PatternRegistrationCommand(AppContext& context, const std::string& text);

    const std::string& refusal() const { return refusal_; }

    // The frames registered into a new folder of the list's folder ("patternreg", or the
    // first of "patternreg-2", ... not yet there). A run that does not end well removes
    // what it wrote.
    void run(Feedback& feedback);

    // The registered folder becomes a new list; returns the reply (the frame lines and
    // "     N of M frames registered: new list [PATHn]", or why nothing was made). cancelled
    // tells a run the user stopped (nothing was made; the reply is then empty).
    std::string finish(AppContext& context, bool& cancelled);

private:
    std::string refusal_;
    PatternRegistrationRequest request_;
    std::string listFolder_;
    bool folderFailed_ = false;
    PatternRegistrationResult result_;
    std::unique_ptr<ListOutput> output_;
};

} // namespace skyvane
