#pragma once

#include <functional>
#include <string_view>

#include "base/Feedback.h"

namespace skyvane {

// How a front end runs the long part of a command (a co-addition over many frames, and
// the like). The desktop program runs it on a thread of its own behind a progress dialog,
// so that its windows keep repainting; without a runner the long part runs on the
// caller's thread, reporting through the run's feedback.
class LongWorkRunner {
public:
    virtual ~LongWorkRunner() = default;
    // Calls work once, with the feedback it is to report through, and returns when work
    // has returned, passing on what it threw. name says what the work is ("co-addition").
    virtual void runLongWork(std::string_view name, const std::function<void(Feedback&)>& work) = 0;
};

} // namespace skyvane
