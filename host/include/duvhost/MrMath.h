// Geometry: patient and device vectors, slices, the patient-to-device
// transform. Conventions in docs/conventions.md.
#pragma once

#include <string>

namespace MrMath {

enum MainOrientation { SAGITTAL = 0, CORONAL = 1, TRANSVERSE = 2, ORIENTATION_UNDEFINED = -1 };

// Patient coordinates (mm or unitless): sag to the patient's left, cor to
// posterior, tra to the head.
class VectorPat {
public:
    VectorPat() = default;
    VectorPat(double sag, double cor, double tra) : sag_(sag), cor_(cor), tra_(tra) {}
    double sag() const { return sag_; }
    double cor() const { return cor_; }
    double tra() const { return tra_; }
    void sag(double v) { sag_ = v; }
    void cor(double v) { cor_ = v; }
    void tra(double v) { tra_ = v; }

    double norm() const;
    VectorPat normalized() const;  // unchanged when the norm is 0
    double dot(const VectorPat& o) const;
    VectorPat cross(const VectorPat& o) const;
    VectorPat operator+(const VectorPat& o) const { return {sag_ + o.sag_, cor_ + o.cor_, tra_ + o.tra_}; }
    VectorPat operator-(const VectorPat& o) const { return {sag_ - o.sag_, cor_ - o.cor_, tra_ - o.tra_}; }
    VectorPat operator*(double f) const { return {sag_ * f, cor_ * f, tra_ * f}; }

    // The axis whose magnitude exceeds both others by more than tolerance,
    // otherwise ORIENTATION_UNDEFINED.
    MainOrientation calcMainOrientation(double tolerance) const;

private:
    double sag_ = 0.0, cor_ = 0.0, tra_ = 0.0;
};

// Device (magnet) coordinates: X horizontal to the right seen from the front
// of the bore looking in, Y up, Z along the bore out toward the front.
class VectorDev {
public:
    VectorDev() = default;
    VectorDev(double x, double y, double z) : x_(x), y_(y), z_(z) {}
    double X() const { return x_; }
    double Y() const { return y_; }
    double Z() const { return z_; }

private:
    double x_ = 0.0, y_ = 0.0, z_ = 0.0;
};

// Patient to device rotation for a patient position: "HFS", "HFP", "FFS",
// "FFP", "HFDL", "HFDR", "FFDL", "FFDR". Any other text throws
// std::invalid_argument naming it. For "HFS": X = sag, Y = -cor, Z = -tra.
class TransformDevPat {
public:
    explicit TransformDevPat(const std::string& patientPosition);
    VectorDev operator*(const VectorPat& v) const;
    VectorDev operator()(const VectorPat& v) const { return *this * v; }
    VectorPat inverse(const VectorDev& v) const;  // device to patient
    const double (&matrix() const)[3][3] { return m_; }  // device = m x patient

private:
    double m_[3][3];
};

// A slice: unit normal and in-plane rotation angle (radians).
class Slice {
public:
    Slice() = default;
    // Sets the normal; normalises it when `normalize` is set. False for a zero vector.
    bool normal(const VectorPat& n, bool normalize);
    const VectorPat& normal() const { return normal_; }
    void rotationAngle(double radians) { angle_ = radians; }
    double rotationAngle() const { return angle_; }

    // Phase and readout unit vectors, orthogonal to the normal, rotated about
    // it by the in-plane angle (docs/conventions.md). tolerance decides the
    // main orientation of the normal. False when the normal is zero.
    bool calcPhaseAndReadoutVectors(VectorPat& phase, VectorPat& readout, double tolerance) const;

private:
    VectorPat normal_{0.0, 0.0, 1.0};
    double angle_ = 0.0;
};

}  // namespace MrMath
