// The spectroscopy module's complex FFT: decimation in time, radix 2, on a
// bit-reversed copy of the input in the double-precision work array.
//
// Two implementations of the butterflies produce the same transform:
//  - the portable code: the radix-2 passes one stage after the other (fully
//    unrolled for 2 ... 32 points), which is also the reference for the other;
//  - the vector code for x86-64 processors with AVX2 and FMA, chosen at run
//    time. It keeps the work array blocked as four real parts followed by the
//    four imaginary parts while it computes, fuses the reading, the half
//    rotation and the bit reversal with the first three stages, runs the
//    remaining stages two at a time with the same cached twiddle factors
//    (within cache-sized blocks first) and leaves the result interleaved
//    again. Both round differently (fused multiply-add, other order of
//    operations) but agree to double-precision rounding.
#include "qomMrSpecFFT.h"

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
    for (int k = 0; k < 8; k += 2)
    {
        const __m256d ar = re[k], ai = im[k];
        re[k] = _mm256_add_pd(ar, re[k + 1]);
        im[k] = _mm256_add_pd(ai, im[k + 1]);
        re[k + 1] = _mm256_sub_pd(ar, re[k + 1]);
        im[k + 1] = _mm256_sub_pd(ai, im[k + 1]);
    }
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
                       unsigned long n, const float* src, unsigned long sstep, bool prescroll)
{
    static const unsigned long rev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const FirstStageFactors f(wr, wi);
    const unsigned long groups = n / 8;
    const unsigned long half = prescroll ? n / 2 : 0;
    const unsigned long fstep = 2 * sstep;
    for (unsigned long c = 0; c < groups; c += 4)
    {
        __m256d re[8], im[8];
        for (int m = 0; m < 8; ++m)
        {
            const unsigned long q = (rev3[m] * groups + c) ^ half;
            load4(src + q * fstep, fstep, re[m], im[m]);
        }
        radix8(re, im, f);
        // rev[] reverses log2(n) bits; for c < n/8 that is rev(c) * 8.
        const unsigned long g[4] = {rev[c] >> 3, rev[c + 2] >> 3, rev[c + 1] >> 3, rev[c + 3] >> 3};
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

// Stores a blocked vector of four points back as interleaved points.
QOM_FFT_INLINE void store_interleaved(double* p, __m256d re, __m256d im)
{
    const __m256d u0 = _mm256_unpacklo_pd(re, im);  // r0 i0 r2 i2
    const __m256d u1 = _mm256_unpackhi_pd(re, im);  // r1 i1 r3 i3
    st(p, _mm256_permute2f128_pd(u0, u1, 0x20));
    st(p + 4, _mm256_permute2f128_pd(u0, u1, 0x31));
}

template <bool Interleave>
QOM_FFT_INLINE void store_point4(double* p, __m256d re, __m256d im)
{
    if (Interleave)
        store_interleaved(p, re, im);
    else
    {
        st(p, re);
        st(p + 4, im);
    }
}

// One radix-2 stage with half-size h (h >= 4) on len points at a.
template <bool Interleave>
void pass2(double* a, unsigned long len, unsigned long h, const double* wr, const double* wi)
{
    const double* tr = wr + h - 1;
    const double* ti = wi + h - 1;
    for (unsigned long s = 0; s < len; s += 2 * h)
    {
        double* x0 = a + 2 * s;
        double* x1 = x0 + 2 * h;
        for (unsigned long j = 0; j < h; j += 4)
        {
            __m256d br, bi;
            cmul(ld(tr + j), ld(ti + j), ld(x1 + 2 * j), ld(x1 + 2 * j + 4), br, bi);
            const __m256d ar = ld(x0 + 2 * j), ai = ld(x0 + 2 * j + 4);
            store_point4<Interleave>(x0 + 2 * j, _mm256_add_pd(ar, br), _mm256_add_pd(ai, bi));
            store_point4<Interleave>(x1 + 2 * j, _mm256_sub_pd(ar, br), _mm256_sub_pd(ai, bi));
        }
    }
}

// Two radix-2 stages (half-sizes h and 2h, h >= 4) in one pass: the same
// butterflies with the same factors, without storing in between.
template <bool Interleave>
void pass4(double* a, unsigned long len, unsigned long h, const double* wr, const double* wi)
{
    const double* t1r = wr + h - 1;
    const double* t1i = wi + h - 1;
    const double* t2r = wr + 2 * h - 1;
    const double* t2i = wi + 2 * h - 1;
    for (unsigned long s = 0; s < len; s += 4 * h)
    {
        double* x0 = a + 2 * s;
        double* x1 = x0 + 2 * h;
        double* x2 = x1 + 2 * h;
        double* x3 = x2 + 2 * h;
        for (unsigned long j = 0; j < h; j += 4)
        {
            const unsigned long o = 2 * j;
            const __m256d w1r = ld(t1r + j), w1i = ld(t1i + j);
            __m256d tr, ti;
            // stage h: (x0, x1) and (x2, x3)
            const __m256d x0r = ld(x0 + o), x0i = ld(x0 + o + 4);
            cmul(w1r, w1i, ld(x1 + o), ld(x1 + o + 4), tr, ti);
            const __m256d y0r = _mm256_add_pd(x0r, tr), y0i = _mm256_add_pd(x0i, ti);
            const __m256d y1r = _mm256_sub_pd(x0r, tr), y1i = _mm256_sub_pd(x0i, ti);
            const __m256d x2r = ld(x2 + o), x2i = ld(x2 + o + 4);
            cmul(w1r, w1i, ld(x3 + o), ld(x3 + o + 4), tr, ti);
            const __m256d y2r = _mm256_add_pd(x2r, tr), y2i = _mm256_add_pd(x2i, ti);
            const __m256d y3r = _mm256_sub_pd(x2r, tr), y3i = _mm256_sub_pd(x2i, ti);
            // stage 2h: (y0, y2) with factor j, (y1, y3) with factor j + h
            cmul(ld(t2r + j), ld(t2i + j), y2r, y2i, tr, ti);
            store_point4<Interleave>(x0 + o, _mm256_add_pd(y0r, tr), _mm256_add_pd(y0i, ti));
            store_point4<Interleave>(x2 + o, _mm256_sub_pd(y0r, tr), _mm256_sub_pd(y0i, ti));
            cmul(ld(t2r + j + h), ld(t2i + j + h), y3r, y3i, tr, ti);
            store_point4<Interleave>(x1 + o, _mm256_add_pd(y1r, tr), _mm256_add_pd(y1i, ti));
            store_point4<Interleave>(x3 + o, _mm256_sub_pd(y1r, tr), _mm256_sub_pd(y1i, ti));
        }
    }
}

// Points per block for the stages that run block by block while the block
// is in the first-level cache (16 bytes per point).
const unsigned long kCacheBlockPoints = 2048;

// Stages 4 ... log2(n) on the blocked work array; the last pass restores the
// interleaved layout. n >= 64.
void remaining_stages(double* a, const double* wr, const double* wi, unsigned long n)
{
    struct Pass
    {
        unsigned long h;
        unsigned long radix;
    };
    Pass plan[16];
    int passes = 0;
    unsigned long stages = 0;
    for (unsigned long m = n; m > 8; m >>= 1)
        ++stages;
    unsigned long h = 8;
    if (stages & 1)
    {
        plan[passes++] = Pass{h, 2};
        h *= 2;
    }
    for (; h < n; h *= 4)
        plan[passes++] = Pass{h, 4};

    const unsigned long block = n < kCacheBlockPoints ? n : kCacheBlockPoints;
    int local = 0;
    while (local < passes - 1 && plan[local].h * plan[local].radix <= block)
        ++local;
    for (unsigned long b = 0; b < n; b += block)
        for (int p = 0; p < local; ++p)
        {
            if (plan[p].radix == 2)
                pass2<false>(a + 2 * b, block, plan[p].h, wr, wi);
            else
                pass4<false>(a + 2 * b, block, plan[p].h, wr, wi);
        }
    for (int p = local; p < passes; ++p)
    {
        const bool last = p == passes - 1;
        if (plan[p].radix == 2)
            last ? pass2<true>(a, n, plan[p].h, wr, wi) : pass2<false>(a, n, plan[p].h, wr, wi);
        else
            last ? pass4<true>(a, n, plan[p].h, wr, wi) : pass4<false>(a, n, plan[p].h, wr, wi);
    }
}

void vector_transform_from(double* a, const double* wr, const double* wi, const unsigned long* rev,
                           unsigned long n, const float* src, unsigned long sstep, bool prescroll)
{
    first_pass_gather(a, wr, wi, rev, n, src, sstep, prescroll);
    remaining_stages(a, wr, wi, n);
}

void vector_transform_inplace(double* a, const double* wr, const double* wi, unsigned long n)
{
    first_pass_inplace(a, wr, wi, n);
    remaining_stages(a, wr, wi, n);
}

// 2n doubles times f; n >= 2, so a multiple of 4.
void vector_scale(double* a, unsigned long n, double f)
{
    const __m256d v = _mm256_set1_pd(f);
    for (unsigned long i = 0; i < 2 * n; i += 4)
        st(a + i, _mm256_mul_pd(ld(a + i), v));
}

// 2n doubles narrowed to consecutive floats.
void vector_narrow(const double* a, unsigned long n, float* dst)
{
    for (unsigned long i = 0; i < 2 * n; i += 4)
        _mm_storeu_ps(dst + i, _mm256_cvtpd_ps(ld(a + i)));
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

    if (n != _n)
        bitrev_table(n);
    if (n != _n || isign != _isign)
        trigo_table(n, isign);

#ifdef QOM_FFT_X86_VECTOR
    if (g_vector_in_use && n >= kVectorMinPoints)
    {
        if (src)
            vector_transform_from(_arr, _wr, _wi, _bitrev, n, src, sstep, prescroll != 0);
        else
        {
            if (prescroll)
                scroll_by_nhalf(n);
            bitrev(n);
            vector_transform_inplace(_arr, _wr, _wi, n);
        }
    }
    else
#endif
    {
        if (src)
            read_from(n, src, sstep);
        if (prescroll)
            scroll_by_nhalf(n);
        bitrev(n);
        butterflies(n);
    }

    if (do_scale)
        scale(n, scalefactor);
    if (postscroll)
        scroll_by_nhalf(n);
    if (dst)
        write_to(n, dst, dstep);

    _n = n;
    _isign = isign;
    return true;
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
    // stages before it, starting at index mmax/2 - 1. The recurrence
    // w' = w * (1 + wpr + i wpi) with wpr = -2 sin^2(theta/2) keeps the
    // rounding error small without evaluating a sine per factor.
    double* wr = _wr;
    double* wi = _wi;
    for (unsigned long mmax = 2; mmax <= n; mmax <<= 1)
    {
        const double theta = isign * kTwoPi / static_cast<double>(mmax);
        const double wtemp = std::sin(0.5 * theta);
        const double wpr = -2.0 * wtemp * wtemp;
        const double wpi = std::sin(theta);
        double cr = 1.0;
        double ci = 0.0;
        for (unsigned long k = 0; k < mmax / 2; ++k)
        {
            *wr++ = cr;
            *wi++ = ci;
            const double t = cr;
            cr = cr * wpr - ci * wpi + cr;
            ci = ci * wpr + t * wpi + ci;
        }
    }
}

void qomMrSpecFFT::bitrev(unsigned long n)
{
    for (unsigned long i = 0; i < n; ++i)
    {
        const unsigned long j = _bitrev[i];
        if (j > i)
        {
            const double re = _arr[2 * i];
            const double im = _arr[2 * i + 1];
            _arr[2 * i] = _arr[2 * j];
            _arr[2 * i + 1] = _arr[2 * j + 1];
            _arr[2 * j] = re;
            _arr[2 * j + 1] = im;
        }
    }
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
    for (unsigned long h = 1; h < n; h <<= 1)
    {
        const double* sr = _wr + (h - 1);
        const double* si = _wi + (h - 1);
        for (unsigned long j = 0; j < h; ++j)
        {
            const double wr = sr[j];
            const double wi = si[j];
            for (unsigned long i = j; i < n; i += 2 * h)
                butterfly(_arr, i, i + h, wr, wi);
        }
    }
}

void qomMrSpecFFT::unrolled_fft_2() { FixedStages<2, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_4() { FixedStages<4, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_8() { FixedStages<8, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_16() { FixedStages<16, 1>::run(_arr, _wr, _wi); }
void qomMrSpecFFT::unrolled_fft_32() { FixedStages<32, 1>::run(_arr, _wr, _wi); }

void qomMrSpecFFT::scale(unsigned long n, double scalefactor)
{
#ifdef QOM_FFT_X86_VECTOR
    if (g_vector_in_use)
    {
        vector_scale(_arr, n, scalefactor);
        return;
    }
#endif
    for (unsigned long i = 0; i < 2 * n; ++i)
        _arr[i] *= scalefactor;
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
    fft(n_out, -1.0, nullptr, 0, 0, nullptr, 0, 0, 1, 1.0 / static_cast<double>(n_out));
    return true;
}

bool qomMrSpecFFT::export_add(unsigned long n, float* dst, unsigned long first_point) const
{
    if (n == 0 || !dst || first_point >= kMaxPoints || n > kMaxPoints - first_point)
        return false;
    const double* a = _arr + 2 * first_point;
    for (unsigned long i = 0; i < 2 * n; ++i)
        dst[i] += static_cast<float>(a[i]);
    return true;
}
