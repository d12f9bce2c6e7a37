// The kinds of simulated measurement. Each writes its protocol, its data file
// and its truth to the paths it is given (temporary names; the command moves
// them into place once all three are complete).
#pragma once

#include <string>

#include "MetaboliteSignal.h"
#include "ProtocolBuilder.h"
#include "SimOptions.h"
#include "Truth.h"
#include "duvhost/XProtocol.h"

namespace duvsim {

using duvfiles::buildProtocol;
using duvfiles::Frame;
using duvfiles::makeFrame;
using duvfiles::makeSoda;
using duvfiles::ProtocolSpec;
using duvfiles::SliceSpec;

struct OutputPaths {
    std::string protocol;
    std::string readouts;  // spectroscopy kinds
    std::string images;    // image series
    std::string truth;
};

void simulateSingleVoxel(const SimOptions& o, const OutputPaths& out);  // svs, svs-multicoil
void simulateCsi(const SimOptions& o, const OutputPaths& out);          // csi2d, csi3d
void simulateCalibration(const SimOptions& o, const OutputPaths& out);  // calib-refv, calib-vapor
void simulateImageSeries(const SimOptions& o, const OutputPaths& out);  // images2d, images3d

// Shared by the kinds.
// Unit normal for "tra", "cor", "sag" or "oblique" (a doubly tilted,
// mainly transverse normal).
VectorPat orientationNormal(const std::string& orientation);
Sampling samplingFor(const SimOptions& o);  // field, dwell, vector size, oversampling, pre-echo
void writeProtocol(const std::string& path, const XProtocol& protocol);
// kind, seed, the options in effect, and the top-level description.
json truthHeader(const SimOptions& o, const std::string& whatItIs);

// Time of one readout in microseconds for the kinds' protocols.
constexpr long kSvsTrUs = 2000000, kCsiTrUs = 1500000, kCalibTrUs = 3000000;
constexpr long kSpectroTeUs = 30000;
// Unsuppressed water relative to NAA: the internal water reference and the
// reference scans.
constexpr double kUnsuppressedWater = 30.0;

}  // namespace duvsim
