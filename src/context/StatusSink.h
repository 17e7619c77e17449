#pragma once

#include <string>

namespace skyvane {

// The three parts of the main window's status bar (0, 1, 2).
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void setStatusText(int part, const std::string& text) = 0;
};

// A status bar nobody looks at (batch tool, most tests).
class NullStatusSink final : public StatusSink {
public:
    void setStatusText(int, const std::string&) override {}
};

} // namespace skyvane
