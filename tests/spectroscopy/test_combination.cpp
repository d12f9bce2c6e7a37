// Scaling of the store and combination of the receiver channels.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "StoreFixture.h"

namespace {

using cf = std::complex<float>;

void expectNear(cf v, double re, double im, double tol = 1e-5) {
    EXPECT_NEAR(v.real(), re, tol);
    EXPECT_NEAR(v.imag(), im, tol);
}

MrPtr<Derovo2> singleVoxel(int averages, int slices = 1, int reps = 1) {
    StoreShape s;
    s.vectorSize = 2;
    s.averages = averages;
    s.slices = slices;
    s.reps = reps;
    return makeStage(s);
}

}  // namespace

TEST(Scale, SingleVoxelWithFourAverages) {
    MrPtr<Derovo2> f = singleVoxel(4);
    ASSERT_EQ(f->storeDims().ave, 5);
    f->m_iSumSlotReadouts = 4;
    for (long ave = 0; ave < 5; ++ave) put(*f, {1, ave}, {1.5f, 2.0f});
    putWaterRef(*f, 1, 0, {1.0f, 1.0f});
    f->scale(131072.0, true, true);
    // f = 131072 x 256 / 4, imaginary parts negated; averages get 4 f.
    EXPECT_EQ(value(*f, {1, 4}), cf(12582912.0f, -16777216.0f));
    for (long ave = 0; ave < 4; ++ave) EXPECT_EQ(value(*f, {1, ave}), cf(50331648.0f, -67108864.0f));
    EXPECT_EQ(waterRef(*f, 1, 0), cf(268435456.0f, -268435456.0f));
}

TEST(Scale, SingleVoxelDividesByTheReadoutsAddedIntoTheSumSlot) {
    MrPtr<Derovo2> f = singleVoxel(4);  // stopped after two averages
    f->m_iSumSlotReadouts = 2;
    put(*f, {0, 4}, {1.0f, 1.0f});
    put(*f, {0, 0}, {1.0f, 1.0f});
    f->scale(131072.0, true, true);
    EXPECT_EQ(value(*f, {0, 4}), cf(16777216.0f, -16777216.0f));
    EXPECT_EQ(value(*f, {0, 0}), cf(33554432.0f, -33554432.0f));
}

TEST(Scale, NoAveragesAreRaisedToOneWithTheWarnings) {
    MrPtr<Derovo2> f = singleVoxel(1);
    f->m_iSumSlotReadouts = 0;
    put(*f, {0, 1}, {1.0f, -1.0f});
    duvtrace::ScopedMemorySink sink;
    f->scale(131072.0, true, true);
    EXPECT_EQ(sink->texts(), (std::vector<std::string>{"\n==>Derovo2::scale(): Warning!0",
                                                      "\n==>max. measured averages was found to be0and is set to 1"}));
    EXPECT_EQ(value(*f, {0, 1}), cf(33554432.0f, 33554432.0f));
}

TEST(Scale, CsiDividesByVoxelsAndTheMostSampledPoint) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 4;
    s.phs = 4;
    MrPtr<Derovo2> f = makeStage(s);
    for (long i = 0; i < 16; ++i) csiAverages[i] = 1.0f;
    csiAverages[5] = 3.0f;
    f->m_iSumSlotReadouts = 99;  // not used for CSI
    put(*f, {0, 0, 2, 3}, {1.0f, 2.0f});
    f->scale(131072.0, true, true);
    const float factor = static_cast<float>(131072.0 * 256.0 / (16.0 * 3.0));
    EXPECT_EQ(value(*f, {0, 0, 2, 3}), cf(factor, -2.0f * factor));
}

TEST(Scale, PlainFactorTouchesOnlyTheWaterReferenceOncePerSlice) {
    // The reference has no repetition dimension either: more repetitions
    // scale it no further.
    for (int reps : {1, 3}) {
        SCOPED_TRACE(reps);
        MrPtr<Derovo2> f = singleVoxel(2, 2, reps);
        ASSERT_EQ(f->storeDims().rep, reps);
        for (long rep = 0; rep < reps; ++rep)
            for (long slc = 0; slc < 2; ++slc)
                for (long ave = 0; ave < 3; ++ave) put(*f, {1, ave, 0, 0, 0, 0, 0, slc, rep}, {0.25f, -3.0f});
        putWaterRef(*f, 0, 0, {1.0f, -0.5f});
        const std::vector<float> before = storeCopy(*f);
        f->scale(1.0, false, false);
        EXPECT_EQ(storeCopy(*f), before);
        EXPECT_EQ(waterRef(*f, 0, 0), cf(1024.0f, -512.0f));  // 32 per slice
    }
}

