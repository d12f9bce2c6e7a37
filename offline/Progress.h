// The progress bar of `duv run` on a terminal: one line that fits the
// terminal's width (it never wraps), with the rate and the time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace duvoffline {

// The line for `done` of `total` records after `elapsedSeconds`, at most
// width - 1 characters (the last column stays free: writing there makes some
// terminals wrap). Parts are left out from the bar down when the width is
// small: "[#####.....]  42% 1234/2900 readouts 850/s 0:02 left".
std::string progressLine(uint64_t done, uint64_t total, double elapsedSeconds, int width, const std::string& unit);

// Columns of the terminal on duv's standard error (80 when unknown).
int terminalWidth();

class Progress {
public:
    // Draws only when `enabled` and duv's standard error is a terminal
    // (also while the modules' output goes to module.log).
    Progress(uint64_t total, bool enabled, std::string unit);
    void update(uint64_t done);
    // Clears the line (the success line or a message follows).
    ~Progress();

private:
    uint64_t total_;
    bool enabled_;
    std::string unit_;
    std::chrono::steady_clock::time_point started_, drawn_;
    int lastPercent_ = -1;
};

}  // namespace duvoffline
