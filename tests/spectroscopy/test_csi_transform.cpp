// CSI k-space window, spatial transform and the two reorientations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "StoreFixture.h"

namespace {

const std::complex<float> kOne(1.0f, -2.0f);

// An 8 x 8 grid, two column samples, every point (1, -2), every point counted
// twice, window 25 % (flat to radius 0.75).
struct WindowTest : ::testing::Test {
    void SetUp() override {
        StoreShape s;
        s.vectorSize = 2;
        s.lin = 8;
        s.phs = 8;
        f = makeStage(s);
        ASSERT_TRUE(f);
        f->m_bHammingFilterOn = true;
        f->m_iWidthPercent = 25;
        for (long i2 = 0; i2 < 8; ++i2)
            for (long i1 = 0; i1 < 8; ++i1) {
                csiAverages[i2 * 8 + i1] = 2.0f;
                for (long col = 0; col < 2; ++col) put(*f, {col, 0, i1, i2}, kOne);
            }
    }
    std::complex<float> at(long i1, long i2, long col = 1) { return value(*f, {col, 0, i1, i2}); }
    MrPtr<Derovo2> f;
};

void expectScaled(std::complex<float> v, float w) {
    EXPECT_FLOAT_EQ(v.real(), kOne.real() * w);
    EXPECT_FLOAT_EQ(v.imag(), kOne.imag() * w);
}

}  // namespace

TEST_F(WindowTest, EqualCountsCentreInnerRadiusEdgeAndBeyond) {
    duvtrace::ScopedMemorySink sink;
    f->csi_filter();
    expectScaled(at(4, 4), 1.0f);   // centre
    expectScaled(at(7, 4), 1.0f);   // radius 0.75 = 1 - width: start of the roll-off
    expectScaled(at(4, 7), 1.0f);
    expectScaled(at(0, 4), 0.08f);  // radius 1
    expectScaled(at(4, 0), 0.08f);
    expectScaled(at(0, 0), 0.08f);  // radius sqrt 2
    EXPECT_TRUE(sink->texts().empty());
}

TEST_F(WindowTest, HalfWayDownTheRollOff) {
    f->m_iWidthPercent = 50;  // flat to radius 0.5
    f->csi_filter();
    expectScaled(at(6, 4), 1.0f);   // radius 0.5
    expectScaled(at(7, 4), 0.54f);  // radius 0.75, t = 0.5: 0.54 + 0.46 cos(pi/2)
    expectScaled(at(0, 4), 0.08f);
}

TEST_F(WindowTest, PointsCountedLessOftenAreRaised) {
    csiAverages[4 * 8 + 4] = 1.0f;  // centre counted half as often as the maximum
    csiAverages[4 * 8 + 0] = 1.0f;  // an edge point likewise
    csiAverages[0] = 0.0f;          // a corner never acquired: plain window value
    f->csi_filter();
    expectScaled(at(4, 4), 2.0f);
    expectScaled(at(0, 4), 0.16f);
    expectScaled(at(0, 0), 0.08f);
}

TEST_F(WindowTest, ZeroWidthZeroAveragesAndFilterOffLeaveTheData) {
    const std::vector<float> before = storeCopy(*f);
    {
        duvtrace::ScopedMemorySink sink;
        f->m_iWidthPercent = 0;
        f->csi_filter();
        EXPECT_TRUE(sink->contains("\n==>Derovo2::csi_filter() aborted, since filter width too low = 0"));
        EXPECT_EQ(storeCopy(*f), before);
    }
    {
        duvtrace::ScopedMemorySink sink;
        f->m_iWidthPercent = 25;
        std::fill(std::begin(csiAverages), std::end(csiAverages), 0.0f);
        f->csi_filter();
        EXPECT_TRUE(sink->contains("\n==>Derovo2::csi_filter() aborted, since max. averages = 0"));
        EXPECT_EQ(storeCopy(*f), before);
    }
    csiAverages[0] = 2.0f;
    f->m_bHammingFilterOn = false;
    f->csi_filter();
    EXPECT_EQ(storeCopy(*f), before);
}