namespace {

// Two receiver channels (slot 2 combined), one average: reference samples 3
// and 4i at sample 0, and (1 + i), 2 at sample 1, in the average and the sum slot.
struct TwoChannels : ::testing::Test {
    void SetUp() override { f = build(1); }
    static MrPtr<Derovo2> build(int slices) {
        StoreShape s;
        s.vectorSize = 2;
        s.receivers = 2;
        s.slices = slices;
        MrPtr<Derovo2> f = makeStage(s);
        for (long slc = 0; slc < slices; ++slc)
            for (long ave = 0; ave < 2; ++ave) {
                put(*f, {0, ave, 0, 0, 0, 0, 0, slc}, {3.0f, 0.0f});
                put(*f, {0, ave, 0, 0, 0, 0, 1, slc}, {0.0f, 4.0f});
                put(*f, {1, ave, 0, 0, 0, 0, 0, slc}, {1.0f, 1.0f});
                put(*f, {1, ave, 0, 0, 0, 0, 1, slc}, {2.0f, 0.0f});
            }
        return f;
    }
    MrPtr<Derovo2> f;
};

}  // namespace

TEST_F(TwoChannels, WeightsLambdaCombinedAndPhasedChannels) {
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->add_coil_arrays(false, false, true, false));
    EXPECT_EQ(sink->texts(),
              (std::vector<std::string>{
                  "==>coil sensitivities taken from spectro data",
                  "==>spectro data based normalization to square root of sum of squared sensitivities",
                  "==>phases from data", "==>phasing of uncombined data ON",
                  "\n==>get the phase correction and weights from the spectro data: eco 0; rep 0",
                  "==>weight[0] for channel 0: 3", "==>weight[1] for channel 1: 4", "\n==>lamda = 0.2",
                  "==>add_coil_arrays() left OK"}));
    for (long ave = 0; ave < 2; ++ave) {
        EXPECT_EQ(value(*f, {0, ave, 0, 0, 0, 0, 2}), cf(5.0f, 0.0f));
        expectNear(value(*f, {1, ave, 0, 0, 0, 0, 2}), 0.6, -1.0);
        EXPECT_EQ(value(*f, {0, ave, 0, 0, 0, 0, 0}), cf(3.0f, 0.0f));  // phased: real and positive
        EXPECT_EQ(value(*f, {0, ave, 0, 0, 0, 0, 1}), cf(4.0f, 0.0f));
        EXPECT_EQ(value(*f, {1, ave, 0, 0, 0, 0, 0}), cf(1.0f, 1.0f));
        EXPECT_EQ(value(*f, {1, ave, 0, 0, 0, 0, 1}), cf(0.0f, -2.0f));
    }
}

TEST_F(TwoChannels, StrongerWaterReferenceWins) {
    putWaterRef(*f, 0, 0, {6.0f, 0.0f});
    putWaterRef(*f, 0, 1, {0.0f, 8.0f});
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->add_coil_arrays(false, false, true, false));
    EXPECT_TRUE(sink->contains("\n==>get the phase correction and weights from the internal reference "));
    EXPECT_TRUE(sink->contains("==>weight[1] for channel 1: 8"));
    EXPECT_TRUE(sink->contains("\n==>lamda = 0.1"));
    expectNear(value(*f, {0, 1, 0, 0, 0, 0, 2}), 5.0, 0.0);
}

TEST_F(TwoChannels, EqualWaterReferenceIsKeptAndAZeroChannelGetsTheNeutralPhase) {
    putWaterRef(*f, 0, 0, {7.0f, 0.0f});  // 7 + 0 against the data's 3 + 4
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->add_coil_arrays(false, false, true, false));
    EXPECT_TRUE(sink->contains("\n==>get the phase correction and weights from the internal reference "));
    EXPECT_EQ(sink->count("\n *** ==> never happen error during phase from data computation: spectro data is zero; "
                          "phase correction omitted!"),
              1u);
    EXPECT_TRUE(sink->contains("==>weight[1] for channel 1: 0"));
    expectNear(value(*f, {0, 1, 0, 0, 0, 0, 2}), 3.0, 0.0);   // channel 1 contributes nothing
    EXPECT_EQ(value(*f, {0, 1, 0, 0, 0, 0, 1}), cf(0.0f, 4.0f));  // and keeps its phase
}

TEST(Combination, AllZeroDataUseTheNeutralLambda) {
    StoreShape s;
    s.receivers = 2;
    MrPtr<Derovo2> f = makeStage(s);
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->add_coil_arrays(false, false, true, false));
    EXPECT_TRUE(sink->contains("\n==>get the phase correction and weights from the spectro data: eco 0; rep 0"));
    EXPECT_TRUE(sink->contains("\n never happen error: denominator of overall scaling factor lamda equals zero due "
                               "to empty spectro data; this data will NOT be normalized."));
    EXPECT_TRUE(sink->contains("\n==>lamda = 1"));
}

