// qomMrSpecFFT: the spectroscopy module's one-dimensional complex FFT.
//
// Power-of-two lengths from 2 to 65536 complex points. Input and output are
// complex single-precision samples (two floats, real part first) at any
// stride; the arithmetic runs in double precision in the fixed work array
// `_arr`, where the result stays for the caller to pick up. The bit-reversal
// permutation and the twiddle factors are cached for the last (length, sign)
// pair, because the callers transform long runs of vectors of one length.
//
//   X[k] = sum_m x[m] * exp(i * isign * 2*pi * m * k / n)     (no normalisation)
//
// The object is about 2.6 MB and holds all its storage itself: no transform
// allocates. Allocate it on the heap (or as a member of a heap object), not
// on the stack. One object must not be used by two threads at once.
#ifndef QOM_MR_SPEC_FFT_H
#define QOM_MR_SPEC_FFT_H

class qomMrSpecFFT
{
public:
    qomMrSpecFFT();

    // Transforms n complex points.
    //   isign       sign of the exponent, +1.0 or -1.0
    //   src         first input sample, or null to transform `_arr` as it stands
    //   sstep       distance between input points, in complex samples
    //   prescroll   nonzero: rotate the input by n/2 before transforming
    //   dst         first output sample, or null to leave the result in `_arr` only
    //   dstep       distance between output points, in complex samples
    //   postscroll  nonzero: rotate the output by n/2
    //   do_scale    nonzero: multiply the result by scalefactor
    // src == dst is allowed (the data pass through `_arr`). Returns false and
    // touches nothing (work array, tables, dst) when n is not a power of two in
    // 2 ... 65536; true otherwise.
    bool fft(unsigned long n, double isign, float* src, unsigned long sstep,
             unsigned long prescroll, float* dst, unsigned long dstep,
             unsigned long postscroll, unsigned char do_scale, double scalefactor);

    // Transforms count vectors of n points in one call, each exactly as fft
    // with the same arguments would (same tables, butterflies and rounding:
    // the same floats), with the butterflies running across the vectors.
    // Vector b (0 <= b < count) has its point i at complex sample
    // i * sstride + b of src and its result goes to sample i * dstride + b of
    // dst: the vectors are neighbours in memory and their points lie a fixed
    // stride apart, as the spectral points of one grid line of a CSI block.
    // prescroll, postscroll, do_scale and scalefactor as for fft. In place
    // when src == dst and sstride == dstride >= count; other overlaps of
    // input and output are not allowed. The work array serves as scratch, so
    // its content afterwards is unspecified; the tables stay those of
    // (n, isign). Returns false and touches nothing when n is not allowed;
    // count 0 transforms nothing.
    bool fft_batch(unsigned long n, double isign, const float* src, unsigned long sstride,
                   unsigned long prescroll, float* dst, unsigned long dstride,
                   unsigned long postscroll, unsigned char do_scale, double scalefactor,
                   unsigned long count);

    // True when n is a power of two and 2 <= n <= 65536.
    bool is_allowed(unsigned long n) const;

    // Smallest power of two not below n; 0 when there is none (n == 0 or
    // n above 2^63).
    unsigned long ceil_pow_of_two(unsigned long n) const;

    // Removes readout oversampling by spectral cropping: transforms the n_in
    // consecutive complex samples at src (sign +1), keeps the n_out/2 lowest
    // positive and the n_out/2 lowest negative frequencies and transforms them
    // back (sign -1, scaled by 1/n_out). The n_out resulting points stay in
    // `_arr` (amplitude n_in/n_out times the input's) for export_add.
    // src null crops the first n_in points of `_arr` as they stand.
    // The inverse runs on the tables of the forward transform, so the cached
    // tables stay those of (n_in, +1) and a run of readouts builds no table.
    // Returns false, leaving `_arr` unchanged, unless n_in and n_out are
    // allowed lengths with n_in > n_out.
    bool rm_os(unsigned long n_in, unsigned long n_out, float* src);

    // Adds the n points first_point ... first_point + n - 1 of `_arr`, each
    // converted to float, to the n consecutive complex samples at dst
    // (dst[2i] += re, dst[2i+1] += im). Returns false, touching nothing, when
    // n is 0, dst is null or the last point read would lie beyond point 65535.
    bool export_add(unsigned long n, float* dst, unsigned long first_point = 0) const;

    // The work array: 65536 complex points, real part first, holding the
    // result of the last transform or oversampling removal.
    const double* work() const { return _arr; }
    // Length and sign of the cached tables (0 and 0.0 before the first transform).
    unsigned long cached_length() const { return _n; }
    double cached_sign() const { return _isign; }

    // The vectorised butterflies run when the processor has AVX2 and FMA
    // (checked once at run time); the portable radix-2 code otherwise.
    // Tests switch the vector code off to exercise the portable path; the
    // switch is process-wide. Returns whether the vector code is in use.
    static bool use_vector_code(bool wanted);
    static bool vector_code_in_use();

private:
    qomMrSpecFFT(const qomMrSpecFFT&) = delete;
    qomMrSpecFFT& operator=(const qomMrSpecFFT&) = delete;

    // Steps of a transform, in the order fft runs them. transform() runs
    // read_from ... butterflies for n points with the cached tables, which may
    // belong to a longer length (bit reversal shifted right by rev_shift).
    // When direct is not null it may also narrow the result to the
    // consecutive complex floats there, and then returns true.
    bool transform(unsigned long n, const float* src, unsigned long sstep, bool prescroll,
                   unsigned rev_shift, float* direct);
    void read_from(unsigned long n, const float* src, unsigned long sstep);
    void scroll_by_nhalf(unsigned long n);
    void bitrev_table(unsigned long n);
    void trigo_table(unsigned long n, double isign);
    void bitrev(unsigned long n, unsigned rev_shift);
    void swap_points(unsigned long i, unsigned long j);
    void butterflies(unsigned long n);
    void general_fft(unsigned long n);
    void unrolled_fft_2();
    void unrolled_fft_4();
    void unrolled_fft_8();
    void unrolled_fft_16();
    void unrolled_fft_32();
    void scale(unsigned long n, double scalefactor);
    void scale_parts(unsigned long n, double re_factor, double im_factor);
    void write_to(unsigned long n, float* dst, unsigned long dstep) const;
    void tables_for(unsigned long n, double isign);

    double _isign;                  // sign of the cached twiddle table
    unsigned long _n;               // length of the cached tables
    unsigned long _bitrev[65536];   // bit-reversal permutation for _n
    double _wr[65552];              // twiddle factors, real parts, stage after stage
    double _wi[65552];              // imaginary parts, same layout
    alignas(64) double _arr[131072];  // work array, complex points, real part first
};

#endif