TEST_F(WindowTest, ZeroExtentIsTracedAndLeavesTheDataUnwindowed) {
    const std::vector<float> before = storeCopy(*f);
    duvtrace::ScopedMemorySink sink;
    f->m_iPartitions = 0;
    f->csi_filter();
    EXPECT_EQ(sink->find(kChannel, duvtrace::Notice, "csi_filter",
                         "==>NEVER Happen: One of the following values is zero: m_iBaseResolution, "
                         "m_iPhaseEncodingLines, m_iPartitions !!!")
                  .size(),
              1u);
    EXPECT_EQ(storeCopy(*f), before);
}

TEST(CsiTransform, MeasuredChannelsOnlyAndTheCombinedSlotUntouched) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 8;
    s.phs = 8;
    s.receivers = 2;  // channels 0, 1 measured, 2 combined
    MrPtr<Derovo2> f = makeStage(s);
    f->m_bHammingFilterOn = true;
    f->m_iWidthPercent = 25;
    for (long i = 0; i < 64; ++i) csiAverages[i] = 1.0f;
    for (long cha = 0; cha < 3; ++cha) put(*f, {0, 0, 0, 4, 0, 0, cha}, kOne);
    f->csi_filter();
    expectScaled(value(*f, {0, 0, 0, 4, 0, 0, 0}), 0.08f);
    expectScaled(value(*f, {0, 0, 0, 4, 0, 0, 1}), 0.08f);
    expectScaled(value(*f, {0, 0, 0, 4, 0, 0, 2}), 1.0f);

    f->csi_fft();  // the combined slot keeps its single point
    EXPECT_EQ(value(*f, {0, 0, 0, 4, 0, 0, 2}), kOne);
    EXPECT_EQ(value(*f, {0, 0, 1, 4, 0, 0, 2}), std::complex<float>(0.0f, 0.0f));
    EXPECT_NE(value(*f, {0, 0, 1, 4, 0, 0, 0}), std::complex<float>(0.0f, 0.0f));
}

TEST(CsiTransform, SingleVoxelPassesUnchanged) {
    StoreShape s;
    s.averages = 2;
    MrPtr<Derovo2> f = makeStage(s);
    f->m_bHammingFilterOn = true;
    f->m_iWidthPercent = 50;
    f->m_iBaseResolution = f->m_iPhaseEncodingLines = f->m_iPartitions = 1;
    csiAverages[0] = 3.0f;
    for (long col = 0; col < 4; ++col)
        for (long ave = 0; ave < 3; ++ave) put(*f, {col, ave}, {float(col + 1), float(ave)});
    const std::vector<float> before = storeCopy(*f);
    f->csi_filter();
    f->csi_fft();
    EXPECT_EQ(storeCopy(*f), before);
}

TEST(CsiTransform, CentredImpulseOf16PointsBecomesOnesEverywhere) {
    StoreShape s;
    s.vectorSize = 4;
    s.lin = 16;
    MrPtr<Derovo2> f = makeStage(s);
    for (long col = 0; col < 4; ++col) put(*f, {col, 0, 8}, {1.0f, 0.0f});
    f->csi_fft();
    for (long i1 = 0; i1 < 16; ++i1)
        for (long col = 0; col < 4; ++col) {
            const std::complex<float> v = value(*f, {col, 0, i1});
            EXPECT_NEAR(v.real(), 1.0f, 1e-6) << i1;
            EXPECT_NEAR(v.imag(), 0.0f, 1e-6) << i1;
        }
}

