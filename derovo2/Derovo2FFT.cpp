// The spectroscopy module's complex FFT: decimation in time, radix 2, on a
// bit-reversed copy of the input in the double-precision work array.
//
// Two implementations of the butterflies produce the same transform:
//  - the portable code: the radix-2 passes one stage after the other (fully
//    unrolled for 2 ... 32 points), which is also the reference for the other;
//  - the vector code for x86-64 processors with AVX2 and FMA, chosen at run
//    time for 64 points and more. It keeps the work array blocked as four
//    real parts followed by the four imaginary parts while it computes, fuses
//    the reading, the half rotation and the bit reversal with the first three
//    stages, runs the remaining stages up to three at a time with the same
//    cached twiddle factors (within cache-sized blocks first for long
//    transforms) and leaves the result interleaved again, narrowing it to the
//    output on the way when nothing else is to be done. The butterflies are
//    the same; only fused multiply-adds round differently, so both agree to
//    double-precision rounding.
#include "Derovo2FFT.h"

#include <cmath>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#define QOM_FFT_X86_VECTOR 1
#include <immintrin.h>
#endif

namespace {

const unsigned long kMaxPoints = 65536;
const double kTwoPi = 6.283185307179586476925286766559;

// One radix-2 butterfly on complex points i and j (indices in points) of a
// with the factor (wr, wi): t = w * x_j; x_j = x_i - t; x_i = x_i + t.
inline void butterfly(double* a, unsigned long i, unsigned long j, double wr, double wi)
{
    const double tr = wr * a[2 * j] - wi * a[2 * j + 1];
    const double ti = wr * a[2 * j + 1] + wi * a[2 * j];
    a[2 * j] = a[2 * i] - tr;
    a[2 * j + 1] = a[2 * i + 1] - ti;
    a[2 * i] += tr;
    a[2 * i + 1] += ti;
}

// The radix-2 stages with half-sizes h_begin ... h_end/2 on the len points
// at a: for each stage, each block of 2h points and each factor j of the
// stage: butterfly (j, j + h).
void radix2_stages(double* a, unsigned long len, unsigned long h_begin, unsigned long h_end,
                   const double* wr, const double* wi)
{
    for (unsigned long h = h_begin; h < h_end; h <<= 1)
    {
        const double* sr = wr + (h - 1);
        const double* si = wi + (h - 1);
        for (unsigned long s = 0; s < len; s += 2 * h)
            for (unsigned long j = 0; j < h; ++j)
                butterfly(a, s + j, s + j + h, sr[j], si[j]);
    }
}

// Points of the work array that the portable code treats as one piece for
// its first stages (16 bytes per point).
const unsigned long kPortablePiecePoints = 4096;

// The stages of an N-point transform from half-size H on, with loops of
// constant trip count that the compiler unrolls into straight-line code.
// The factors of the stage with half-size H start at table index H - 1.
template <unsigned long N, unsigned long H>
struct FixedStages
{
    static inline void run(double* a, const double* wr, const double* wi)
    {
        const double* sr = wr + (H - 1);
        const double* si = wi + (H - 1);
#pragma GCC unroll 32
        for (unsigned long j = 0; j < H; ++j)
        {
#pragma GCC unroll 32
            for (unsigned long i = j; i < N; i += 2 * H)
                butterfly(a, i, i + H, sr[j], si[j]);
        }
        FixedStages<N, 2 * H>::run(a, wr, wi);
    }
};

template <unsigned long N>
struct FixedStages<N, N>
{
    static inline void run(double*, const double*, const double*) {}
};

#ifdef QOM_FFT_X86_VECTOR

bool cpu_has_avx2_fma()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#pragma GCC push_options
#pragma GCC target("avx2,fma")

// The helpers below work on arrays of vectors that must stay in registers.
#define QOM_FFT_INLINE inline __attribute__((always_inline))

// Work array layout while the vector code runs: complex point p has its real
// part at 8 * (p / 4) + p % 4 and its imaginary part four doubles further, so
// that four consecutive points load as one vector of real and one of
// imaginary parts. The address of a point that is a multiple of 4 is 2 * p.

QOM_FFT_INLINE __m256d ld(const double* p) { return _mm256_loadu_pd(p); }
QOM_FFT_INLINE void st(double* p, __m256d v) { _mm256_storeu_pd(p, v); }

// (tr, ti) = (wr, wi) * (br, bi), element by element.
QOM_FFT_INLINE void cmul(__m256d wr, __m256d wi, __m256d br, __m256d bi, __m256d& tr, __m256d& ti)
{
    tr = _mm256_fmsub_pd(wr, br, _mm256_mul_pd(wi, bi));
    ti = _mm256_fmadd_pd(wr, bi, _mm256_mul_pd(wi, br));
}

// In-place transpose of the 4 x 4 matrix whose rows are a, b, c, d.
QOM_FFT_INLINE void transpose4(__m256d& a, __m256d& b, __m256d& c, __m256d& d)
{
    const __m256d t0 = _mm256_unpacklo_pd(a, b);
    const __m256d t1 = _mm256_unpackhi_pd(a, b);
    const __m256d t2 = _mm256_unpacklo_pd(c, d);
    const __m256d t3 = _mm256_unpackhi_pd(c, d);
    a = _mm256_permute2f128_pd(t0, t2, 0x20);
    b = _mm256_permute2f128_pd(t1, t3, 0x20);
    c = _mm256_permute2f128_pd(t0, t2, 0x31);
    d = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Factors of the second and third stage (half-sizes 2 and 4), broadcast.
struct FirstStageFactors
{
    __m256d r2, i2;      // half-size 2, factor 1 (factor 0 is exactly 1)
    __m256d r4[3], i4[3];  // half-size 4, factors 1 ... 3
    FirstStageFactors(const double* wr, const double* wi)
    {
        r2 = _mm256_set1_pd(wr[2]);
        i2 = _mm256_set1_pd(wi[2]);
#pragma GCC unroll 8
        for (int k = 0; k < 3; ++k)
        {
            r4[k] = _mm256_set1_pd(wr[4 + k]);
            i4[k] = _mm256_set1_pd(wi[4 + k]);
        }
    }
};

// The first three stages on eight points held one per register pair; each
// of the four lanes is an independent group of eight points.
QOM_FFT_INLINE void radix8(__m256d* re, __m256d* im, const FirstStageFactors& f)
{
#pragma GCC unroll 8
    for (int k = 0; k < 8; k += 2)
    {
        const __m256d ar = re[k], ai = im[k];
        re[k] = _mm256_add_pd(ar, re[k + 1]);
        im[k] = _mm256_add_pd(ai, im[k + 1]);
        re[k + 1] = _mm256_sub_pd(ar, re[k + 1]);
        im[k + 1] = _mm256_sub_pd(ai, im[k + 1]);
    }
#pragma GCC unroll 8
    for (int base = 0; base < 8; base += 4)
    {
        __m256d tr = re[base + 2], ti = im[base + 2];
        re[base + 2] = _mm256_sub_pd(re[base], tr);
        im[base + 2] = _mm256_sub_pd(im[base], ti);
        re[base] = _mm256_add_pd(re[base], tr);
        im[base] = _mm256_add_pd(im[base], ti);
        cmul(f.r2, f.i2, re[base + 3], im[base + 3], tr, ti);
        re[base + 3] = _mm256_sub_pd(re[base + 1], tr);
        im[base + 3] = _mm256_sub_pd(im[base + 1], ti);
        re[base + 1] = _mm256_add_pd(re[base + 1], tr);
        im[base + 1] = _mm256_add_pd(im[base + 1], ti);
    }
    {
        const __m256d tr = re[4], ti = im[4];
        re[4] = _mm256_sub_pd(re[0], tr);
        im[4] = _mm256_sub_pd(im[0], ti);
        re[0] = _mm256_add_pd(re[0], tr);
        im[0] = _mm256_add_pd(im[0], ti);
    }
#pragma GCC unroll 8
    for (int j = 1; j < 4; ++j)
    {
        __m256d tr, ti;
        cmul(f.r4[j - 1], f.i4[j - 1], re[j + 4], im[j + 4], tr, ti);
        re[j + 4] = _mm256_sub_pd(re[j], tr);
        im[j + 4] = _mm256_sub_pd(im[j], ti);
        re[j] = _mm256_add_pd(re[j], tr);
        im[j] = _mm256_add_pd(im[j], ti);
    }
}

// Stores the eight points of each lane (re/im[m] = point m of the lane's
// group) as the blocked layout of the groups starting at point 8 * g[lane].
QOM_FFT_INLINE void store_groups(double* a, __m256d* re, __m256d* im, const unsigned long* g)
{
    transpose4(re[0], re[1], re[2], re[3]);
    transpose4(re[4], re[5], re[6], re[7]);
    transpose4(im[0], im[1], im[2], im[3]);
    transpose4(im[4], im[5], im[6], im[7]);
#pragma GCC unroll 8
    for (int l = 0; l < 4; ++l)
    {
        double* p = a + 16 * g[l];
        st(p, re[l]);
        st(p + 4, im[l]);
        st(p + 8, re[l + 4]);
        st(p + 12, im[l + 4]);
    }
}

// Four complex floats at p, p + step, p + 2 step, p + 3 step (step in floats)
// as real and imaginary parts in lane order 0, 2, 1, 3.
QOM_FFT_INLINE void load4(const float* p, unsigned long step, __m256d& re, __m256d& im)
{
    __m128 f01, f23;
    if (step == 2)
    {
        f01 = _mm_loadu_ps(p);
        f23 = _mm_loadu_ps(p + 4);
    }
    else
    {
        f01 = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)),
                           reinterpret_cast<const __m64*>(p + step));
        f23 = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p + 2 * step)),
                           reinterpret_cast<const __m64*>(p + 3 * step));
    }
    const __m256d lo = _mm256_cvtps_pd(f01);  // r0 i0 r1 i1
    const __m256d hi = _mm256_cvtps_pd(f23);  // r2 i2 r3 i3
    re = _mm256_unpacklo_pd(lo, hi);          // r0 r2 r1 r3
    im = _mm256_unpackhi_pd(lo, hi);          // i0 i2 i1 i3
}

