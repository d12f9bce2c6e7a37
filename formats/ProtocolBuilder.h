// The protocol of a measurement (simulated or imported): every path that the
// modules' properties and configurators read, with realistic values.
#pragma once

#include <string>
#include <vector>

#include "Geometry.h"
#include "Sampling.h"
#include "duvhost/XProtocol.h"

namespace duvfiles {

// One slice (or slab) of the slice array, or the volume of interest.
struct SliceSpec {
    Frame frame;          // position = frame.centre
    double readoutFov = 200.0;
    double phaseFov = 200.0;
    double thickness = 10.0;
};

struct ProtocolSpec {
    // Sequence and patient.
    std::string protocolName;
    std::string sequenceFileName;
    std::string sequenceString;
    std::string patientPosition = "HFS";
    double frequencyMHz = 123.2;
    long trUs = 2000000, teUs = 30000, tiUs = 0;
    double flipAngle1 = 90.0, flipAngle2 = 180.0;
    int channels = 1;
    int repetitions = 1;
    std::vector<SliceSpec> slices;  // at least one
    double distFactor = 0.0;        // gap between slices as a fraction of the thickness

    // k-space (imaging and CSI share the paths).
    int baseResolution = 1, phaseEncodingLines = 1, partitions = 1;
    int kspaceDimension = 1;        // 1 single voxel, 2 two-dimensional, 4 three-dimensional encoding
    int averagingMode = 2;          // 1 short term (inner loop), 2 long term (outer loop)

    // Spectroscopy (written when `spectroscopy` is set).
    bool spectroscopy = false;
    Sampling sampling;
    int averages = 1;
    int finalRead = 1, finalPhase = 1, finalSlice = 1;
    bool voiValid = false;
    SliceSpec voi;
    bool hammingFilter = false;
    int hammingWidthPercent = 50;
    bool uncombined = false;
    int b0Correct = 0;              // 1: internal water reference processing
    int refScanMode = 1, refScanCount = 0;
    int arrayPlot = 0;              // 6 reference-voltage, 8 VAPOR calibration display
    int autoCalib = 0;              // 10 writes the calibration values file
    int calibIncrement = 0;
    double vaporFlipAngle = 0.0;
    double transmitterReference = 250.0;  // V
    int resolveAverages = 0;

    // Imaging (image series for export).
    int imagesPerSlab = 1;
    int measuredPartitions = 1;
};

XProtocol buildProtocol(const ProtocolSpec& spec);

}  // namespace duvfiles