TEST(CsiTransform, ThreeDirectionsAndTheSignOfTheTransform) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 4;
    s.phs = 4;
    s.seg = 4;
    MrPtr<Derovo2> f = makeStage(s);
    // One k-space point beside the centre along the first direction: with sign
    // -1 and the centre at n/2 the voxels carry exp(-i pi/2 (j - 2)).
    put(*f, {0, 0, 3, 2, 2}, {1.0f, 0.0f});
    f->csi_fft();
    for (long i3 = 0; i3 < 4; ++i3)
        for (long i2 = 0; i2 < 4; ++i2)
            for (long i1 = 0; i1 < 4; ++i1) {
                const double phase = -3.14159265358979323846 / 2.0 * static_cast<double>(i1 - 2);
                const std::complex<float> v = value(*f, {0, 0, i1, i2, i3});
                EXPECT_NEAR(v.real(), std::cos(phase), 1e-6);
                EXPECT_NEAR(v.imag(), std::sin(phase), 1e-6);
            }
}

TEST(CsiTransform, GridEncodedOnlyAlongTheSecondDirectionIsWindowedAndTransformed) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 1;
    s.phs = 16;
    MrPtr<Derovo2> f = makeStage(s);
    ASSERT_EQ(f->storeDims().lin, 1);
    ASSERT_EQ(f->storeDims().phs, 16);
    f->m_bHammingFilterOn = true;
    f->m_iWidthPercent = 25;
    for (long i = 0; i < 16; ++i) csiAverages[i] = 1.0f;
    put(*f, {0, 0, 0, 8}, {1.0f, 0.0f});
    put(*f, {1, 0, 0, 0}, {1.0f, 0.0f});  // edge point, radius 1
    f->csi_filter();
    EXPECT_FLOAT_EQ(value(*f, {1, 0, 0, 0}).real(), 0.08f);
    f->csi_fft();
    for (long i2 = 0; i2 < 16; ++i2) EXPECT_NEAR(value(*f, {0, 0, 0, i2}).real(), 1.0f, 1e-6) << i2;
}

// The transform works on tiles of a few spectral samples of the whole grid
// with batched calls; the result must be the floats of transforming each
// vector alone, direction after direction, through fft. A grid of 8 x 6 x 8
// (the second direction not a power of two, so left alone) and 512 spectral
// samples spans several tiles, the last one narrower.
TEST(CsiTransform, EqualsDirectionByDirectionTransformsOfSingleVectors) {
    StoreShape s;
    s.vectorSize = 512;
    s.lin = 8;
    s.phs = 6;
    s.seg = 8;
    s.receivers = 2;
    MrPtr<Derovo2> f = makeStage(s);
    const Derovo2StoreDims d = f->storeDims();
    ASSERT_EQ(d.col, 512);
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    float* first = f->get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
    const std::vector<float> before = storeCopy(*f);
    for (size_t i = 0; i < before.size(); ++i) first[i] = u(rng);
    std::vector<float> expected = storeCopy(*f);

    // The reference on a copy: every vector of every direction alone.
    auto reference = std::make_unique<qomMrSpecFFT>();
    const float* base = f->get_ptr(0, d.ave - 1, 0, 0, 0, 0, 0, 0, 0);
    const ptrdiff_t step[4] = {f->get_ptr(0, d.ave - 1, 1, 0, 0, 0, 0, 0, 0) - base,
                               f->get_ptr(0, d.ave - 1, 0, 1, 0, 0, 0, 0, 0) - base,
                               f->get_ptr(0, d.ave - 1, 0, 0, 1, 0, 0, 0, 0) - base,
                               f->get_ptr(0, d.ave - 1, 0, 0, 0, 0, 1, 0, 0) - base};
    auto at = [&](long col, long i1, long i2, long i3, long cha) {
        return &expected[static_cast<size_t>(base - first + 2 * col + i1 * step[0] + i2 * step[1] + i3 * step[2] +
                                             cha * step[3])];
    };
    const long len[3] = {d.lin, d.phs, d.seg};
    for (long cha = 0; cha < 2; ++cha)
        for (int dir = 0; dir < 3; ++dir) {
            const long n = len[dir];
            if (!reference->is_allowed(static_cast<unsigned long>(n))) continue;
            std::vector<float> v(static_cast<size_t>(2 * n));
            for (long a = 0; a < len[(dir + 1) % 3]; ++a)
                for (long b = 0; b < len[(dir + 2) % 3]; ++b)
                    for (long col = 0; col < d.col; ++col) {
                        auto point = [&](long i) {
                            long idx[3];
                            idx[dir] = i, idx[(dir + 1) % 3] = a, idx[(dir + 2) % 3] = b;
                            return at(col, idx[0], idx[1], idx[2], cha);
                        };
                        for (long i = 0; i < n; ++i) std::memcpy(&v[2 * i], point(i), 2 * sizeof(float));
                        ASSERT_TRUE(reference->fft(n, -1.0, v.data(), 1, 1, v.data(), 1, 1, 0, 0.0));
                        for (long i = 0; i < n; ++i) std::memcpy(point(i), &v[2 * i], 2 * sizeof(float));
                    }
        }

    f->csi_fft();
    const std::vector<float> after = storeCopy(*f);
    ASSERT_EQ(after.size(), expected.size());
    EXPECT_EQ(0, std::memcmp(after.data(), expected.data(), after.size() * sizeof(float)));
}