// Reading, half rotation, bit reversal and the first three stages in one
// pass. Output group g (points 8g ... 8g+7) needs the inputs
// rev3(m) * n/8 + rev(g) for m = 0 ... 7, so four groups whose reversed
// indices are consecutive read four consecutive input points per m.
void first_pass_gather(double* a, const double* wr, const double* wi, const unsigned long* rev,
                       unsigned rev_shift, unsigned long n, const float* src, unsigned long sstep,
                       bool prescroll)
{
    static const unsigned long rev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const FirstStageFactors f(wr, wi);
    const unsigned long groups = n / 8;
    const unsigned long half = prescroll ? n / 2 : 0;
    const unsigned long fstep = 2 * sstep;
    for (unsigned long c = 0; c < groups; c += 4)
    {
        __m256d re[8], im[8];
#pragma GCC unroll 8
        for (int m = 0; m < 8; ++m)
        {
            const unsigned long q = (rev3[m] * groups + c) ^ half;
            load4(src + q * fstep, fstep, re[m], im[m]);
        }
        radix8(re, im, f);
        // rev[] >> rev_shift reverses log2(n) bits; for c < n/8 that is the
        // reversed group index times 8.
        const unsigned sh = rev_shift + 3;
        const unsigned long g[4] = {rev[c] >> sh, rev[c + 2] >> sh, rev[c + 1] >> sh, rev[c + 3] >> sh};
        store_groups(a, re, im, g);
    }
}

// The first three stages on the interleaved, already bit-reversed work array,
// four groups of eight consecutive points at a time, in place.
void first_pass_inplace(double* a, const double* wr, const double* wi, unsigned long n)
{
    const FirstStageFactors f(wr, wi);
    const unsigned long groups = n / 8;
    for (unsigned long g0 = 0; g0 < groups; g0 += 4)
    {
        __m256d re[8], im[8];
        double* p = a + 16 * g0;
#pragma GCC unroll 8
        for (int k = 0; k < 4; ++k)
        {
            // Rows: points 2k, 2k+1 (interleaved) of the groups g0 ... g0+3.
            __m256d r0 = ld(p + 4 * k), r1 = ld(p + 16 + 4 * k);
            __m256d r2 = ld(p + 32 + 4 * k), r3 = ld(p + 48 + 4 * k);
            transpose4(r0, r1, r2, r3);
            re[2 * k] = r0;
            im[2 * k] = r1;
            re[2 * k + 1] = r2;
            im[2 * k + 1] = r3;
        }
        radix8(re, im, f);
        const unsigned long g[4] = {g0, g0 + 1, g0 + 2, g0 + 3};
        store_groups(a, re, im, g);
    }
}

