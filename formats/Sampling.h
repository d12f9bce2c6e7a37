// How a spectroscopy readout samples: the protocol's sampling parameters,
// shared by the simulator and the ISMRMRD import.
#pragma once

#include <cmath>

namespace duvfiles {

// Carrier at 4.7 ppm: water is on resonance.
constexpr double kCarrierPpm = 4.7;

struct Sampling {
    double frequencyMHz = 123.2;  // 1H
    int vectorSize = 1024;        // spectral points after oversampling removal
    int oversampling = 2;         // 1 or 2
    int pre = 0;                  // samples before the echo top, at the acquired rate
    int post = 0;                 // extra samples after the kept vector, at the acquired rate
    double dwell = 500e-6;        // seconds between kept points

    int acquired() const { return vectorSize * oversampling + pre + post; }
    double acquiredDwell() const { return dwell / oversampling; }
    // The protocol's dwell time: that of the acquired samples.
    long dwellTimeSigNs() const { return std::lround(acquiredDwell() * 1e9); }
    double offsetHz(double ppm) const { return (ppm - kCarrierPpm) * frequencyMHz; }
};

}  // namespace duvfiles