TEST(CsiReorientation, MirrorReversesTheFirstDirectionAndTwiceRestores) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 4;
    s.phs = 2;
    MrPtr<Derovo2> f = makeStage(s);
    for (long i2 = 0; i2 < 2; ++i2)
        for (long i1 = 0; i1 < 4; ++i1)
            for (long col = 0; col < 2; ++col) put(*f, {col, 0, i1, i2}, {float(i1 + 10 * i2), float(col)});
    const std::vector<float> before = storeCopy(*f);
    double x = 1.0, y = -2.0, z = 0.5;
    f->mirror_csi_dim(1, 0, 0, 0, 0, &x, &y, &z);
    EXPECT_EQ(x, -1.0);
    EXPECT_EQ(y, 2.0);
    EXPECT_EQ(z, -0.5);
    for (long i2 = 0; i2 < 2; ++i2)
        for (long i1 = 0; i1 < 4; ++i1)
            EXPECT_EQ(value(*f, {1, 0, i1, i2}), std::complex<float>(float(3 - i1 + 10 * i2), 1.0f));
    f->mirror_csi_dim(1, 0, 0, 0, 0, &x, &y, &z);
    EXPECT_EQ(storeCopy(*f), before);
    EXPECT_EQ(x, 1.0);
    EXPECT_EQ(y, -2.0);
    EXPECT_EQ(z, 0.5);

    // The second direction reverses likewise; a direction of one point keeps
    // data and vector.
    f->mirror_csi_dim(2, 0, 0, 0, 0, &x, &y, &z);
    EXPECT_EQ(value(*f, {0, 0, 1, 0}).real(), 11.0f);
    EXPECT_EQ(x, -1.0);
    f->mirror_csi_dim(2, 0, 0, 0, 0, &x, &y, &z);
    f->mirror_csi_dim(3, 0, 0, 0, 0, &x, &y, &z);
    f->mirror_csi_dim(4, 0, 0, 0, 0, &x, &y, &z);
    EXPECT_EQ(storeCopy(*f), before);
    EXPECT_EQ(x, 1.0);
}