// Where a pass stores its results (offsets in doubles of the work array):
// blocked layout for the next pass, or, in the last pass, interleaved points
// and optionally the same points narrowed to consecutive complex floats.
struct BlockedOut
{
    double* a;
    QOM_FFT_INLINE void store(unsigned long o, __m256d re, __m256d im) const
    {
        st(a + o, re);
        st(a + o + 4, im);
    }
};

struct InterleavedOut
{
    double* a;
    float* f;  // null: work array only
    QOM_FFT_INLINE void store(unsigned long o, __m256d re, __m256d im) const
    {
        const __m256d u0 = _mm256_unpacklo_pd(re, im);  // r0 i0 r2 i2
        const __m256d u1 = _mm256_unpackhi_pd(re, im);  // r1 i1 r3 i3
        const __m256d lo = _mm256_permute2f128_pd(u0, u1, 0x20);
        const __m256d hi = _mm256_permute2f128_pd(u0, u1, 0x31);
        st(a + o, lo);
        st(a + o + 4, hi);
        if (f)
        {
            _mm_storeu_ps(f + o, _mm256_cvtpd_ps(lo));
            _mm_storeu_ps(f + o + 4, _mm256_cvtpd_ps(hi));
        }
    }
};

// One radix-2 butterfly on vectors: t = w * b; b = a - t; a = a + t.
QOM_FFT_INLINE void bfly(__m256d& ar, __m256d& ai, __m256d& br, __m256d& bi, __m256d wr, __m256d wi)
{
    __m256d tr, ti;
    cmul(wr, wi, br, bi, tr, ti);
    br = _mm256_sub_pd(ar, tr);
    bi = _mm256_sub_pd(ai, ti);
    ar = _mm256_add_pd(ar, tr);
    ai = _mm256_add_pd(ai, ti);
}

// One radix-2 stage with half-size h (h >= 4) on the len points at a.
template <class Out>
void pass2(const double* a, const Out& out, unsigned long len, unsigned long h, const double* wr,
           const double* wi)
{
    const double* tr = wr + h - 1;
    const double* ti = wi + h - 1;
    for (unsigned long s = 0; s < len; s += 2 * h)
        for (unsigned long j = 0; j < h; j += 4)
        {
            const unsigned long o0 = 2 * (s + j), o1 = o0 + 2 * h;
            __m256d x0r = ld(a + o0), x0i = ld(a + o0 + 4);
            __m256d x1r = ld(a + o1), x1i = ld(a + o1 + 4);
            bfly(x0r, x0i, x1r, x1i, ld(tr + j), ld(ti + j));
            out.store(o0, x0r, x0i);
            out.store(o1, x1r, x1i);
        }
}

// Two radix-2 stages (half-sizes h and 2h, h >= 4) in one pass: the same
// butterflies with the same factors, without storing in between.
template <class Out>
void pass4(const double* a, const Out& out, unsigned long len, unsigned long h, const double* wr,
           const double* wi)
{
    const double* t1r = wr + h - 1;
    const double* t1i = wi + h - 1;
    const double* t2r = wr + 2 * h - 1;
    const double* t2i = wi + 2 * h - 1;
    for (unsigned long s = 0; s < len; s += 4 * h)
        for (unsigned long j = 0; j < h; j += 4)
        {
            unsigned long o[4];
            __m256d re[4], im[4];
#pragma GCC unroll 8
            for (int m = 0; m < 4; ++m)
            {
                o[m] = 2 * (s + j + m * h);
                re[m] = ld(a + o[m]);
                im[m] = ld(a + o[m] + 4);
            }
            {
                const __m256d w_r = ld(t1r + j), w_i = ld(t1i + j);
                bfly(re[0], im[0], re[1], im[1], w_r, w_i);
                bfly(re[2], im[2], re[3], im[3], w_r, w_i);
            }
            bfly(re[0], im[0], re[2], im[2], ld(t2r + j), ld(t2i + j));
            bfly(re[1], im[1], re[3], im[3], ld(t2r + j + h), ld(t2i + j + h));
#pragma GCC unroll 8
            for (int m = 0; m < 4; ++m)
                out.store(o[m], re[m], im[m]);
        }
}

// Three radix-2 stages (half-sizes h, 2h and 4h, h >= 4) in one pass.
template <class Out>
void pass8(const double* a, const Out& out, unsigned long len, unsigned long h, const double* wr,
           const double* wi)
{
    const double* t1r = wr + h - 1;
    const double* t1i = wi + h - 1;
    const double* t2r = wr + 2 * h - 1;
    const double* t2i = wi + 2 * h - 1;
    const double* t4r = wr + 4 * h - 1;
    const double* t4i = wi + 4 * h - 1;
    for (unsigned long s = 0; s < len; s += 8 * h)
        for (unsigned long j = 0; j < h; j += 4)
        {
            unsigned long o[8];
            __m256d re[8], im[8];
#pragma GCC unroll 8
            for (int m = 0; m < 8; ++m)
            {
                o[m] = 2 * (s + j + m * h);
                re[m] = ld(a + o[m]);
                im[m] = ld(a + o[m] + 4);
            }
            {
                const __m256d w_r = ld(t1r + j), w_i = ld(t1i + j);
#pragma GCC unroll 8
                for (int m = 0; m < 8; m += 2)
                    bfly(re[m], im[m], re[m + 1], im[m + 1], w_r, w_i);
            }
#pragma GCC unroll 8
            for (int k = 0; k < 2; ++k)
            {
                const __m256d w_r = ld(t2r + j + k * h), w_i = ld(t2i + j + k * h);
                bfly(re[k], im[k], re[k + 2], im[k + 2], w_r, w_i);
                bfly(re[k + 4], im[k + 4], re[k + 6], im[k + 6], w_r, w_i);
            }
#pragma GCC unroll 8
            for (int k = 0; k < 4; ++k)
                bfly(re[k], im[k], re[k + 4], im[k + 4], ld(t4r + j + k * h), ld(t4i + j + k * h));
#pragma GCC unroll 8
            for (int m = 0; m < 8; ++m)
                out.store(o[m], re[m], im[m]);
        }
}

