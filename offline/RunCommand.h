// `duv run`: one measurement through the module its data need.
#pragma once

#include <string>
#include <vector>

#include "duvhost/Framework.h"

namespace duvoffline {

struct RunOptions {
    std::string input;                     // measurement directory
    std::string output;                    // default: <input>/out
    std::string module;                    // default: Derovo2 for readouts, Viviv for images
    std::string configurator;              // default: the module's own (Derovo2Configurator, Viviv_NS_qomDuvPrgB0Configurator)
    std::vector<std::string> modulePath;   // default: the directory of libduvhost.so
    long stopAfter = -1;                   // stop after this many records (end of job with a stop status)
    bool keepDisplays = false;             // keep every display image, not only the latest of each kind
    bool dataSets = false;                 // also write every data set as sent into OUT/data-sets
    bool progress = true;                  // progress bar when standard error is a terminal
    long maxFiles = -1;                    // most spectra files a run may ask for; -1: 1000 per readout
    long long maxBytes = -1;               // most bytes of spectra; -1: 1000 times readouts.bin
};

// Exit status: 0 success (everything claimed was written); 1 a lifecycle
// call or a write failed (the message names the call, its status and the
// last error, or the file; OUT/summary.json says what happened); 2 bad input
// (nothing is claimed: no summary.json). Every exception ends in one of
// these. Errors are reported on
// standard error in one line that starts with "duv run: ". Every trace record
// goes to OUT/trace.log while the run lasts; the caller decides what
// standard error shows.
int runMeasurement(const RunOptions& options);

// The configurator a module composes with when none is named.
std::string defaultConfigurator(const std::string& module);

// End status given to end of job for a measurement stopped by --stop-after.
constexpr DuvStatus kAcquisitionStopped = 0x20006;

}  // namespace duvoffline
