// What a spectroscopy run will write, estimated from the protocol before it
// starts. A protocol of four lines can ask the module for a data set per edit
// step, average, channel, repetition and slice although the measurement holds
// two readouts; `duv run` refuses such a run (exit 2, nothing written) rather
// than fill the disk with files of empty spectra, and names the value and the
// option that lets it through.
#pragma once

#include <cstdint>
#include <string>

#include "duvhost/XProtocol.h"

namespace duvoffline {

// The default cap on spectra files: this many per readout of the input. A
// faithful measurement stays far below (at most two files per data set, two
// more with --data-sets, and up to 100 channel kinds per readout).
constexpr uint64_t kSpectraFilesPerReadout = 1000;

struct SpectraEstimate {
    uint64_t dataSets = 0;  // the most data sets Derovo2's end of job sends (saturates)
    uint64_t files = 0;     // files they make in spectra/ (and data-sets/)
    // The factor that multiplies the most, as "PATH = VALUE (what it counts)";
    // empty when every factor is 1.
    std::string largest;
};

// The data sets Derovo2 sends for this protocol and input: channel kinds x
// repetitions with data x edit steps x average passes x slices of a 2D grid,
// as its first call sizes the store and its end of job loops over it.
SpectraEstimate estimateDerovo2Spectra(const XProtocol& protocol, uint64_t readouts, int32_t slices,
                                       bool dataSetsToo);

// Empty when the estimate is within the cap, else the one-line reason for
// refusing the run. maxFiles < 0: the default cap (kSpectraFilesPerReadout
// per readout); otherwise the cap that --max-files set.
std::string spectraOutputRefusal(const SpectraEstimate& estimate, uint64_t readouts, long maxFiles);

}  // namespace duvoffline
