// `duv run`: one measurement through the module its data need.
#pragma once

#include <string>
#include <vector>

namespace duvoffline {

struct RunOptions {
    std::string input;                     // measurement directory
    std::string output;                    // default: <input>/out
    std::string module;                    // default: Derovo2 for readouts, Viviv for images
    std::vector<std::string> modulePath;   // default: the directory of libduvhost.so
    long stopAfter = -1;                   // stop after this many records (end of job with a stop status)
    int logLevel = 5;                      // standard error shows records at or above this level
    bool keepDisplays = false;             // keep every display image, not only the latest of each kind
    bool progress = true;                  // progress bar when standard error is a terminal
};

// Exit status: 0 success, 1 a lifecycle call failed, 2 bad input.
// Errors are reported on standard error in one line.
int runMeasurement(const RunOptions& options);

// End status given to end of job for a measurement stopped by --stop-after.
constexpr unsigned long kAcquisitionStopped = 0x20006UL;

}  // namespace duvoffline