// Points per block for the stages that run block by block while the block
// stays in the cache close to the core (16 bytes per point).
const unsigned long kCacheBlockPoints = 8192;

struct Pass
{
    unsigned long h;      // half-size of the pass's first stage
    unsigned long radix;  // 2, 4 or 8: one, two or three stages
};

// Splits the stages with half-sizes h, 2h, ... below h_end into passes of
// three stages where possible (four stages as two and two).
int plan_passes(unsigned long h, unsigned long h_end, Pass* plan)
{
    int passes = 0;
    unsigned long stages = 0;
    for (unsigned long m = h; m < h_end; m <<= 1)
        ++stages;
    while (stages > 0)
    {
        const unsigned long take = stages == 4 ? 2 : (stages < 3 ? stages : 3);
        plan[passes++] = Pass{h, 1UL << take};
        h <<= take;
        stages -= take;
    }
    return passes;
}

template <class Out>
void run_pass(const double* a, const Out& out, unsigned long len, const Pass& p, const double* wr,
              const double* wi)
{
    if (p.radix == 8)
        pass8(a, out, len, p.h, wr, wi);
    else if (p.radix == 4)
        pass4(a, out, len, p.h, wr, wi);
    else
        pass2(a, out, len, p.h, wr, wi);
}

// Stages 4 ... log2(n) on the blocked work array; the last pass restores the
// interleaved layout and, when f is not null, also writes the result to the
// consecutive complex floats at f. n >= 64.
void remaining_stages(double* a, const double* wr, const double* wi, unsigned long n, float* f)
{
    // For long transforms the stages whose butterflies stay inside one cache
    // block run block by block; the last pass always runs over the whole
    // array.
    // Rather than a lone stage over the whole array, leave it two.
    unsigned long block = n <= kCacheBlockPoints ? 8 : kCacheBlockPoints;
    if (block > 8 && n == 2 * block)
        block /= 2;
    Pass local[8], global[8];
    const int nlocal = plan_passes(8, block, local);
    const int nglobal = plan_passes(block, n, global);
    if (nlocal > 0)
        for (unsigned long b = 0; b < n; b += block)
            for (int p = 0; p < nlocal; ++p)
                run_pass(a + 2 * b, BlockedOut{a + 2 * b}, block, local[p], wr, wi);
    for (int p = 0; p < nglobal - 1; ++p)
        run_pass(a, BlockedOut{a}, n, global[p], wr, wi);
    run_pass(a, InterleavedOut{a, f}, n, global[nglobal - 1], wr, wi);
}

void vector_transform_from(double* a, const double* wr, const double* wi, const unsigned long* rev,
                           unsigned rev_shift, unsigned long n, const float* src, unsigned long sstep,
                           bool prescroll, float* f)
{
    first_pass_gather(a, wr, wi, rev, rev_shift, n, src, sstep, prescroll);
    remaining_stages(a, wr, wi, n, f);
}

void vector_transform_inplace(double* a, const double* wr, const double* wi, unsigned long n, float* f)
{
    first_pass_inplace(a, wr, wi, n);
    remaining_stages(a, wr, wi, n, f);
}

// Real parts of n points times fr, imaginary parts times fi; n even.
void vector_scale(double* a, unsigned long n, double fr, double fi)
{
    const __m256d v = _mm256_setr_pd(fr, fi, fr, fi);
    for (unsigned long i = 0; i < 2 * n; i += 4)
        st(a + i, _mm256_mul_pd(ld(a + i), v));
}

// dst[i] += float(a[i]) for count doubles.
void vector_add_narrowed(const double* a, unsigned long count, float* dst)
{
    unsigned long i = 0;
    for (; i + 4 <= count; i += 4)
        _mm_storeu_ps(dst + i, _mm_add_ps(_mm_loadu_ps(dst + i), _mm256_cvtpd_ps(ld(a + i))));
    for (; i < count; ++i)
        dst[i] += static_cast<float>(a[i]);
}

// 2n doubles narrowed to consecutive floats.
void vector_narrow(const double* a, unsigned long n, float* dst)
{
    for (unsigned long i = 0; i < 2 * n; i += 4)
        _mm_storeu_ps(dst + i, _mm256_cvtpd_ps(ld(a + i)));
}


// Batched transforms: the work array holds a chunk of `lanes` vectors, point
// p of all of them as `lanes` real parts followed by `lanes` imaginary parts
// at a + 2 * lanes * p; the butterflies run across the lanes, four at a time.
// Lane groups of four keep the order 0, 2, 1, 3 of their samples between the
// gather and the scatter, which undo each other's permutation.

// A value the compiler cannot see through: GCC would otherwise fuse a
// product with the sum that follows into one multiply-add (it contracts by
// default where the target has FMA), which rounds differently.
QOM_FFT_INLINE __m256d opaque(__m256d v)
{
    __asm__("" : "+x"(v));
    return v;
}

// The complex product as the single transform computes it at this length:
// with fused multiply-adds in the vector code (64 points and more), with
// separately rounded products in the portable code.
template <bool Fma>
QOM_FFT_INLINE void cmul_as(__m256d wr, __m256d wi, __m256d br, __m256d bi, __m256d& tr, __m256d& ti)
{
    if (Fma)
        cmul(wr, wi, br, bi, tr, ti);
    else
    {
        tr = _mm256_sub_pd(opaque(_mm256_mul_pd(wr, br)), opaque(_mm256_mul_pd(wi, bi)));
        ti = _mm256_add_pd(opaque(_mm256_mul_pd(wr, bi)), opaque(_mm256_mul_pd(wi, br)));
    }
}

// One butterfly; `unit` skips the product where the single transform's
// vector code adds and subtracts without one (factor exactly 1).
template <bool Fma>
QOM_FFT_INLINE void bfly_as(__m256d& ar, __m256d& ai, __m256d& br, __m256d& bi, __m256d wr, __m256d wi,
                            bool unit)
{
    __m256d tr = br, ti = bi;
    if (!unit)
        cmul_as<Fma>(wr, wi, br, bi, tr, ti);
    br = _mm256_sub_pd(ar, tr);
    bi = _mm256_sub_pd(ai, ti);
    ar = _mm256_add_pd(ar, tr);
    ai = _mm256_add_pd(ai, ti);
}

