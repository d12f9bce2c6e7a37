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

// The default caps: this many spectra files per readout of the input, and
// this many bytes of spectra per byte of readouts.bin. A faithful
// measurement stays far below (at most two files per data set, two more with
// --data-sets, up to 100 channel kinds per readout; a reconstructed grid a
// few times the encoded one).
constexpr uint64_t kSpectraOutputRatio = 1000;

struct SpectraEstimate {
    uint64_t dataSets = 0;  // the most data sets Derovo2's end of job sends (saturates)
    uint64_t files = 0;     // files they make in spectra/ (and data-sets/)
    uint64_t bytes = 0;     // the samples in those files
    // The factor that multiplies the most and where it comes from, as
    // "protocol: PATH = VALUE (what it counts)" or "readouts.bin: N slices";
    // empty when every factor is 1. largestOfBytes: the same among the
    // factors of the bytes (those of the data sets, voxels, spectral points).
    std::string largest, largestOfBytes;
};

// The data sets Derovo2 sends for this protocol and input: channel kinds x
// repetitions with data x edit steps x average passes x slices of a 2D grid,
// as its first call sizes the store and its end of job loops over it.
SpectraEstimate estimateDerovo2Spectra(const XProtocol& protocol, uint64_t readouts, int32_t slices,
                                       bool dataSetsToo);

// Empty when the estimate is within both caps, else the one-line reason for
// refusing the run. maxFiles, maxBytes < 0: the default caps
// (kSpectraOutputRatio per readout, times the bytes of readouts.bin);
// otherwise the caps that --max-files and --max-bytes set.
std::string spectraOutputRefusal(const SpectraEstimate& estimate, uint64_t readouts, uint64_t readoutBytes,
                                 long maxFiles, long long maxBytes);

}  // namespace duvoffline