TEST(CsiReorientation, SwapTransposesA2x4PlaneAndBack) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 2;
    s.phs = 4;
    MrPtr<Derovo2> f = makeStage(s);
    for (long i2 = 0; i2 < 4; ++i2)
        for (long i1 = 0; i1 < 2; ++i1)
            for (long col = 0; col < 2; ++col)
                put(*f, {col, 0, i1, i2}, {float(10 * i1 + i2), -float(10 * i1 + i2 + 100 * col)});
    const std::vector<float> before = storeCopy(*f);

    double vx1 = 1, vy1 = 2, vz1 = 3, dx1 = 4, fov1 = 5, vx2 = -1, vy2 = -2, vz2 = -3, dx2 = -4, fov2 = -5;
    unsigned long n1 = 2, n2 = 4;
    f->swap_csi_dims(0, 0, 0, 0, &vx1, &vy1, &vz1, &dx1, &fov1, &n1, &vx2, &vy2, &vz2, &dx2, &fov2, &n2);
    EXPECT_EQ(n1, 4u);
    EXPECT_EQ(n2, 2u);
    EXPECT_EQ(vx1, -1);
    EXPECT_EQ(vy1, -2);
    EXPECT_EQ(vz1, -3);
    EXPECT_EQ(dx1, -4);
    EXPECT_EQ(fov1, -5);
    EXPECT_EQ(vx2, 1);
    EXPECT_EQ(fov2, 5);
    // Read as 4 points along the first direction and 2 along the second: new
    // point (j1, j2) holds old point (j2, j1). Plane position q = j1 + 4 j2
    // lies at LIN q mod 2, PHS q div 2 of the store.
    for (long j2 = 0; j2 < 2; ++j2)
        for (long j1 = 0; j1 < 4; ++j1) {
            const long q = j1 + 4 * j2;
            for (long col = 0; col < 2; ++col)
                EXPECT_EQ(value(*f, {col, 0, q % 2, q / 2}),
                          std::complex<float>(float(10 * j2 + j1), -float(10 * j2 + j1 + 100 * col)))
                    << j1 << "," << j2;
        }

    f->swap_csi_dims(0, 0, 0, 0, &vx1, &vy1, &vz1, &dx1, &fov1, &n1, &vx2, &vy2, &vz2, &dx2, &fov2, &n2);
    EXPECT_EQ(n1, 2u);
    EXPECT_EQ(n2, 4u);
    EXPECT_EQ(vx1, 1);
    EXPECT_EQ(dx2, -4);
    EXPECT_EQ(storeCopy(*f), before);

    // Lengths that do not cover the plane: the store's own are used.
    unsigned long m1 = 0, m2 = 0;
    f->swap_csi_dims(0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, &m1, nullptr, nullptr, nullptr,
                     nullptr, nullptr, &m2);
    EXPECT_EQ(m1, 4u);
    EXPECT_EQ(m2, 2u);
    EXPECT_EQ(value(*f, {0, 0, 1, 0}), std::complex<float>(1.0f, -1.0f));  // q = 1: old (0, 1)
}

// The sagittal hand-over mirrors LIN inside the exchange's pass: the same
// samples and vectors as mirroring first and exchanging after, including a
// single LIN point (nothing to mirror) and runs longer than the exchange's chunk.
class CsiMirrorThenSwap : public ::testing::TestWithParam<StoreShape> {};

TEST_P(CsiMirrorThenSwap, OnePassEqualsTwo) {
    const StoreShape s = GetParam();
    MrPtr<Derovo2> twoPasses = makeStage(s), onePass = makeStage(s);
    for (Derovo2* f : {twoPasses.get(), onePass.get()}) {
        const size_t n = storeCopy(*f).size();
        float* first = f->get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
        for (size_t i = 0; i < n; ++i) first[i] = static_cast<float>(i);
    }
    // [0]: two passes, [1]: one pass; vectors, spacings, fields of view, lengths.
    double v[2][6] = {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}}, dx[2][2] = {{1, 2}, {1, 2}}, fov[2][2] = {{3, 4}, {3, 4}};
    const unsigned long lin = static_cast<unsigned long>(s.lin), phs = static_cast<unsigned long>(s.phs);
    unsigned long len[2][2] = {{lin, phs}, {lin, phs}};
    twoPasses->mirror_csi_dim(1, 0, 0, 0, 0, &v[0][0], &v[0][1], &v[0][2]);
    for (int i = 0; i < 2; ++i)
        (i == 0 ? twoPasses : onePass)
            ->swap_csi_dims(0, 0, 0, 0, &v[i][0], &v[i][1], &v[i][2], &dx[i][0], &fov[i][0], &len[i][0], &v[i][3],
                            &v[i][4], &v[i][5], &dx[i][1], &fov[i][1], &len[i][1], i == 1);
    EXPECT_EQ(storeCopy(*onePass), storeCopy(*twoPasses));
    for (int j = 0; j < 6; ++j) EXPECT_EQ(v[1][j], v[0][j]) << j;
    for (int j = 0; j < 2; ++j) {
        EXPECT_EQ(dx[1][j], dx[0][j]);
        EXPECT_EQ(fov[1][j], fov[0][j]);
        EXPECT_EQ(len[1][j], len[0][j]);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CsiMirrorThenSwap,
                         ::testing::Values(StoreShape{2, 1, 4, 2, 1}, StoreShape{3, 1, 1, 4, 1},
                                           StoreShape{70, 1, 4, 8, 2, 3}));

