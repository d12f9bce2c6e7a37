// Slice and volume geometry of measurements (simulated or imported), built
// with the host's MrMath so that the measurement files and the modules share
// one convention (docs/conventions.md).
#pragma once

#include <array>
#include <string>

#include "duvhost/DuvObj.h"
#include "duvhost/MrMath.h"

namespace duvfiles {

using MrMath::VectorPat;

// The three in-plane and through-plane directions of a slice or slab, in
// patient coordinates: phase and readout as MrMath derives them from the
// normal and the in-plane rotation.
struct Frame {
    VectorPat centre;    // mm
    VectorPat normal;    // unit
    VectorPat phase;     // unit, the column direction of images
    VectorPat readout;   // unit, the row direction of images
    double rotation = 0.0;  // in-plane rotation, radians
};

// Phase and readout with the tolerance the spectroscopy module uses for them;
// throws std::invalid_argument for a zero normal.
Frame makeFrame(const VectorPat& centre, const VectorPat& normal, double rotationRad);

// Patient position (mm) to device coordinates (X, Y, Z).
std::array<double, 3> toDevice(const std::string& patientPosition, const VectorPat& p);
// The world frame of the image export's NIfTI-1 files: (-X, Y, -Z) of the
// device vector, which is the patient's RAS for "HFS" only.
std::array<double, 3> toWorld(const std::string& patientPosition, const VectorPat& p);
// The world frame of the NIfTI-MRS spectra: the patient's RAS, (-sag, -cor,
// tra), for every patient position (as DICOM-to-NIfTI converters write it).
inline std::array<double, 3> toPatientRas(const VectorPat& p) { return {-p.sag(), -p.cor(), p.tra()}; }

// Slice geometry of a readout or image: position, scanner position, normal,
// row (= readout) and column (= phase) directions, spacings, thickness.
DuvSoda makeSoda(const VectorPat& position, const Frame& frame, double rowSpacing, double columnSpacing,
                 double thickness, const std::string& patientPosition);

// Rotation quaternion (w, x, y, z) of the matrix whose columns are phase,
// readout and normal, as the scan header's slice data carry it.
std::array<float, 4> frameQuaternion(const Frame& frame);

inline std::array<double, 3> asArray(const VectorPat& v) { return {v.sag(), v.cor(), v.tra()}; }

}  // namespace duvfiles