// Four complex floats as real and imaginary parts in lane order 0, 2, 1, 3.
QOM_FFT_INLINE void widen4(const float* p, __m256d& re, __m256d& im)
{
    const __m256 v = _mm256_loadu_ps(p);
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));   // r0 i0 r1 i1
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));  // r2 i2 r3 i3
    re = _mm256_unpacklo_pd(lo, hi);
    im = _mm256_unpackhi_pd(lo, hi);
}

// The inverse of widen4, narrowing to floats.
QOM_FFT_INLINE void narrow4(__m256d re, __m256d im, float* p)
{
    const __m128 lo = _mm256_cvtpd_ps(_mm256_unpacklo_pd(re, im));  // r0 i0 r1 i1
    const __m128 hi = _mm256_cvtpd_ps(_mm256_unpackhi_pd(re, im));  // r2 i2 r3 i3
    _mm256_storeu_ps(p, _mm256_set_m128(hi, lo));
}

// Reads cnt vectors into the chunk: work point p takes source point
// rev[p] ^ half (bit reversal after the optional half rotation). A last
// group of fewer than four vectors is padded with zeros.
void batch_gather_avx(double* a, unsigned long n, unsigned long lanes, const unsigned long* rev,
                      unsigned long half, const float* src, size_t sstride, unsigned long cnt)
{
    for (unsigned long p = 0; p < n; ++p)
    {
        const float* row = src + 2 * (rev[p] ^ half) * sstride;
        double* re = a + 2 * lanes * p;
        double* im = re + lanes;
        unsigned long l = 0;
        for (; l + 4 <= cnt; l += 4)
        {
            __m256d r, i;
            widen4(row + 2 * l, r, i);
            st(re + l, r);
            st(im + l, i);
        }
        if (l < cnt)
        {
            float part[8] = {};
            std::memcpy(part, row + 2 * l, 2 * (cnt - l) * sizeof(float));
            __m256d r, i;
            widen4(part, r, i);
            st(re + l, r);
            st(im + l, i);
        }
    }
}

// Writes cnt vectors from the chunk: work point p, scaled when asked, goes to
// output point p ^ half.
void batch_scatter_avx(const double* a, unsigned long n, unsigned long lanes, unsigned long half, bool do_scale,
                       double scalefactor, float* dst, size_t dstride, unsigned long cnt)
{
    const __m256d s = _mm256_set1_pd(scalefactor);
    for (unsigned long p = 0; p < n; ++p)
    {
        float* row = dst + 2 * (p ^ half) * dstride;
        const double* re = a + 2 * lanes * p;
        const double* im = re + lanes;
        for (unsigned long l = 0; l < cnt; l += 4)
        {
            __m256d r = ld(re + l), i = ld(im + l);
            if (do_scale)
            {
                r = _mm256_mul_pd(r, s);
                i = _mm256_mul_pd(i, s);
            }
            if (l + 4 <= cnt)
                narrow4(r, i, row + 2 * l);
            else
            {
                float part[8];
                narrow4(r, i, part);
                std::memcpy(row + 2 * l, part, 2 * (cnt - l) * sizeof(float));
            }
        }
    }
}

// Whether the single transform's vector code skips the product for factor j
// of the stage with half-size h: all of the first stage, the first factor of
// the second and third.
inline bool unit_factor(bool fma, unsigned long h, unsigned long j)
{
    return fma && (h == 1 || (h <= 4 && j == 0));
}

// One radix-2 stage (half-size h) on the first `used` lanes of the chunk.
template <bool Fma>
void batch_stage2_avx(double* a, unsigned long n, unsigned long lanes, unsigned long used, unsigned long h,
                      const double* wr, const double* wi)
{
    for (unsigned long s = 0; s < n; s += 2 * h)
        for (unsigned long j = 0; j < h; ++j)
        {
            const __m256d w_r = _mm256_set1_pd(wr[h - 1 + j]), w_i = _mm256_set1_pd(wi[h - 1 + j]);
            const bool unit = unit_factor(Fma, h, j);
            double* x = a + 2 * lanes * (s + j);
            double* y = a + 2 * lanes * (s + j + h);
            for (unsigned long l = 0; l < used; l += 4)
            {
                __m256d xr = ld(x + l), xi = ld(x + lanes + l), yr = ld(y + l), yi = ld(y + lanes + l);
                bfly_as<Fma>(xr, xi, yr, yi, w_r, w_i, unit);
                st(x + l, xr);
                st(x + lanes + l, xi);
                st(y + l, yr);
                st(y + lanes + l, yi);
            }
        }
}

// Two radix-2 stages (half-sizes h and 2h) in one pass over the chunk.
template <bool Fma>
void batch_stage4_avx(double* a, unsigned long n, unsigned long lanes, unsigned long used, unsigned long h,
                      const double* wr, const double* wi)
{
    for (unsigned long s = 0; s < n; s += 4 * h)
        for (unsigned long j = 0; j < h; ++j)
        {
            const __m256d w1r = _mm256_set1_pd(wr[h - 1 + j]), w1i = _mm256_set1_pd(wi[h - 1 + j]);
            const __m256d w2r = _mm256_set1_pd(wr[2 * h - 1 + j]), w2i = _mm256_set1_pd(wi[2 * h - 1 + j]);
            const __m256d w3r = _mm256_set1_pd(wr[3 * h - 1 + j]), w3i = _mm256_set1_pd(wi[3 * h - 1 + j]);
            const bool u1 = unit_factor(Fma, h, j), u2 = unit_factor(Fma, 2 * h, j),
                       u3 = unit_factor(Fma, 2 * h, j + h);
            double* p[4];
#pragma GCC unroll 4
            for (int m = 0; m < 4; ++m)
                p[m] = a + 2 * lanes * (s + j + m * h);
            for (unsigned long l = 0; l < used; l += 4)
            {
                __m256d re[4], im[4];
#pragma GCC unroll 4
                for (int m = 0; m < 4; ++m)
                {
                    re[m] = ld(p[m] + l);
                    im[m] = ld(p[m] + lanes + l);
                }
                bfly_as<Fma>(re[0], im[0], re[1], im[1], w1r, w1i, u1);
                bfly_as<Fma>(re[2], im[2], re[3], im[3], w1r, w1i, u1);
                bfly_as<Fma>(re[0], im[0], re[2], im[2], w2r, w2i, u2);
                bfly_as<Fma>(re[1], im[1], re[3], im[3], w3r, w3i, u3);
#pragma GCC unroll 4
                for (int m = 0; m < 4; ++m)
                {
                    st(p[m] + l, re[m]);
                    st(p[m] + lanes + l, im[m]);
                }
            }
        }
}

