// Tests of qomMrSpecFFT against FFTW and against closed-form results.
// Every test runs on the vector code and on the portable code.
#include "Derovo2FFT.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using cplx = std::complex<double>;
const double kPi = 3.14159265358979323846;

std::vector<float> random_samples(unsigned long n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(2 * n);
    for (float& x : v)
        x = u(rng);
    return v;
}

// X[k] = sum_m x[m] exp(i isign 2 pi m k / n), by FFTW.
std::vector<cplx> reference(const std::vector<cplx>& x, double isign)
{
    const unsigned long n = x.size();
    fftw_complex* a = fftw_alloc_complex(n);
    fftw_plan plan = fftw_plan_dft_1d(static_cast<int>(n), a, a, isign > 0 ? FFTW_BACKWARD : FFTW_FORWARD,
                                      FFTW_ESTIMATE);
    for (unsigned long i = 0; i < n; ++i)
    {
        a[i][0] = x[i].real();
        a[i][1] = x[i].imag();
    }
    fftw_execute(plan);
    std::vector<cplx> r(n);
    for (unsigned long i = 0; i < n; ++i)
        r[i] = cplx(a[i][0], a[i][1]);
    fftw_destroy_plan(plan);
    fftw_free(a);
    return r;
}

// The same for n complex floats at x, stride 1.
std::vector<cplx> reference(const float* x, unsigned long n, double isign)
{
    std::vector<cplx> v(n);
    for (unsigned long i = 0; i < n; ++i)
        v[i] = cplx(x[2 * i], x[2 * i + 1]);
    return reference(v, isign);
}

// The first n points of the work array.
std::vector<cplx> points(const double* w, unsigned long n)
{
    std::vector<cplx> v(n);
    for (unsigned long i = 0; i < n; ++i)
        v[i] = cplx(w[2 * i], w[2 * i + 1]);
    return v;
}

// The vector rotated by half its length.
std::vector<cplx> rotated(const std::vector<cplx>& v)
{
    std::vector<cplx> r(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        r[i] = v[(i + v.size() / 2) % v.size()];
    return r;
}

std::vector<float> rotated(const std::vector<float>& v)
{
    std::vector<float> r(v.size());
    const size_t n = v.size() / 2;
    for (size_t i = 0; i < n; ++i)
    {
        r[2 * i] = v[2 * ((i + n / 2) % n)];
        r[2 * i + 1] = v[2 * ((i + n / 2) % n) + 1];
    }
    return r;
}

double max_magnitude(const std::vector<cplx>& v)
{
    double m = 0.0;
    for (const cplx& c : v)
        m = std::max(m, std::abs(c));
    return m;
}

// Largest deviation of the first n points of the work array from ref,
// relative to the largest magnitude of ref.
double relative_error(const double* w, const std::vector<cplx>& ref)
{
    double e = 0.0;
    for (size_t i = 0; i < ref.size(); ++i)
        e = std::max(e, std::abs(cplx(w[2 * i], w[2 * i + 1]) - ref[i]));
    return e / max_magnitude(ref);
}

// Every test runs once with the vector code and once with the portable code.
class FftTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (qomMrSpecFFT::use_vector_code(GetParam()) != GetParam())
            GTEST_SKIP() << "this processor has no AVX2/FMA";
        fft = std::make_unique<qomMrSpecFFT>();
    }
    void TearDown() override { qomMrSpecFFT::use_vector_code(true); }

    std::vector<double> work_copy() const
    {
        return std::vector<double>(fft->work(), fft->work() + 131072);
    }

    std::unique_ptr<qomMrSpecFFT> fft;
};

INSTANTIATE_TEST_SUITE_P(Code, FftTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "vector" : "portable"; });

