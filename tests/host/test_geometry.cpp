// Patient-to-device transform, main orientation and slice in-plane directions.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "duvhost/MrMath.h"

using namespace MrMath;

namespace {

const double kEps = 1e-12;

double det(const double (&m)[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

void expectVec(const VectorPat& v, double s, double c, double t, double eps = kEps) {
    EXPECT_NEAR(v.sag(), s, eps);
    EXPECT_NEAR(v.cor(), c, eps);
    EXPECT_NEAR(v.tra(), t, eps);
}

void expectDev(const VectorDev& v, double x, double y, double z) {
    EXPECT_EQ(v.X(), x);
    EXPECT_EQ(v.Y(), y);
    EXPECT_EQ(v.Z(), z);
}

// Phase, readout and normal form a right-handed orthonormal frame.
void expectFrame(const VectorPat& n, const VectorPat& p, const VectorPat& r) {
    EXPECT_NEAR(p.norm(), 1.0, kEps);
    EXPECT_NEAR(r.norm(), 1.0, kEps);
    EXPECT_NEAR(p.dot(n), 0.0, kEps);
    EXPECT_NEAR(r.dot(n), 0.0, kEps);
    EXPECT_NEAR(p.dot(r), 0.0, kEps);
    const VectorPat nxp = n.cross(p), pxr = p.cross(r);
    expectVec(r, nxp.sag(), nxp.cor(), nxp.tra());  // readout = normal x phase
    expectVec(n, pxr.sag(), pxr.cor(), pxr.tra());  // normal = phase x readout
}

}  // namespace

TEST(TransformDevPat, HfsValues) {
    TransformDevPat t("HFS");
    expectDev(t * VectorPat(1, 0, 0), 1, 0, 0);
    expectDev(t * VectorPat(0, 1, 0), 0, -1, 0);
    expectDev(t * VectorPat(0, 0, 1), 0, 0, -1);
    expectDev(t(VectorPat(10.5, -20.25, 3)), 10.5, 20.25, -3);
}

// Device directions derived from the name alone: head first puts the head
// into the bore (-Z), feet first toward the front (+Z); supine faces up (+Y),
// prone down; decubitus left has the patient's left side down (-Y), right
// its right side down (left = +Y).
TEST(TransformDevPat, EveryPositionIsARotationWithItsAxes) {
    const char* positions[] = {"HFS", "HFP", "FFS", "FFP", "HFDL", "HFDR", "FFDL", "FFDR"};
    for (const std::string pos : positions) {
        SCOPED_TRACE(pos);
        TransformDevPat t(pos);
        const auto& m = t.matrix();
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                double dotAB = 0;
                for (int r = 0; r < 3; ++r) dotAB += m[r][a] * m[r][b];
                EXPECT_NEAR(dotAB, a == b ? 1.0 : 0.0, kEps);
            }
        EXPECT_NEAR(det(m), 1.0, kEps);

        const VectorDev head = t * VectorPat(0, 0, 1);
        const VectorDev ant = t * VectorPat(0, -1, 0);
        const VectorDev left = t * VectorPat(1, 0, 0);
        EXPECT_EQ(head.Z(), pos[0] == 'H' ? -1.0 : 1.0);
        const std::string rest = pos.substr(2);
        if (rest == "S") {
            EXPECT_EQ(ant.Y(), 1.0);
        } else if (rest == "P") {
            EXPECT_EQ(ant.Y(), -1.0);
        } else if (rest == "DL") {
            EXPECT_EQ(left.Y(), -1.0);
        } else {
            EXPECT_EQ(rest, "DR");
            EXPECT_EQ(left.Y(), 1.0);
        }

        const VectorPat back = t.inverse(t * VectorPat(1.5, -2.0, 7.25));
        expectVec(back, 1.5, -2.0, 7.25);
    }
    // Head first supine and feet first supine mirror left-right and head-feet.
    expectDev(TransformDevPat("FFS") * VectorPat(1, 2, 3), -1, -2, 3);
    expectDev(TransformDevPat("HFDL") * VectorPat(0, 1, 0), -1, 0, 0);  // posterior toward -X
}

TEST(TransformDevPat, UnknownPositionThrowsNamingIt) {
    for (const std::string pos : {"hfs", "", "HFSX", "LFS"}) {
        try {
            TransformDevPat t(pos);
            ADD_FAILURE() << "no exception for " << pos;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "unknown patient position \"" + pos + "\"");
        }
    }
}

