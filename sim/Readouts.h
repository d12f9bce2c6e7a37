// Writing simulated readouts: scan headers with their counters, flags, time
// stamps and slice data, in the order the sequence acquires them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Geometry.h"
#include "MeasurementFiles.h"
#include "MetaboliteSignal.h"

namespace duvsim {

using duvfiles::Frame;
using duvfiles::frameQuaternion;

// Start of every simulated measurement: 10:00:00, in 2.5 ms ticks since midnight.
constexpr uint32_t kStartTicks = 14400000;

// What distinguishes one readout from the next, besides its samples.
struct ReadoutCounters {
    uint16_t line = 0, phase = 0, seg = 0;  // phase-encoding indices
    uint16_t set = 0;                       // average index (single voxel)
    uint16_t echo = 0, slice = 0, repetition = 0;
    uint64_t evalMask = 0;                  // MDH_PHASCOR, MDH_NOISEADJSCAN, ...
    uint16_t refScanFlag = 0;               // 1: automatic reference scan
};

class ReadoutStream {
public:
    // trMicroseconds: time between readouts; the time stamp advances by it.
    ReadoutStream(const std::string& path, int32_t slices, const Sampling& sampling, int channels,
                  long trMicroseconds);

    // samples: channels x acquired samples, (re, im), channel 0 first.
    void add(const ReadoutCounters& c, const DuvSoda& soda, const Frame& frame, std::vector<float> samples);
    void close() { writer_.close(); }
    uint64_t count() const { return writer_.count(); }
    uint32_t lastTimeStamp() const { return ticks_; }

private:
    duvfiles::ReadoutWriter writer_;
    Sampling sampling_;
    int channels_;
    uint32_t ticks_ = kStartTicks;
    uint32_t step_;
    uint32_t scanCounter_ = 0;
};

}  // namespace duvsim