TEST_F(TwoChannels, FlagsAreAnnouncedAndSelectNormalisationAndPhasing) {
    {
        duvtrace::ScopedMemorySink sink;
        ASSERT_TRUE(f->add_coil_arrays(false, true, false, true));
        const std::vector<std::string> t = sink->texts();
        ASSERT_GE(t.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 4),
                  (std::vector<std::string>{"==>coil sensitivities taken from spectro data",
                                            "==>spectro data based normalization to sum of sensitivities",
                                            "==>phases from prescan", "==>phasing of uncombined data OFF"}));
        EXPECT_TRUE(sink->contains("\n==>lamda = 0.28"));  // (3 + 4) / (9 + 16)
    }
    expectNear(value(*f, {0, 1, 0, 0, 0, 0, 2}), 7.0, 0.0);
    EXPECT_EQ(value(*f, {0, 1, 0, 0, 0, 0, 1}), cf(0.0f, 4.0f));  // not phased
    {
        duvtrace::ScopedMemorySink sink;
        ASSERT_TRUE(f->add_coil_arrays(true, false, true, false));
        const std::vector<std::string> t = sink->texts();
        ASSERT_GE(t.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 3),
                  (std::vector<std::string>{"==>sensitivities from prescan", "==>phases from data",
                                            "==>phasing of uncombined data ON"}));
    }
}

TEST(Combination, OneChannelIsRefused) {
    MrPtr<Derovo2> f = singleVoxel(1);
    put(*f, {0, 1}, {1.0f, 2.0f});
    const std::vector<float> before = storeCopy(*f);
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(f->add_coil_arrays(false, false, true, false));
    EXPECT_TRUE(sink->contains("\n==>need at least 1 data element; exiting add_coil_arrays() \n"));
    EXPECT_EQ(storeCopy(*f), before);
}

TEST(Combination, EverySliceIsPhasedWithTheFactorsOfTheUnphasedData) {
    MrPtr<Derovo2> f = TwoChannels::build(2);
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->add_coil_arrays(false, false, true, false));
    EXPECT_EQ(sink->count("==>weight[1] for channel 1: 4"), 1u);
    for (long slc = 0; slc < 2; ++slc) {
        EXPECT_EQ(value(*f, {0, 1, 0, 0, 0, 0, 1, slc}), cf(4.0f, 0.0f)) << slc;
        EXPECT_EQ(value(*f, {0, 1, 0, 0, 0, 0, 2, slc}), cf(5.0f, 0.0f)) << slc;
    }
}

TEST(Combination, MissingWaterReferenceIsAnError) {
    StoreShape s;
    s.receivers = 2;
    MrPtr<Derovo2> f = makeStage(s);
    f->m_qom_ref = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());  // never created
    f->m_qom_refAs = DuvAs(f->m_qom_ref);
    DuvFramework::ClearLastError();
    duvtrace::ScopedMemorySink sink;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(f->add_coil_arrays(false, false, true, false));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(sink->find(kChannel, duvtrace::Error, "add_coil_arrays",
                         "\n==>NULL with get_Ptr : add_coil_array def pcor - hier abgefangen  status = 0xc0000001")
                  .size(),
              1u);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
}

namespace {

// Centred spectrum of a vector: sign -1, output rotated by half.
std::vector<std::complex<double>> centredSpectrum(const std::vector<std::complex<double>>& x) {
    const size_t n = x.size();
    std::vector<std::complex<double>> s(n);
    for (size_t kk = 0; kk < n; ++kk) {
        const size_t k = (kk + n / 2) % n;
        for (size_t m = 0; m < n; ++m) s[kk] += x[m] * std::polar(1.0, -2.0 * M_PI * double(m * k) / double(n));
    }
    return s;
}
// Back to the time domain: input rotated, sign +1, output rotated, no scaling.
std::vector<std::complex<double>> centredInverse(const std::vector<std::complex<double>>& s) {
    const size_t n = s.size();
    std::vector<std::complex<double>> y(n);
    for (size_t jj = 0; jj < n; ++jj) {
        const size_t j = (jj + n / 2) % n;
        for (size_t m = 0; m < n; ++m)
            y[jj] += s[(m + n / 2) % n] * std::polar(1.0, 2.0 * M_PI * double(m * j) / double(n));
    }
    return y;
}

}  // namespace