TEST(MainOrientation, LargestMagnitudeBeyondTolerance) {
    EXPECT_EQ(VectorPat(0, 0, 1).calcMainOrientation(1e-6), TRANSVERSE);
    EXPECT_EQ(VectorPat(0, 0, -1).calcMainOrientation(1e-6), TRANSVERSE);
    EXPECT_EQ(VectorPat(0.6, -0.8, 0).calcMainOrientation(1e-6), CORONAL);
    EXPECT_EQ(VectorPat(-0.9, 0.3, 0.3).calcMainOrientation(1e-6), SAGITTAL);
    EXPECT_EQ(VectorPat(0.5, 0.5, 0).calcMainOrientation(1e-6), ORIENTATION_UNDEFINED);
    EXPECT_EQ(VectorPat(0, 0, 0).calcMainOrientation(1e-6), ORIENTATION_UNDEFINED);
    const VectorPat close(0.5, 0.5 + 1e-7, 0.1);
    EXPECT_EQ(close.calcMainOrientation(1e-6), ORIENTATION_UNDEFINED);
    EXPECT_EQ(close.calcMainOrientation(1e-8), CORONAL);
}

TEST(SlicePhaseReadout, MainOrientations) {
    Slice s;
    VectorPat p, r;
    ASSERT_TRUE(s.normal(VectorPat(0, 0, 1), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    expectVec(p, 0, 1, 0);
    expectVec(r, -1, 0, 0);
    expectFrame(s.normal(), p, r);

    ASSERT_TRUE(s.normal(VectorPat(0, 1, 0), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    expectVec(p, 1, 0, 0);
    expectVec(r, 0, 0, -1);
    expectFrame(s.normal(), p, r);

    ASSERT_TRUE(s.normal(VectorPat(1, 0, 0), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    expectVec(p, 0, 1, 0);
    expectVec(r, 0, 0, 1);
    expectFrame(s.normal(), p, r);
}

TEST(SlicePhaseReadout, ObliqueAndDoubleOblique) {
    Slice s;
    VectorPat p, r;
    ASSERT_TRUE(s.normal(VectorPat(0, 0.3, 1), true));  // transverse tilted toward coronal
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    const double k = std::sqrt(0.09 + 1.0);
    expectVec(p, 0, 1 / k, -0.3 / k);
    expectFrame(s.normal(), p, r);

    ASSERT_TRUE(s.normal(VectorPat(0.2, 0.3, 0.9), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    EXPECT_NEAR(p.sag(), 0.0, kEps);  // the transverse rule keeps phase in the cor-tra plane
    expectFrame(s.normal(), p, r);

    ASSERT_TRUE(s.normal(VectorPat(0.8, -0.5, 0.3), true));  // sagittal class
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    EXPECT_NEAR(p.tra(), 0.0, kEps);
    expectFrame(s.normal(), p, r);

    ASSERT_TRUE(s.normal(VectorPat(0, 0, 2), false));  // not normalised: results still unit vectors
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    expectVec(p, 0, 1, 0);
    expectVec(r, -1, 0, 0);
}

TEST(SlicePhaseReadout, RotationTurnsAboutTheNormal) {
    Slice s;
    VectorPat p0, r0, p, r;
    ASSERT_TRUE(s.normal(VectorPat(0.2, 0.3, 0.9), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p0, r0, 1e-14));
    s.rotationAngle(M_PI / 2);
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    expectVec(p, -r0.sag(), -r0.cor(), -r0.tra());
    expectVec(r, p0.sag(), p0.cor(), p0.tra());
    expectFrame(s.normal(), p, r);

    s.rotationAngle(0.3);
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 1e-14));
    const VectorPat expect = p0 * std::cos(0.3) - r0 * std::sin(0.3);
    expectVec(p, expect.sag(), expect.cor(), expect.tra());
    expectFrame(s.normal(), p, r);
}

TEST(SlicePhaseReadout, DegenerateNormalsFallBackToTheOtherRule) {
    Slice s;
    VectorPat p, r;
    // A wide tolerance leaves the sagittal axis undefined; the transverse
    // rule has no direction there, the coronal rule takes over.
    ASSERT_TRUE(s.normal(VectorPat(1, 0, 0), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, 2.0));
    expectVec(p, 0, -1, 0);
    expectFrame(s.normal(), p, r);
    // A negative tolerance classifies the transverse axis as sagittal; the
    // transverse rule takes over.
    ASSERT_TRUE(s.normal(VectorPat(0, 0, 1), true));
    ASSERT_TRUE(s.calcPhaseAndReadoutVectors(p, r, -2.0));
    expectVec(p, 0, 1, 0);
    expectFrame(s.normal(), p, r);
}

TEST(SlicePhaseReadout, ZeroNormalRefused) {
    Slice s;
    EXPECT_FALSE(s.normal(VectorPat(0, 0, 0), true));
    expectVec(s.normal(), 0, 0, 1);  // unchanged
    EXPECT_FALSE(s.normal(VectorPat(NAN, 0, 1), true));
}