// All stages of an n-point transform on the chunk: a lone radix-2 stage
// first when log2(n) is odd, then two stages per pass.
template <bool Fma>
void batch_stages_avx(double* a, unsigned long n, unsigned long lanes, unsigned long used, const double* wr,
                      const double* wi)
{
    unsigned long h = 1;
    unsigned bits = 0;
    while ((1UL << bits) < n)
        ++bits;
    if (bits % 2)
    {
        batch_stage2_avx<Fma>(a, n, lanes, used, 1, wr, wi);
        h = 2;
    }
    for (; h < n; h *= 4)
        batch_stage4_avx<Fma>(a, n, lanes, used, h, wr, wi);
}

void batch_chunk_avx(double* a, unsigned long n, unsigned long lanes, bool fma, const unsigned long* rev,
                     const double* wr, const double* wi, const float* src, size_t sstride, unsigned long prehalf,
                     float* dst, size_t dstride, unsigned long posthalf, bool do_scale, double scalefactor,
                     unsigned long cnt)
{
    const unsigned long used = (cnt + 3) & ~3UL;
    batch_gather_avx(a, n, lanes, rev, prehalf, src, sstride, cnt);
    if (fma)
        batch_stages_avx<true>(a, n, lanes, used, wr, wi);
    else
        batch_stages_avx<false>(a, n, lanes, used, wr, wi);
    batch_scatter_avx(a, n, lanes, posthalf, do_scale, scalefactor, dst, dstride, cnt);
}

#undef QOM_FFT_INLINE
#pragma GCC pop_options

bool g_vector_available = cpu_has_avx2_fma();
bool g_vector_in_use = g_vector_available;

#else

const bool g_vector_available = false;
bool g_vector_in_use = false;

#endif

// Smallest length that the vector code handles; shorter transforms use the
// unrolled portable code.
const unsigned long kVectorMinPoints = 64;


// The batched transform in portable code, with the chunk layout of the
// vector code (any number of lanes) and the butterflies of `butterfly`.
void batch_chunk_portable(double* a, unsigned long n, unsigned long lanes, const unsigned long* rev,
                          const double* wr, const double* wi, const float* src, size_t sstride,
                          unsigned long prehalf, float* dst, size_t dstride, unsigned long posthalf, bool do_scale,
                          double scalefactor, unsigned long cnt)
{
    for (unsigned long p = 0; p < n; ++p)
    {
        const float* row = src + 2 * (rev[p] ^ prehalf) * sstride;
        double* re = a + 2 * lanes * p;
        double* im = re + lanes;
        for (unsigned long l = 0; l < cnt; ++l)
        {
            re[l] = row[2 * l];
            im[l] = row[2 * l + 1];
        }
    }
    for (unsigned long h = 1; h < n; h <<= 1)
        for (unsigned long s = 0; s < n; s += 2 * h)
            for (unsigned long j = 0; j < h; ++j)
            {
                const double fr = wr[h - 1 + j], fi = wi[h - 1 + j];
                double* xr = a + 2 * lanes * (s + j);
                double* xi = xr + lanes;
                double* yr = a + 2 * lanes * (s + j + h);
                double* yi = yr + lanes;
                for (unsigned long l = 0; l < cnt; ++l)
                {
                    const double tr = fr * yr[l] - fi * yi[l];
                    const double ti = fr * yi[l] + fi * yr[l];
                    yr[l] = xr[l] - tr;
                    yi[l] = xi[l] - ti;
                    xr[l] += tr;
                    xi[l] += ti;
                }
            }
    for (unsigned long p = 0; p < n; ++p)
    {
        float* row = dst + 2 * (p ^ posthalf) * dstride;
        const double* re = a + 2 * lanes * p;
        const double* im = re + lanes;
        for (unsigned long l = 0; l < cnt; ++l)
        {
            row[2 * l] = static_cast<float>(do_scale ? re[l] * scalefactor : re[l]);
            row[2 * l + 1] = static_cast<float>(do_scale ? im[l] * scalefactor : im[l]);
        }
    }
}

// Longest vectors that the batched transform runs across the batch; longer
// ones are transformed one after another, each already vectorised within.
const unsigned long kBatchMaxPoints = 1024;
// Points per chunk (16 bytes each), so that a chunk stays in the cache
// closest to the core; between 4 and 64 vectors per chunk.
const unsigned long kBatchChunkPoints = 2048;

unsigned long batch_lanes(unsigned long n)
{
    const unsigned long lanes = kBatchChunkPoints / n;
    return lanes < 4 ? 4 : (lanes > 64 ? 64 : lanes);
}

}  // namespace

qomMrSpecFFT::qomMrSpecFFT()
    : _isign(0.0), _n(0)
{
    std::memset(_bitrev, 0, sizeof(_bitrev));
    std::memset(_wr, 0, sizeof(_wr));
    std::memset(_wi, 0, sizeof(_wi));
    std::memset(_arr, 0, sizeof(_arr));
}

bool qomMrSpecFFT::use_vector_code(bool wanted)
{
    g_vector_in_use = wanted && g_vector_available;
    return g_vector_in_use;
}

bool qomMrSpecFFT::vector_code_in_use()
{
    return g_vector_in_use;
}

bool qomMrSpecFFT::is_allowed(unsigned long n) const
{
    return n >= 2 && n <= kMaxPoints && (n & (n - 1)) == 0;
}

unsigned long qomMrSpecFFT::ceil_pow_of_two(unsigned long n) const
{
    // Start from n - 1 so that a power of two maps to itself.
    unsigned long v = n - 1;
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    v |= v >> 16;
    if (sizeof(v) > 4)
        v |= v >> (sizeof(v) * 4);
    return v + 1;
}