TEST(Combination, ReadoutTraceVariantAgainstAHandComputation) {
    StoreShape s;
    s.vectorSize = 4;
    s.receivers = 2;
    MrPtr<Derovo2> f = makeStage(s);
    f->m_iQOM_ArrayPlot = 1;
    const std::vector<std::vector<std::complex<double>>> x = {{{1, 0}, {0.5, 0.5}, {0, -1}, {0.25, 0}},
                                                              {{0, 1}, {1, 1}, {-0.5, 0}, {0, 0.5}}};
    for (long c = 0; c < 2; ++c)
        for (long ave = 0; ave < 2; ++ave)
            for (long k = 0; k < 4; ++k)
                put(*f, {k, ave, 0, 0, 0, 0, c}, cf(float(x[c][k].real()), float(x[c][k].imag())));

    std::vector<double> w(2, 0.0);
    std::vector<std::vector<std::complex<double>>> magnitudeTrace(2);
    std::vector<std::complex<double>> combined(4);
    for (size_t c = 0; c < 2; ++c) {
        const std::vector<std::complex<double>> spec = centredSpectrum(x[c]);
        std::vector<std::complex<double>> mag(4);
        for (size_t k = 0; k < 4; ++k) w[c] += std::abs(spec[k]), mag[k] = std::abs(spec[k]);
        magnitudeTrace[c] = centredInverse(mag);
    }
    const double lambda = 1.0 / std::sqrt(w[0] * w[0] + w[1] * w[1]);
    for (size_t c = 0; c < 2; ++c)
        for (size_t k = 0; k < 4; ++k) combined[k] += lambda * w[c] * magnitudeTrace[c][k];

    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->add_coil_arrays(false, false, true, false));
    EXPECT_EQ(sink->count("\n==>get the phase correction and weights from frequency domain for readout traces "), 1u);
    EXPECT_FALSE(sink->containsSubstring("from the spectro data"));
    for (long ave = 0; ave < 2; ++ave)
        for (long k = 0; k < 4; ++k) {
            expectNear(value(*f, {k, ave, 0, 0, 0, 0, 2}), combined[k].real(), combined[k].imag(), 1e-4);
            for (long c = 0; c < 2; ++c)
                expectNear(value(*f, {k, ave, 0, 0, 0, 0, c}), magnitudeTrace[c][k].real(),
                           magnitudeTrace[c][k].imag(), 1e-4);
        }
}

// The combination of spectra, sample by sample, against its formula written
// out here: phase factor conj(r) / |r| from each channel's water reference r,
// weight |r|, each product in double and rounded to float where the sum and
// the phased channel keep it, then the sum times lambda. Five samples (an
// odd length: the last sample runs alone), three channels, both phasings;
// every float must match exactly.
TEST(Combination, SpectraEqualTheFormulaBitForBit) {
    for (bool phase : {true, false}) {
        SCOPED_TRACE(phase);
        StoreShape s;
        s.vectorSize = 5;
        s.receivers = 3;
        MrPtr<Derovo2> f = makeStage(s);
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        cf x[3][2][5], ref[3];
        for (long c = 0; c < 3; ++c) {
            ref[c] = cf(50.0f + u(rng), 50.0f * u(rng));  // stronger than any data sample
            putWaterRef(*f, 0, c, ref[c]);
            for (long a = 0; a < 2; ++a)
                for (long k = 0; k < 5; ++k) put(*f, {k, a, 0, 0, 0, 0, c}, x[c][a][k] = cf(u(rng), u(rng)));
        }
        ASSERT_TRUE(f->add_coil_arrays(false, false, phase, false));
        double sumSquares = 0.0, w[3];
        for (long c = 0; c < 3; ++c) {
            w[c] = std::sqrt(static_cast<double>(ref[c].real() * ref[c].real() + ref[c].imag() * ref[c].imag()));
            sumSquares += w[c] * w[c];
        }
        const float lambda = static_cast<float>(1.0 / std::sqrt(sumSquares));
        for (long a = 0; a < 2; ++a)
            for (long k = 0; k < 5; ++k) {
                float sumRe = 0.0f, sumIm = 0.0f;
                for (long c = 0; c < 3; ++c) {
                    const double pr = ref[c].real() / w[c], pi = ref[c].imag() / w[c];
                    const double xr = x[c][a][k].real(), xi = x[c][a][k].imag();
                    const double yr = pr * xr + pi * xi, yi = pr * xi - pi * xr;
                    sumRe += static_cast<float>(w[c] * yr);
                    sumIm += static_cast<float>(w[c] * yi);
                    const cf kept = phase ? cf(static_cast<float>(yr), static_cast<float>(yi)) : x[c][a][k];
                    EXPECT_EQ(value(*f, {k, a, 0, 0, 0, 0, c}), kept) << a << " " << k << " " << c;
                }
                EXPECT_EQ(value(*f, {k, a, 0, 0, 0, 0, 3}), cf(sumRe * lambda, sumIm * lambda)) << a << " " << k;
            }
    }
}