TEST_P(FftTest, MatchesFftwForEveryLengthAndSign)
{
    for (unsigned long n = 2; n <= 65536; n *= 2)
        for (double isign : {+1.0, -1.0})
        {
            SCOPED_TRACE(::testing::Message() << "n = " << n << ", sign " << isign);
            const std::vector<float> x = random_samples(n, static_cast<unsigned>(n));
            const std::vector<cplx> ref = reference(x.data(), n, isign);

            std::vector<float> in = x;
            ASSERT_TRUE(fft->fft(n, isign, in.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
            EXPECT_LE(relative_error(fft->work(), ref), 1e-12);
            EXPECT_EQ(in, x);  // the input is only read
            EXPECT_EQ(fft->cached_length(), n);
            EXPECT_EQ(fft->cached_sign(), isign);

            // Output as floats: the work array's values rounded to float.
            std::vector<float> out(2 * n, 0.0f);
            ASSERT_TRUE(fft->fft(n, isign, in.data(), 1, 0, out.data(), 1, 0, 0, 0.0));
            EXPECT_LE(relative_error(fft->work(), ref), 1e-12);
            const double peak = max_magnitude(ref);
            for (unsigned long i = 0; i < 2 * n; ++i)
            {
                ASSERT_EQ(out[i], static_cast<float>(fft->work()[i])) << "at " << i;
                const double r = i % 2 ? ref[i / 2].imag() : ref[i / 2].real();
                ASSERT_NEAR(out[i], r, 1e-12 * peak + std::fabs(r) * 0x1p-24) << "at " << i;
            }
        }
}

TEST_P(FftTest, RefusesLengthsOutsideTheAllowedSetAndTouchesNothing)
{
    std::vector<float> x = random_samples(16, 1);
    ASSERT_TRUE(fft->fft(16, +1.0, x.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
    const std::vector<double> before = work_copy();
    std::vector<float> src(2 * 131072, 0.5f);
    std::vector<float> dst(2 * 131072, 7.0f);
    for (unsigned long n : {0UL, 1UL, 3UL, 48UL, 65537UL, 131072UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        EXPECT_FALSE(fft->fft(n, -1.0, src.data(), 1, 1, dst.data(), 1, 1, 1, 2.0));
        EXPECT_EQ(work_copy(), before);
        EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](float v) { return v == 7.0f; }));
        EXPECT_EQ(fft->cached_length(), 16UL);
        EXPECT_EQ(fft->cached_sign(), 1.0);
    }
}

TEST_P(FftTest, RefusesZeroPointsBeforeTheFirstTransform)
{
    // The cached length is 0 after construction; a zero-length request is
    // still refused rather than reported as a transform.
    float dummy[2] = {1.0f, 2.0f};
    EXPECT_FALSE(fft->fft(0, 1.0, dummy, 1, 0, dummy, 1, 0, 0, 0.0));
    EXPECT_EQ(fft->cached_length(), 0UL);
    EXPECT_EQ(fft->cached_sign(), 0.0);
    EXPECT_EQ(dummy[0], 1.0f);
}

TEST_P(FftTest, ImpulsesGiveFlatAndAlternatingSpectra)
{
    for (unsigned long n : {2UL, 8UL, 32UL, 64UL, 512UL, 4096UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        std::vector<float> at0(2 * n, 0.0f), athalf(2 * n, 0.0f), out(2 * n);
        at0[0] = 1.0f;
        athalf[n] = 1.0f;  // point n/2

        for (unsigned long post : {0UL, 1UL})
        {
            ASSERT_TRUE(fft->fft(n, -1.0, at0.data(), 1, 0, out.data(), 1, post, 0, 0.0));
            for (unsigned long k = 0; k < n; ++k)
            {
                ASSERT_EQ(out[2 * k], 1.0f) << k;
                ASSERT_EQ(out[2 * k + 1], 0.0f) << k;
            }
        }
        // Rotated to point 0 first: flat as well.
        ASSERT_TRUE(fft->fft(n, +1.0, athalf.data(), 1, 1, out.data(), 1, 0, 0, 0.0));
        for (unsigned long k = 0; k < n; ++k)
            ASSERT_EQ(out[2 * k], 1.0f) << k;
        // Not rotated: exp(i pi k) = (-1)^k.
        ASSERT_TRUE(fft->fft(n, +1.0, athalf.data(), 1, 0, out.data(), 1, 0, 0, 0.0));
        for (unsigned long k = 0; k < n; ++k)
        {
            ASSERT_EQ(out[2 * k], k % 2 ? -1.0f : 1.0f) << k;
            ASSERT_EQ(out[2 * k + 1], 0.0f) << k;
        }
    }
}

TEST_P(FftTest, ConstantVectorPeaksAtZeroOrAtTheCentreWhenRotated)
{
    for (unsigned long n : {4UL, 16UL, 128UL, 2048UL, 65536UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        std::vector<float> ones(2 * n, 0.0f);
        for (unsigned long i = 0; i < n; ++i)
            ones[2 * i] = 1.0f;
        const double tol = 1e-12 * static_cast<double>(n);
        for (unsigned long post : {0UL, 1UL})
        {
            ASSERT_TRUE(fft->fft(n, +1.0, ones.data(), 1, 0, nullptr, 0, post, 0, 0.0));
            const unsigned long peak = post ? n / 2 : 0;
            const double* w = fft->work();
            for (unsigned long k = 0; k < n; ++k)
            {
                ASSERT_NEAR(w[2 * k], k == peak ? static_cast<double>(n) : 0.0, tol) << k;
                ASSERT_NEAR(w[2 * k + 1], 0.0, tol) << k;
            }
        }
    }
}

TEST_P(FftTest, ForwardThenScaledInverseRestoresTheInput)
{
    for (unsigned long n : {2UL, 4UL, 8UL, 16UL, 32UL, 64UL, 65536UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        const std::vector<float> x = random_samples(n, 7);
        std::vector<float> y = x;
        ASSERT_TRUE(fft->fft(n, +1.0, y.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
        ASSERT_TRUE(fft->fft(n, -1.0, nullptr, 0, 0, y.data(), 1, 0, 1, 1.0 / static_cast<double>(n)));
        double e = 0.0;
        for (unsigned long i = 0; i < 2 * n; ++i)
            e = std::max(e, std::fabs(fft->work()[i] - static_cast<double>(x[i])));
        EXPECT_LE(e, 1e-13);
        for (unsigned long i = 0; i < 2 * n; ++i)
            ASSERT_NEAR(y[i], x[i], 1e-6f) << i;
    }
}

TEST_P(FftTest, NullSourceTransformsThePreviousResultAgain)
{
    // Transforming twice with the same sign gives n x[-k].
    for (unsigned long n : {16UL, 1024UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        const std::vector<float> x = random_samples(n, 3);
        std::vector<float> in = x;
        ASSERT_TRUE(fft->fft(n, -1.0, in.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
        ASSERT_TRUE(fft->fft(n, -1.0, nullptr, 0, 0, nullptr, 0, 0, 0, 0.0));
        std::vector<cplx> expect(n);
        for (unsigned long k = 0; k < n; ++k)
        {
            const unsigned long m = (n - k) % n;
            expect[k] = static_cast<double>(n) * cplx(x[2 * m], x[2 * m + 1]);
        }
        EXPECT_LE(relative_error(fft->work(), expect), 1e-12);

        // Again, rotated before and after (the centred transform).
        const std::vector<cplx> previous = points(fft->work(), n);
        ASSERT_TRUE(fft->fft(n, +1.0, nullptr, 0, 1, nullptr, 0, 1, 0, 0.0));
        EXPECT_LE(relative_error(fft->work(), rotated(reference(rotated(previous), +1.0))), 1e-12);
    }
}

TEST_P(FftTest, SignChangeAtTheSameLengthRebuildsTheFactors)
{
    for (unsigned long n : {32UL, 256UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        std::vector<float> x = random_samples(n, 11);
        for (double isign : {+1.0, -1.0, +1.0})
        {
            ASSERT_TRUE(fft->fft(n, isign, x.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
            EXPECT_EQ(fft->cached_sign(), isign);
            EXPECT_LE(relative_error(fft->work(), reference(x.data(), n, isign)), 1e-12);
        }
    }
}

TEST_P(FftTest, StridesReadAndWriteOnlyTheirSamples)
{
    const float sentinel = -12345.0f;
    for (unsigned long n : {8UL, 64UL, 1024UL})
        for (unsigned long sstep : {1UL, 3UL})
            for (unsigned long dstep : {1UL, 2UL, 5UL})
                for (unsigned long scroll : {0UL, 1UL})
                {
                    SCOPED_TRACE(::testing::Message() << "n = " << n << ", sstep " << sstep << ", dstep "
                                                      << dstep << ", scroll " << scroll);
                    const std::vector<float> x = random_samples(n, 5);
                    // Samples between the input points are NaN: reading one would show.
                    std::vector<float> src(2 * n * sstep, std::nanf(""));
                    for (unsigned long i = 0; i < n; ++i)
                    {
                        src[2 * i * sstep] = x[2 * i];
                        src[2 * i * sstep + 1] = x[2 * i + 1];
                    }
                    std::vector<float> dst(2 * n * dstep, sentinel);
                    ASSERT_TRUE(fft->fft(n, -1.0, src.data(), sstep, scroll, dst.data(), dstep, scroll, 0, 0.0));

                    std::vector<cplx> ref = reference((scroll ? rotated(x) : x).data(), n, -1.0);
                    if (scroll)
                        ref = rotated(ref);
                    EXPECT_LE(relative_error(fft->work(), ref), 1e-12);
                    for (unsigned long i = 0; i < n * dstep; ++i)
                    {
                        if (i % dstep == 0)
                        {
                            ASSERT_EQ(dst[2 * i], static_cast<float>(fft->work()[2 * (i / dstep)])) << i;
                            ASSERT_EQ(dst[2 * i + 1], static_cast<float>(fft->work()[2 * (i / dstep) + 1])) << i;
                        }
                        else
                        {
                            ASSERT_EQ(dst[2 * i], sentinel) << i;
                            ASSERT_EQ(dst[2 * i + 1], sentinel) << i;
                        }
                    }
                }
}

TEST_P(FftTest, InPlaceWithStrideKeepsTheOtherColumns)
{
    // Two interleaved vectors; transforming one in place leaves the other.
    const unsigned long n = 128;
    const std::vector<float> a = random_samples(n, 21), b = random_samples(n, 22);
    std::vector<float> buf(4 * n);
    for (unsigned long i = 0; i < n; ++i)
    {
        buf[4 * i] = a[2 * i];
        buf[4 * i + 1] = a[2 * i + 1];
        buf[4 * i + 2] = b[2 * i];
        buf[4 * i + 3] = b[2 * i + 1];
    }
    ASSERT_TRUE(fft->fft(n, +1.0, buf.data() + 2, 2, 0, buf.data() + 2, 2, 0, 0, 0.0));
    const std::vector<cplx> ref = reference(b.data(), n, +1.0);
    for (unsigned long i = 0; i < n; ++i)
    {
        ASSERT_EQ(buf[4 * i], a[2 * i]);
        ASSERT_EQ(buf[4 * i + 1], a[2 * i + 1]);
        ASSERT_NEAR(buf[4 * i + 2], ref[i].real(), 1e-5);
        ASSERT_NEAR(buf[4 * i + 3], ref[i].imag(), 1e-5);
    }
}

TEST_P(FftTest, CentredTransformOfTheKSpaceCentreIsFlat)
{
    // A k-space vector that is 1 at its centre point is 1 in every voxel.
    for (unsigned long n : {16UL, 64UL})
    {
        std::vector<float> k(2 * n, 0.0f);
        k[n] = 1.0f;
        ASSERT_TRUE(fft->fft(n, -1.0, k.data(), 1, 1, k.data(), 1, 1, 0, 0.0));
        for (unsigned long i = 0; i < n; ++i)
        {
            EXPECT_EQ(k[2 * i], 1.0f) << i;
            EXPECT_EQ(k[2 * i + 1], 0.0f) << i;
        }
    }
}

TEST_P(FftTest, ScalingMultipliesEveryValue)
{
    for (unsigned long n : {8UL, 256UL})
    {
        std::vector<float> x = random_samples(n, 9);
        std::vector<float> out(2 * n);
        ASSERT_TRUE(fft->fft(n, +1.0, x.data(), 1, 0, out.data(), 1, 0, 1, 0.25));
        std::vector<cplx> ref = reference(x.data(), n, +1.0);
        for (cplx& c : ref)
            c *= 0.25;
        EXPECT_LE(relative_error(fft->work(), ref), 1e-12);
        for (unsigned long i = 0; i < 2 * n; ++i)
            ASSERT_EQ(out[i], static_cast<float>(fft->work()[i]));
    }
}

// n samples of exp(i 2 pi f t / n_period), as complex floats.
std::vector<float> tone(unsigned long n, double f, unsigned long n_period, double amplitude)
{
    std::vector<float> v(2 * n);
    for (unsigned long t = 0; t < n; ++t)
    {
        const double ph = 2.0 * kPi * f * static_cast<double>(t) / static_cast<double>(n_period);
        v[2 * t] = static_cast<float>(amplitude * std::cos(ph));
        v[2 * t + 1] = static_cast<float>(amplitude * std::sin(ph));
    }
    return v;
}

TEST_P(FftTest, OversamplingRemovalKeepsTheInnerBandScaled)
{
    for (unsigned long n_out : {2UL, 16UL, 2048UL})
        for (unsigned long factor : {2UL, 4UL})
        {
            const unsigned long n_in = factor * n_out;
            SCOPED_TRACE(::testing::Message() << n_in << " -> " << n_out);
            // The forward transform (sign +1) puts exp(i 2 pi f t / n_in) at
            // point -f; the points -n_out/2 ... n_out/2 - 1 are kept, so tones
            // with -n_out/2 < f <= n_out/2 survive, decimated, with amplitude
            // n_in/n_out (the constant is the f = 0 case) and the others
            // vanish. The float input carries rounding noise of about 1e-7,
            // hence the tolerance.
            const double band = static_cast<double>(n_out) / 2.0;
            const double amplitude = 0.75;
            const double tol = 2e-6 * static_cast<double>(factor);
            for (double f : {0.0, band, band - 1.0, 1.0 - band, -std::floor(0.5 * band)})
            {
                SCOPED_TRACE(::testing::Message() << "kept tone " << f);
                std::vector<float> x = tone(n_in, f, n_in, amplitude);
                ASSERT_TRUE(fft->rm_os(n_in, n_out, x.data()));
                const std::vector<float> expect = tone(n_out, f * static_cast<double>(factor), n_in,
                                                       amplitude * static_cast<double>(factor));
                for (unsigned long i = 0; i < 2 * n_out; ++i)
                    ASSERT_NEAR(fft->work()[i], expect[i], tol) << i;
            }
            for (double f : {-band, band + 1.0, -band - 1.0, static_cast<double>(n_in) / 2.0})
            {
                SCOPED_TRACE(::testing::Message() << "dropped tone " << f);
                std::vector<float> x = tone(n_in, f, n_in, amplitude);
                ASSERT_TRUE(fft->rm_os(n_in, n_out, x.data()));
                for (unsigned long i = 0; i < 2 * n_out; ++i)
                    ASSERT_NEAR(fft->work()[i], 0.0, tol) << i;
            }
        }
}

TEST_P(FftTest, OversamplingRemovalEqualsForwardCropAndScaledInverse)
{
    // The same numbers as the explicit steps: forward (+1), keep the band,
    // back (-1) scaled by 1/n_out; the explicit crop goes through floats
    // here, hence the float tolerance.
    const unsigned long n_in = 512, n_out = 256;
    const std::vector<float> x = random_samples(n_in, 33);
    std::vector<float> spec(2 * n_in);
    std::vector<float> in = x;
    ASSERT_TRUE(fft->fft(n_in, +1.0, in.data(), 1, 0, spec.data(), 1, 0, 0, 0.0));
    std::vector<float> cropped(2 * n_out);
    for (unsigned long k = 0; k < n_out / 2; ++k)
    {
        cropped[2 * k] = spec[2 * k];
        cropped[2 * k + 1] = spec[2 * k + 1];
        const unsigned long src = n_in - n_out / 2 + k, dst = n_out / 2 + k;
        cropped[2 * dst] = spec[2 * src];
        cropped[2 * dst + 1] = spec[2 * src + 1];
    }
    ASSERT_TRUE(fft->fft(n_out, -1.0, cropped.data(), 1, 0, nullptr, 0, 0, 1, 1.0 / n_out));
    const std::vector<double> explicit_steps(fft->work(), fft->work() + 2 * n_out);

    in = x;
    ASSERT_TRUE(fft->rm_os(n_in, n_out, in.data()));
    EXPECT_EQ(in, x);
    for (unsigned long i = 0; i < 2 * n_out; ++i)
        ASSERT_NEAR(fft->work()[i], explicit_steps[i], 1e-5) << i;
    // The forward tables stay cached, so a run of readouts builds none.
    EXPECT_EQ(fft->cached_length(), n_in);
    EXPECT_EQ(fft->cached_sign(), 1.0);

    // A null source crops the work array as it stands: put x there first.
    in = x;
    ASSERT_TRUE(fft->fft(n_in, +1.0, in.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
    ASSERT_TRUE(fft->fft(n_in, -1.0, nullptr, 0, 0, nullptr, 0, 0, 1, 1.0 / n_in));
    ASSERT_TRUE(fft->rm_os(n_in, n_out, nullptr));
    for (unsigned long i = 0; i < 2 * n_out; ++i)
        ASSERT_NEAR(fft->work()[i], explicit_steps[i], 1e-5) << i;
}

TEST_P(FftTest, OversamplingRemovalRefusesBadLengthsAndKeepsTheWorkArray)
{
    std::vector<float> x = random_samples(65536, 4);
    ASSERT_TRUE(fft->fft(64, +1.0, x.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
    const std::vector<double> before = work_copy();
    const unsigned long bad[][2] = {{4096, 4096}, {2048, 4096}, {3000, 1500}, {4096, 1}, {4096, 0},
                                    {131072, 65536}, {4096, 48}, {0, 0}};
    for (const auto& b : bad)
    {
        SCOPED_TRACE(::testing::Message() << b[0] << " -> " << b[1]);
        EXPECT_FALSE(fft->rm_os(b[0], b[1], x.data()));
        EXPECT_EQ(work_copy(), before);
        EXPECT_EQ(fft->cached_length(), 64UL);
    }
}

TEST_P(FftTest, ExportAddAddsConvertedPointsIntoTheDestination)
{
    const unsigned long n = 64;
    std::vector<float> x = random_samples(n, 8);
    ASSERT_TRUE(fft->fft(n, +1.0, x.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
    const double* w = fft->work();

    std::vector<float> dst(2 * n, 1.5f);
    ASSERT_TRUE(fft->export_add(n, dst.data()));
    for (unsigned long i = 0; i < 2 * n; ++i)
        ASSERT_EQ(dst[i], 1.5f + static_cast<float>(w[i])) << i;
    // Adding again accumulates.
    ASSERT_TRUE(fft->export_add(n, dst.data()));
    for (unsigned long i = 0; i < 2 * n; ++i)
        ASSERT_EQ(dst[i], (1.5f + static_cast<float>(w[i])) + static_cast<float>(w[i])) << i;

    // From a given point on, into consecutive samples.
    std::vector<float> part(10, 0.0f);
    ASSERT_TRUE(fft->export_add(4, part.data(), 10));
    for (unsigned long i = 0; i < 8; ++i)
        ASSERT_EQ(part[i], static_cast<float>(w[20 + i])) << i;
    EXPECT_EQ(part[8], 0.0f);
    EXPECT_EQ(part[9], 0.0f);

    // The last point of the work array is reachable.
    std::vector<float> last(2, 0.0f);
    EXPECT_TRUE(fft->export_add(1, last.data(), 65535));
}

TEST_P(FftTest, ExportAddRefusesEmptyAndOutOfRangeRequests)
{
    std::vector<float> x = random_samples(16, 2);
    ASSERT_TRUE(fft->fft(16, +1.0, x.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
    std::vector<float> dst(2 * 65537 + 2, 3.0f);
    EXPECT_FALSE(fft->export_add(0, dst.data()));
    EXPECT_FALSE(fft->export_add(65537, dst.data()));
    EXPECT_FALSE(fft->export_add(2, dst.data(), 65535));
    EXPECT_FALSE(fft->export_add(1, dst.data(), 65536));
    EXPECT_FALSE(fft->export_add(2, dst.data(), ULONG_MAX));
    EXPECT_FALSE(fft->export_add(ULONG_MAX, dst.data(), 2));
    EXPECT_FALSE(fft->export_add(4, nullptr));
    EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](float v) { return v == 3.0f; }));
    EXPECT_TRUE(fft->export_add(65536, dst.data()));
}

// The batched transform gives every vector the floats fft gives it alone, bit
// for bit (signed zeros included): the same tables, butterflies and products.
// The batch crosses chunk boundaries and ends in a partial group of lanes; the
// strides leave gaps between the runs, which must stay untouched.
TEST_P(FftTest, BatchEqualsSingleTransformsBitForBit)
{
    auto single = std::make_unique<qomMrSpecFFT>();
    const float kUntouched = -3.5f;
    for (unsigned long n = 2; n <= 65536; n *= 2)
        for (double isign : {+1.0, -1.0})
            for (unsigned flags = 0; flags < 4; ++flags)
            {
                const unsigned long pre = flags & 1, post = flags >> 1;
                const unsigned char scaled = flags == 3;
                const double factor = 1.0 / static_cast<double>(n);
                const unsigned long count = n <= 1024 ? 70 : 3, sstride = count + 3, dstride = count + 1;
                SCOPED_TRACE(::testing::Message() << "n = " << n << ", sign " << isign << ", flags " << flags);
                const std::vector<float> in = random_samples(n * sstride, static_cast<unsigned>(n + flags));
                std::vector<float> out(2 * n * dstride, kUntouched);
                ASSERT_TRUE(fft->fft_batch(n, isign, in.data(), sstride, pre, out.data(), dstride, post, scaled,
                                           factor, count));
                EXPECT_EQ(fft->cached_length(), n);
                EXPECT_EQ(fft->cached_sign(), isign);

                std::vector<float> one(2 * n);
                unsigned long mismatches = 0;
                for (unsigned long b = 0; b < count; ++b)
                {
                    ASSERT_TRUE(single->fft(n, isign, const_cast<float*>(in.data()) + 2 * b, sstride, pre,
                                            one.data(), 1, post, scaled, factor));
                    for (unsigned long i = 0; i < n; ++i)
                        mismatches += std::memcmp(&one[2 * i], &out[2 * (i * dstride + b)], 2 * sizeof(float)) != 0;
                }
                EXPECT_EQ(mismatches, 0UL);
                for (unsigned long i = 0; i < n; ++i)
                    ASSERT_EQ(out[2 * (i * dstride + count)], kUntouched) << i;

                // In place: the same floats.
                std::vector<float> inplace = in;
                ASSERT_TRUE(fft->fft_batch(n, isign, inplace.data(), sstride, pre, inplace.data(), sstride, post,
                                           scaled, factor, count));
                for (unsigned long i = 0; i < n; ++i)
                    ASSERT_EQ(0, std::memcmp(&inplace[2 * i * sstride], &out[2 * i * dstride], 2 * count * sizeof(float)))
                        << i;
            }
}

TEST_P(FftTest, BatchRefusesLengthsOutsideTheAllowedSetAndTouchesNothing)
{
    std::vector<float> x = random_samples(16, 1);
    ASSERT_TRUE(fft->fft(16, +1.0, x.data(), 1, 0, nullptr, 0, 0, 0, 0.0));
    const std::vector<double> before = work_copy();
    std::vector<float> src(2 * 4 * 48, 0.5f), dst(2 * 4 * 48, 7.0f);
    for (unsigned long n : {0UL, 1UL, 3UL, 48UL, 131072UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        EXPECT_FALSE(fft->fft_batch(n, -1.0, src.data(), 4, 1, dst.data(), 4, 1, 1, 2.0, 4));
        EXPECT_EQ(work_copy(), before);
        EXPECT_EQ(fft->cached_length(), 16UL);
    }
    EXPECT_TRUE(fft->fft_batch(8, -1.0, src.data(), 4, 1, dst.data(), 4, 1, 0, 0.0, 0));
    EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](float v) { return v == 7.0f; }));
}

TEST(FftLengths, AllowedLengthsAndCeilingPowerOfTwo)
{
    auto fft = std::make_unique<qomMrSpecFFT>();
    EXPECT_FALSE(fft->is_allowed(0));
    EXPECT_FALSE(fft->is_allowed(1));
    EXPECT_TRUE(fft->is_allowed(2));
    EXPECT_FALSE(fft->is_allowed(3));
    EXPECT_FALSE(fft->is_allowed(48));
    EXPECT_TRUE(fft->is_allowed(1024));
    EXPECT_TRUE(fft->is_allowed(65536));
    EXPECT_FALSE(fft->is_allowed(131072));

    EXPECT_EQ(fft->ceil_pow_of_two(0), 0UL);
    EXPECT_EQ(fft->ceil_pow_of_two(1), 1UL);
    EXPECT_EQ(fft->ceil_pow_of_two(2), 2UL);
    EXPECT_EQ(fft->ceil_pow_of_two(3), 4UL);
    EXPECT_EQ(fft->ceil_pow_of_two(4), 4UL);
    EXPECT_EQ(fft->ceil_pow_of_two(5), 8UL);
    EXPECT_EQ(fft->ceil_pow_of_two(1000), 1024UL);
    EXPECT_EQ(fft->ceil_pow_of_two(65536), 65536UL);
    EXPECT_EQ(fft->ceil_pow_of_two(65537), 131072UL);
    EXPECT_EQ(fft->ceil_pow_of_two(0x100000001UL), 0x200000000UL);
    EXPECT_EQ(fft->ceil_pow_of_two(ULONG_MAX), 0UL);
}

TEST(FftCodePaths, VectorAndPortableCodeAgree)
{
    if (!qomMrSpecFFT::use_vector_code(true))
        GTEST_SKIP() << "this processor has no AVX2/FMA";
    auto v = std::make_unique<qomMrSpecFFT>();
    auto p = std::make_unique<qomMrSpecFFT>();
    for (unsigned long n : {64UL, 128UL, 8192UL, 16384UL, 32768UL})
    {
        SCOPED_TRACE(::testing::Message() << "n = " << n);
        std::vector<float> x = random_samples(n, 17);
        qomMrSpecFFT::use_vector_code(true);
        ASSERT_TRUE(v->fft(n, -1.0, x.data(), 1, 1, nullptr, 0, 1, 1, 0.5));
        qomMrSpecFFT::use_vector_code(false);
        ASSERT_TRUE(p->fft(n, -1.0, x.data(), 1, 1, nullptr, 0, 1, 1, 0.5));
        EXPECT_LE(relative_error(v->work(), points(p->work(), n)), 1e-14);
    }
    qomMrSpecFFT::use_vector_code(true);
}

}  // namespace