// End of job windows, transforms and scales each block in one trip: the
// floats, the water reference and the traces are those of the three steps
// called one after another. Shapes: several tiles with a direction left
// untransformed, two slices (the reference is scaled once per slice); no
// transformable direction at all; the window off and no counts (the scaling
// warnings).
struct FusedCase {
    StoreShape shape;
    bool window;
    float count;
};
class CsiFilterFftScale : public ::testing::TestWithParam<FusedCase> {};

TEST_P(CsiFilterFftScale, EqualsTheThreeStepsOneAfterAnother) {
    const FusedCase c = GetParam();
    std::vector<float> stores[2], refs[2];
    std::vector<std::string> traces[2];
    for (int fused = 0; fused < 2; ++fused) {
        MrPtr<Derovo2> f = makeStage(c.shape);
        ASSERT_TRUE(f);
        const Derovo2StoreDims d = f->storeDims();
        f->m_bHammingFilterOn = c.window;
        f->m_iWidthPercent = 40;
        for (long i = 0; i < d.lin * d.phs * d.seg; ++i) csiAverages[i] = c.count * static_cast<float>(1 + i % 3);
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        float* first = f->get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
        const size_t n = storeCopy(*f).size();
        for (size_t i = 0; i < n; ++i) first[i] = u(rng);
        for (long cha = 0; cha < d.cha; ++cha)
            for (long col = 0; col < d.col; ++col) putWaterRef(*f, col, cha, {u(rng), u(rng)});

        duvtrace::ScopedMemorySink sink;
        if (fused) {
            f->csi_filter_fft_scale(131072.0, true, true);
        } else {
            f->csi_filter();
            f->csi_fft();
            f->scale(131072.0, true, true);
        }
        stores[fused] = storeCopy(*f);
        for (long cha = 0; cha < d.cha; ++cha)
            for (long col = 0; col < d.col; ++col) {
                const std::complex<float> v = waterRef(*f, col, cha);
                refs[fused].insert(refs[fused].end(), {v.real(), v.imag()});
            }
        traces[fused] = sink->texts();
    }
    ASSERT_EQ(stores[1].size(), stores[0].size());
    EXPECT_EQ(0, std::memcmp(stores[1].data(), stores[0].data(), stores[0].size() * sizeof(float)));
    EXPECT_EQ(refs[1], refs[0]);
    EXPECT_EQ(traces[1], traces[0]);
    EXPECT_EQ(traces[0].empty(), c.count >= 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CsiFilterFftScale,
                         ::testing::Values(FusedCase{StoreShape{512, 1, 8, 6, 8, 2, false, 1, 1, 2}, true, 1.0f},
                                           FusedCase{StoreShape{5, 1, 3, 5, 1, 3}, true, 2.0f},
                                           FusedCase{StoreShape{8, 1, 4, 4, 1, 1}, false, 0.0f}));