bool qomMrSpecFFT::fft(unsigned long n, double isign, float* src, unsigned long sstep,
                       unsigned long prescroll, float* dst, unsigned long dstep,
                       unsigned long postscroll, unsigned char do_scale, double scalefactor)
{
    // The cached length is always an allowed one (or 0 before the first
    // transform), so checking n alone also refuses a zero-length request.
    if (!is_allowed(n))
        return false;

    tables_for(n, isign);

    // Without scaling and rotation the output can be narrowed while the last
    // butterflies store it, saving a pass over the work array.
    float* direct = (dst && dstep == 1 && !do_scale && !postscroll) ? dst : nullptr;
    const bool written = transform(n, src, sstep, prescroll != 0, 0, direct);

    if (do_scale)
        scale(n, scalefactor);
    if (postscroll)
        scroll_by_nhalf(n);
    if (dst && !written)
        write_to(n, dst, dstep);
    return true;
}

void qomMrSpecFFT::tables_for(unsigned long n, double isign)
{
    if (n != _n)
        bitrev_table(n);
    if (n != _n || isign != _isign)
        trigo_table(n, isign);
    _n = n;
    _isign = isign;
}

bool qomMrSpecFFT::fft_batch(unsigned long n, double isign, const float* src, unsigned long sstride,
                             unsigned long prescroll, float* dst, unsigned long dstride,
                             unsigned long postscroll, unsigned char do_scale, double scalefactor,
                             unsigned long count)
{
    if (!is_allowed(n))
        return false;
    if (n > kBatchMaxPoints)
    {
        // fft only reads its source.
        for (unsigned long b = 0; b < count; ++b)
            fft(n, isign, const_cast<float*>(src) + 2 * b, sstride, prescroll, dst + 2 * b, dstride, postscroll,
                do_scale, scalefactor);
        return true;
    }
    tables_for(n, isign);
    const unsigned long lanes = batch_lanes(n);
    const unsigned long prehalf = prescroll ? n / 2 : 0, posthalf = postscroll ? n / 2 : 0;
    for (unsigned long b = 0; b < count; b += lanes)
    {
        const unsigned long cnt = count - b < lanes ? count - b : lanes;
#ifdef QOM_FFT_X86_VECTOR
        if (g_vector_in_use)
        {
            batch_chunk_avx(_arr, n, lanes, n >= kVectorMinPoints, _bitrev, _wr, _wi, src + 2 * b, sstride,
                            prehalf, dst + 2 * b, dstride, posthalf, do_scale != 0, scalefactor, cnt);
            continue;
        }
#endif
        batch_chunk_portable(_arr, n, lanes, _bitrev, _wr, _wi, src + 2 * b, sstride, prehalf, dst + 2 * b,
                             dstride, posthalf, do_scale != 0, scalefactor, cnt);
    }
    return true;
}

bool qomMrSpecFFT::transform(unsigned long n, const float* src, unsigned long sstep, bool prescroll,
                             unsigned rev_shift, float* direct)
{
#ifdef QOM_FFT_X86_VECTOR
    if (g_vector_in_use && n >= kVectorMinPoints)
    {
        if (src)
            vector_transform_from(_arr, _wr, _wi, _bitrev, rev_shift, n, src, sstep, prescroll, direct);
        else
        {
            if (prescroll)
                scroll_by_nhalf(n);
            bitrev(n, rev_shift);
            vector_transform_inplace(_arr, _wr, _wi, n, direct);
        }
        return direct != nullptr;
    }
#else
    (void)direct;
#endif
    if (src)
        read_from(n, src, sstep);
    if (prescroll)
        scroll_by_nhalf(n);
    bitrev(n, rev_shift);
    butterflies(n);
    return false;
}

void qomMrSpecFFT::read_from(unsigned long n, const float* src, unsigned long sstep)
{
    for (unsigned long i = 0; i < n; ++i)
    {
        _arr[2 * i] = src[2 * i * sstep];
        _arr[2 * i + 1] = src[2 * i * sstep + 1];
    }
}

void qomMrSpecFFT::scroll_by_nhalf(unsigned long n)
{
    // The two halves of the complex vector (n doubles each) change places.
    for (unsigned long k = 0; k < n; ++k)
    {
        const double t = _arr[k];
        _arr[k] = _arr[k + n];
        _arr[k + n] = t;
    }
}

void qomMrSpecFFT::bitrev_table(unsigned long n)
{
    unsigned long bits = 0;
    while ((1UL << bits) < n)
        ++bits;
    _bitrev[0] = 0;
    for (unsigned long i = 1; i < n; ++i)
        _bitrev[i] = (_bitrev[i >> 1] >> 1) | ((i & 1UL) << (bits - 1));
}

void qomMrSpecFFT::trigo_table(unsigned long n, double isign)
{
    // Stage mmax (counted in doubles) combines blocks of mmax/2 complex points
    // into blocks of mmax points; its mmax/2 factors follow those of the
    // stages before it, starting at index mmax/2 - 1, and come from the
    // recurrence w' = w * (1 + wpr + i wpi) with wpr = -2 sin^2(theta/2),
    // which keeps the rounding error small without a sine per factor.
    //
    // Each stage's recurrence is a chain of dependent operations; the last
    // stage (half of all factors) is advanced side by side with the stages
    // before it, one factor of each per step, which halves the time the
    // chains take without changing a single operation.
    struct Chain
    {
        unsigned long mmax = 0, k = 0;  // stage and index of the next factor
        double cr = 1.0, ci = 0.0, wpr = 0.0, wpi = 0.0;
        void start(unsigned long m, double isign)
        {
            mmax = m;
            k = 0;
            const double theta = isign * kTwoPi / static_cast<double>(m);
            const double wtemp = std::sin(0.5 * theta);
            wpr = -2.0 * wtemp * wtemp;
            wpi = std::sin(theta);
            cr = 1.0;
            ci = 0.0;
        }
        void step(double* wr, double* wi)
        {
            wr[mmax / 2 - 1 + k] = cr;
            wi[mmax / 2 - 1 + k] = ci;
            ++k;
            const double t = cr;
            cr = cr * wpr - ci * wpi + cr;
            ci = ci * wpr + t * wpi + ci;
        }
    };
    Chain last, rest;
    last.start(n, isign);
    if (n > 2)
        rest.start(2, isign);
    for (unsigned long step = 0; step < n / 2; ++step)
    {
        last.step(_wr, _wi);
        if (rest.mmax != 0)
        {
            rest.step(_wr, _wi);
            if (rest.k == rest.mmax / 2)
            {
                if (2 * rest.mmax < n)
                    rest.start(2 * rest.mmax, isign);
                else
                    rest.mmax = 0;
            }
        }
    }
}

