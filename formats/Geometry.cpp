#include "Geometry.h"

#include <cmath>
#include <stdexcept>

namespace duvfiles {

Frame makeFrame(const VectorPat& centre, const VectorPat& normal, double rotationRad) {
    Frame f;
    f.centre = centre;
    MrMath::Slice slice;
    if (!slice.normal(normal, true)) throw std::invalid_argument("zero slice normal");
    slice.rotationAngle(rotationRad);
    f.normal = slice.normal();
    if (!slice.calcPhaseAndReadoutVectors(f.phase, f.readout, 1e-14))
        throw std::invalid_argument("no phase and readout directions for this normal");
    f.rotation = rotationRad;
    return f;
}

std::array<double, 3> toDevice(const std::string& patientPosition, const VectorPat& p) {
    const MrMath::TransformDevPat t(patientPosition);
    const MrMath::VectorDev d = t * p;
    return {d.X(), d.Y(), d.Z()};
}

std::array<double, 3> toWorld(const std::string& patientPosition, const VectorPat& p) {
    const auto d = toDevice(patientPosition, p);
    return {-d[0], d[1], -d[2]};
}

namespace {
sVec sv(const VectorPat& v) { return {v.sag(), v.cor(), v.tra()}; }
}  // namespace

DuvSoda makeSoda(const VectorPat& position, const Frame& frame, double rowSpacing, double columnSpacing,
                 double thickness, const std::string& patientPosition) {
    DuvSoda s;
    s.setSlicePosVec(sv(position));
    const auto d = toDevice(patientPosition, position);
    s.setSlicePosVecSBCS({d[0], d[1], d[2]});
    s.setSliceNormVec(sv(frame.normal));
    s.setRowVec(sv(frame.readout));
    s.setColumnVec(sv(frame.phase));
    s.setRowSpacing(rowSpacing);
    s.setColumnSpacing(columnSpacing);
    s.setThickness(thickness);
    return s;
}

std::array<float, 4> frameQuaternion(const Frame& f) {
    // Columns phase, readout, normal: a proper rotation (readout = normal x phase).
    const double m[3][3] = {{f.phase.sag(), f.readout.sag(), f.normal.sag()},
                            {f.phase.cor(), f.readout.cor(), f.normal.cor()},
                            {f.phase.tra(), f.readout.tra(), f.normal.tra()}};
    double w, x, y, z;
    const double trace = m[0][0] + m[1][1] + m[2][2];
    if (trace > 0.0) {
        const double s = 2.0 * std::sqrt(trace + 1.0);
        w = 0.25 * s;
        x = (m[2][1] - m[1][2]) / s;
        y = (m[0][2] - m[2][0]) / s;
        z = (m[1][0] - m[0][1]) / s;
    } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
        const double s = 2.0 * std::sqrt(1.0 + m[0][0] - m[1][1] - m[2][2]);
        w = (m[2][1] - m[1][2]) / s;
        x = 0.25 * s;
        y = (m[0][1] + m[1][0]) / s;
        z = (m[0][2] + m[2][0]) / s;
    } else if (m[1][1] > m[2][2]) {
        const double s = 2.0 * std::sqrt(1.0 + m[1][1] - m[0][0] - m[2][2]);
        w = (m[0][2] - m[2][0]) / s;
        x = (m[0][1] + m[1][0]) / s;
        y = 0.25 * s;
        z = (m[1][2] + m[2][1]) / s;
    } else {
        const double s = 2.0 * std::sqrt(1.0 + m[2][2] - m[0][0] - m[1][1]);
        w = (m[1][0] - m[0][1]) / s;
        x = (m[0][2] + m[2][0]) / s;
        y = (m[1][2] + m[2][1]) / s;
        z = 0.25 * s;
    }
    return {float(w), float(x), float(y), float(z)};
}

}  // namespace duvfiles
