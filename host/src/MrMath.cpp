// Patient and device vectors, the patient-to-device rotation per patient
// position, and the in-plane directions of a slice. The rules are written out
// in docs/conventions.md.
#include "duvhost/MrMath.h"

#include <cmath>
#include <stdexcept>

namespace MrMath {

double VectorPat::norm() const { return std::sqrt(sag_ * sag_ + cor_ * cor_ + tra_ * tra_); }

VectorPat VectorPat::normalized() const {
    const double n = norm();
    return n > 0.0 ? VectorPat(sag_ / n, cor_ / n, tra_ / n) : *this;
}

double VectorPat::dot(const VectorPat& o) const { return sag_ * o.sag_ + cor_ * o.cor_ + tra_ * o.tra_; }

VectorPat VectorPat::cross(const VectorPat& o) const {
    return {cor_ * o.tra_ - tra_ * o.cor_, tra_ * o.sag_ - sag_ * o.tra_, sag_ * o.cor_ - cor_ * o.sag_};
}

MainOrientation VectorPat::calcMainOrientation(double tolerance) const {
    const double s = std::fabs(sag_), c = std::fabs(cor_), t = std::fabs(tra_);
    if (s - c > tolerance && s - t > tolerance) return SAGITTAL;
    if (c - s > tolerance && c - t > tolerance) return CORONAL;
    if (t - s > tolerance && t - c > tolerance) return TRANSVERSE;
    return ORIENTATION_UNDEFINED;
}

// ---------------------------------------------------------------------------
// Patient to device. A device vector is sag * L + cor * P + tra * H, where L,
// P and H are the device directions of the patient's left, posterior and
// head; the columns of m_ are L, P and H. With the anterior A = -P the
// triple satisfies L = H x A, so every matrix is a proper rotation.
// ---------------------------------------------------------------------------
namespace {
struct PositionAxes {
    const char* name;
    double L[3], P[3], H[3];
};
const PositionAxes kPositions[] = {
    {"HFS", {1, 0, 0}, {0, -1, 0}, {0, 0, -1}},   // head into the bore, face up
    {"HFP", {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},   // head into the bore, face down
    {"FFS", {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}},   // feet into the bore, face up
    {"FFP", {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},     // feet into the bore, face down
    {"HFDL", {0, -1, 0}, {-1, 0, 0}, {0, 0, -1}}, // head first, left side down
    {"HFDR", {0, 1, 0}, {1, 0, 0}, {0, 0, -1}},   // head first, right side down
    {"FFDL", {0, -1, 0}, {1, 0, 0}, {0, 0, 1}},   // feet first, left side down
    {"FFDR", {0, 1, 0}, {-1, 0, 0}, {0, 0, 1}},   // feet first, right side down
};
}  // namespace

TransformDevPat::TransformDevPat(const std::string& patientPosition) {
    for (const PositionAxes& p : kPositions) {
        if (patientPosition != p.name) continue;
        for (int r = 0; r < 3; ++r) {
            m_[r][0] = p.L[r];
            m_[r][1] = p.P[r];
            m_[r][2] = p.H[r];
        }
        return;
    }
    throw std::invalid_argument("unknown patient position \"" + patientPosition + "\"");
}

VectorDev TransformDevPat::operator*(const VectorPat& v) const {
    const double p[3] = {v.sag(), v.cor(), v.tra()};
    double d[3];
    for (int r = 0; r < 3; ++r) d[r] = m_[r][0] * p[0] + m_[r][1] * p[1] + m_[r][2] * p[2];
    return {d[0], d[1], d[2]};
}

VectorPat TransformDevPat::inverse(const VectorDev& v) const {
    // A rotation: the inverse is the transpose.
    const double d[3] = {v.X(), v.Y(), v.Z()};
    double p[3];
    for (int c = 0; c < 3; ++c) p[c] = m_[0][c] * d[0] + m_[1][c] * d[1] + m_[2][c] * d[2];
    return {p[0], p[1], p[2]};
}

// ---------------------------------------------------------------------------
// Slice
// ---------------------------------------------------------------------------

bool Slice::normal(const VectorPat& n, bool normalize) {
    const double len = n.norm();
    if (!(len > 0.0) || !std::isfinite(len)) return false;
    normal_ = normalize ? n.normalized() : n;
    return true;
}

// Phase direction before rotation, by the main orientation of the unit
// normal (s, c, t):
//   transverse (and undefined): (0, t, -c) / sqrt(c^2 + t^2)
//   coronal:                    (c, -s, 0) / sqrt(s^2 + c^2)
//   sagittal:                   (-c, s, 0) / sqrt(s^2 + c^2)
// A normal along the sagittal axis has no transverse-rule direction and one
// along the transverse axis none for the other two rules (possible only when
// the tolerance lets such a normal fall into that class); each then takes
// the coronal rule, respectively the transverse rule. The two denominators
// cannot vanish together for a unit normal. The readout is normal x phase;
// the in-plane rotation by a turns both about the normal.
bool Slice::calcPhaseAndReadoutVectors(VectorPat& phase, VectorPat& readout, double tolerance) const {
    const double len = normal_.norm();
    if (!(len > 0.0) || !std::isfinite(len)) return false;
    const VectorPat n = normal_ * (1.0 / len);
    const double s = n.sag(), c = n.cor(), t = n.tra();

    const double dTra = std::hypot(c, t), dSagCor = std::hypot(s, c);
    const MainOrientation o = n.calcMainOrientation(tolerance);
    VectorPat p;
    const bool transverseRule = (o == TRANSVERSE || o == ORIENTATION_UNDEFINED) ? dTra > 0.0 : dSagCor == 0.0;
    if (transverseRule)
        p = VectorPat(0.0, t / dTra, -c / dTra);
    else if (o == SAGITTAL)
        p = VectorPat(-c / dSagCor, s / dSagCor, 0.0);
    else  // coronal, or the fallback of a transverse-class normal along the sagittal axis
        p = VectorPat(c / dSagCor, -s / dSagCor, 0.0);

    const VectorPat r = n.cross(p);
    const double ca = std::cos(angle_), sa = std::sin(angle_);
    phase = p * ca - r * sa;
    readout = p * sa + r * ca;
    return true;
}

}  // namespace MrMath
