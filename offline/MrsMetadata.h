// What the protocol says about a spectroscopy measurement, checked against
// the forms the NIfTI-MRS header extension allows, and the standard keys it
// fills. A value the standard would forbid is left out with a warning.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "duvhost/XProtocol.h"

namespace duvoffline {

struct MrsProtocolFacts {
    std::string patientPosition;    // empty: not one of the DICOM codes the host knows
    std::string nucleus;            // the standard's form ("1H", "31P"); empty: not expressible
    double frequencyMHz = 0.0;      // 0: absent or not the frequency of a plausible magnet
    std::string protocolName;
    std::optional<double> flipAngleDeg;
    std::optional<bool> waterSuppressed;
    std::string rxCoil;
    bool oversamplingRemoved = false;
    long averages = 1;
    bool averagesResolved = false;  // the averages are sent one by one
    bool spatialFilter = false;     // Hamming filter of the CSI grid
    long spatialFilterWidthPercent = 0;
    // The volume of interest as a NIfTI affine in the patient's RAS: voxel
    // (0, 0, 0) is its centre, the columns its readout, phase and normal
    // edges with their lengths.
    std::optional<std::array<std::array<double, 4>, 4>> voi;
    std::vector<std::string> warnings;  // one sentence each, for the terminal
};

MrsProtocolFacts readMrsProtocol(const XProtocol& protocol);

// The chemical shift of the spectrum's centre (the carrier): 4.7 ppm for 1H,
// unknown (nullopt) for other nuclei.
std::optional<double> centreShiftPpm(const std::string& nucleus);

// The standard keys and the processing record of one data set. `channelKind`
// is the data set's "ImageComment" ("", "_u", "_c_<n>"), `grid` whether it
// holds more than one voxel, `time` the conversion time.
void addProtocolKeys(nlohmann::json& j, const MrsProtocolFacts& facts, const std::string& channelKind, bool grid,
                     const std::string& time);

}  // namespace duvoffline