void qomMrSpecFFT::bitrev(unsigned long n, unsigned rev_shift)
{
    // Point i = (a, m, c), with a and c the top and bottom kTileBits bits,
    // moves to (rev c, rev m, rev a): the points with middle part m form a
    // tile of short contiguous rows whose partners form the tile of rev m.
    // Swapping tile against tile keeps the accesses local, where visiting
    // the points in order would jump across the whole array at every step.
    const unsigned tile_bits = 3;
    unsigned bits = 0;
    while ((1UL << bits) < n)
        ++bits;
    if (bits < 2 * tile_bits + 1)
    {
        for (unsigned long i = 0; i < n; ++i)
        {
            const unsigned long j = _bitrev[i] >> rev_shift;
            if (j > i)
                swap_points(i, j);
        }
        return;
    }
    const unsigned long side = 1UL << tile_bits;
    const unsigned mid_bits = bits - 2 * tile_bits;
    const unsigned long high = 1UL << (bits - tile_bits);
    // Reversing a middle part: the middle bits of the reversal of m * side.
    const unsigned mid_shift = rev_shift + tile_bits;
    for (unsigned long m = 0; m < (1UL << mid_bits); ++m)
    {
        const unsigned long mr = (_bitrev[m * side] >> mid_shift) & ((1UL << mid_bits) - 1);
        if (mr < m)
            continue;
        for (unsigned long a = 0; a < side; ++a)
            for (unsigned long c = 0; c < side; ++c)
            {
                const unsigned long i = a * high + m * side + c;
                const unsigned long j = _bitrev[i] >> rev_shift;
                if (mr != m || j > i)
                    swap_points(i, j);
            }
    }
}

void qomMrSpecFFT::swap_points(unsigned long i, unsigned long j)
{
    const double re = _arr[2 * i];
    const double im = _arr[2 * i + 1];
    _arr[2 * i] = _arr[2 * j];
    _arr[2 * i + 1] = _arr[2 * j + 1];
    _arr[2 * j] = re;
    _arr[2 * j + 1] = im;
}

void qomMrSpecFFT::butterflies(unsigned long n)
{
    switch (n)
    {
    case 2: unrolled_fft_2(); break;
    case 4: unrolled_fft_4(); break;
    case 8: unrolled_fft_8(); break;
    case 16: unrolled_fft_16(); break;
    case 32: unrolled_fft_32(); break;
    default: general_fft(n); break;
    }
}

void qomMrSpecFFT::general_fft(unsigned long n)
{
    // Stage by stage, block by block, so that the work array and the factors
    // are read in order (running each factor over all blocks instead jumps by
    // power-of-two strides and thrashes the caches). The stages whose blocks
    // fit a cache-sized piece of the array run piece by piece.
    const unsigned long piece = n < kPortablePiecePoints ? n : kPortablePiecePoints;
    for (unsigned long p = 0; p < n; p += piece)
        radix2_stages(_arr + 2 * p, piece, 1, piece, _wr, _wi);
    radix2_stages(_arr, n, piece, n, _wr, _wi);
}

void qomMrSpecFFT::unrolled_fft_2() { FixedStages<2, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_4() { FixedStages<4, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_8() { FixedStages<8, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_16() { FixedStages<16, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_32() { FixedStages<32, 1>::run(_arr, _wr, _wi); }

void qomMrSpecFFT::scale(unsigned long n, double scalefactor)
{
    scale_parts(n, scalefactor, scalefactor);
}

void qomMrSpecFFT::scale_parts(unsigned long n, double re_factor, double im_factor)
{
#ifdef QOM_FFT_X86_VECTOR
    if (g_vector_in_use)
    {
        vector_scale(_arr, n, re_factor, im_factor);
        return;
    }
#endif
    for (unsigned long i = 0; i < n; ++i)
    {
        _arr[2 * i] *= re_factor;
        _arr[2 * i + 1] *= im_factor;
    }
}

void qomMrSpecFFT::write_to(unsigned long n, float* dst, unsigned long dstep) const
{
#ifdef QOM_FFT_X86_VECTOR
    if (g_vector_in_use && dstep == 1)
    {
        vector_narrow(_arr, n, dst);
        return;
    }
#endif
    for (unsigned long i = 0; i < n; ++i)
    {
        dst[2 * i * dstep] = static_cast<float>(_arr[2 * i]);
        dst[2 * i * dstep + 1] = static_cast<float>(_arr[2 * i + 1]);
    }
}

bool qomMrSpecFFT::rm_os(unsigned long n_in, unsigned long n_out, float* src)
{
    if (!is_allowed(n_in) || !is_allowed(n_out) || n_in <= n_out)
        return false;
    fft(n_in, +1.0, src, 1, 0, nullptr, 0, 0, 0, 0.0);
    // Keep the lowest n_out/2 positive frequencies (points 0 ... n_out/2 - 1,
    // already in place) and the lowest n_out/2 negative ones, which move from
    // the end of the long spectrum to the end of the short one.
    const unsigned long half = n_out / 2;
    std::memmove(_arr + 2 * half, _arr + 2 * (n_in - half), 2 * half * sizeof(double));

    // Back with sign -1 and scale 1/n_out, through the tables of the forward
    // transform, so that a run of readouts builds no table: the tables of a
    // shorter length are the start of those of a longer one (its bit
    // reversal that of the longer one shifted right), and the factors of
    // sign -1 are the conjugates of those of sign +1, so that
    // F-(x) = conj(F+(conj(x))) gives the same numbers.
    unsigned shift = 0;
    while ((n_out << shift) < n_in)
        ++shift;
    scale_parts(n_out, 1.0, -1.0);
    transform(n_out, nullptr, 0, false, shift, nullptr);
    const double s = 1.0 / static_cast<double>(n_out);
    scale_parts(n_out, s, -s);
    return true;
}

bool qomMrSpecFFT::export_add(unsigned long n, float* dst, unsigned long first_point) const
{
    if (n == 0 || !dst || first_point >= kMaxPoints || n > kMaxPoints - first_point)
        return false;
    const double* a = _arr + 2 * first_point;
#ifdef QOM_FFT_X86_VECTOR
    if (g_vector_in_use)
    {
        vector_add_narrowed(a, 2 * n, dst);
        return true;
    }
#endif
    for (unsigned long i = 0; i < 2 * n; ++i)
        dst[i] += static_cast<float>(a[i]);
    return true;
}
