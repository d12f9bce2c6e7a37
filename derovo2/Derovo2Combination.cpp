// Scaling of the raw store and combination of the receiver channels.
//
// scale() brings every measured channel (and the internal water reference)
// to a scale that does not depend on the number of averages or voxels.
// add_coil_arrays() writes the weighted, phase-corrected sum of the measured
// channels into the last channel slot and phases each measured channel.
#include <cfloat>
#include <cmath>
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif
#include <vector>

#include "Derovo2.h"
#include "Derovo2Trace.h"

namespace {

// |z| of a stored sample: squares summed in single precision, root in double.
inline double magnitude(const float* z) { return std::sqrt(static_cast<double>(z[0] * z[0] + z[1] * z[1])); }

struct StoreSteps {
    ptrdiff_t ave = 0, lin = 0, phs = 0, seg = 0;
    explicit StoreSteps(const MrPtr<DuvObj>& raw)
        : ave(2 * static_cast<ptrdiff_t>(raw->strideElements(AVE))),
          lin(2 * static_cast<ptrdiff_t>(raw->strideElements(LIN))),
          phs(2 * static_cast<ptrdiff_t>(raw->strideElements(PHS))),
          seg(2 * static_cast<ptrdiff_t>(raw->strideElements(SEG))) {}
};

// Overall factor of the combination from the channel weights.
double combinationLambda(const std::vector<double>& weight, bool normToSum) {
    double sum = 0.0, sumSquares = 0.0;
    for (double w : weight) sum += w, sumSquares += w * w;
    double lambda = 1.0;
    if (sumSquares == 0.0) {
        D2_NOTICE("add_coil_arrays") << "\n never happen error: denominator of overall scaling factor lamda equals "
                                        "zero due to empty spectro data; this data will NOT be normalized.";
    } else {
        lambda = normToSum ? sum / sumSquares : 1.0 / std::sqrt(sumSquares);
    }
    D2_NOTICE("add_coil_arrays") << "\n==>lamda = " << lambda;
    return lambda;
}

void traceWeight(long c, double weight) {
    D2_NOTICE("add_coil_arrays") << "==>weight[" << c << "] for channel " << c << ": " << weight;
}

bool nullAddress(const char* text) {
    D2_ERROR("add_coil_arrays") << text << D2Status{I_FAIL};
    DuvFramework::SetLastError(I_FAIL, nullptr);
    return false;
}

// Spectra variant, one channel's vector x of n complex samples:
// combined += weight x conj(p) x (in double, added in float) and, when
// phasing, x = conj(p) x.
void addWeightedScalar(float* __restrict sum, float* __restrict x, long n, double pr, double pi, double w,
                       bool phase) {
    if (phase) {
        for (long k = 0; k < n; ++k) {
            const double yr = pr * x[2 * k] + pi * x[2 * k + 1];
            const double yi = pr * x[2 * k + 1] - pi * x[2 * k];
            sum[2 * k] += static_cast<float>(w * yr);
            sum[2 * k + 1] += static_cast<float>(w * yi);
            x[2 * k] = static_cast<float>(yr);
            x[2 * k + 1] = static_cast<float>(yi);
        }
    } else {
        for (long k = 0; k < n; ++k) {
            const double yr = pr * x[2 * k] + pi * x[2 * k + 1];
            const double yi = pr * x[2 * k + 1] - pi * x[2 * k];
            sum[2 * k] += static_cast<float>(w * yr);
            sum[2 * k + 1] += static_cast<float>(w * yi);
        }
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
#define DEROVO2_COMBINATION_AVX2 1

// The same operations on two complex samples at a time (four doubles), each
// product and sum rounded as in the scalar loop: no fused multiply-add, so
// that the floats are those of the scalar loop bit for bit.
__attribute__((target("avx2"))) void addWeightedAvx2(float* __restrict sum, float* __restrict x, long n, double pr,
                                                      double pi, double w, bool phase) {
    const __m256d vpr = _mm256_set1_pd(pr), vw = _mm256_set1_pd(w);
    const __m256d vpi = _mm256_setr_pd(pi, -pi, pi, -pi);
    long k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m256d xv = _mm256_cvtps_pd(_mm_loadu_ps(x + 2 * k));  // xr0 xi0 xr1 xi1
        const __m256d xs = _mm256_permute_pd(xv, 0x5);                // xi0 xr0 xi1 xr1
        const __m256d y = _mm256_add_pd(_mm256_mul_pd(vpr, xv), _mm256_mul_pd(vpi, xs));
        const __m128 s = _mm_add_ps(_mm_loadu_ps(sum + 2 * k), _mm256_cvtpd_ps(_mm256_mul_pd(vw, y)));
        _mm_storeu_ps(sum + 2 * k, s);
        if (phase) _mm_storeu_ps(x + 2 * k, _mm256_cvtpd_ps(y));
    }
    addWeightedScalar(sum + 2 * k, x + 2 * k, n - k, pr, pi, w, phase);
}

bool cpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
const bool g_avx2 = cpuHasAvx2();
#endif

void addWeighted(float* sum, float* x, long n, double pr, double pi, double w, bool phase) {
#ifdef DEROVO2_COMBINATION_AVX2
    if (g_avx2) return addWeightedAvx2(sum, x, n, pr, pi, w, phase);
#endif
    addWeightedScalar(sum, x, n, pr, pi, w, phase);
}

const char* const kNullSpectra = "\n==>NULL with get_Ptr : add_coil_array def pcor - hier abgefangen ";
const char* const kNullTraces = "\n==>NULL src : add_coil_array qom array pcor - hier abgefangen ";

}  // namespace

Derovo2ScaleFactors Derovo2::scale_factors(double f_in, bool ave, bool alternate) {
    const Derovo2StoreDims d = storeDims();
    double maxave = 1.0;
    if (ave) {
        // CSI: the count of the most-sampled k-space point. Single voxel: the
        // readouts really added into the sum slot (reference-scan slots and
        // averages never acquired after a stop do not count).
        const float largestCsiCount = max_measured_averages();
        maxave = d.isCsiGrid() ? static_cast<double>(largestCsiCount) : static_cast<double>(m_iSumSlotReadouts);
        if (maxave < 1.0) {
            D2_NOTICE("scale") << "\n==>Derovo2::scale(): Warning!" << largestCsiCount;
            D2_NOTICE("scale") << "\n==>max. measured averages was found to be" << maxave << "and is set to 1";
            maxave = 1.0;
        }
    }
    const double f = ave ? f_in * 256.0 / (static_cast<double>(d.lin) * d.phs * d.seg * maxave) : f_in;
    const double fIm = alternate ? -f : f;
    Derovo2ScaleFactors s;
    s.sumRe = static_cast<float>(f), s.sumIm = static_cast<float>(fIm);
    s.aveRe = static_cast<float>(f * maxave), s.aveIm = static_cast<float>(fIm * maxave);
    s.refRe = static_cast<float>(32.0 * f), s.refIm = static_cast<float>(32.0 * fIm);
    return s;
}

void Derovo2::scale_reference(const Derovo2ScaleFactors& s) {
    const Derovo2StoreDims d = storeDims();
    if (d.rep < 1) return;
    // The water reference has no slice dimension; it follows the data once per slice.
    for (long slc = 0; slc < d.slc; ++slc)
        for (long cha = 0; cha < d.measuredChannels(); ++cha)
            if (float* ref = get_qom_ref_ptr(0, 1, cha))
                for (long k = 0; k < d.col; ++k) ref[2 * k] *= s.refRe, ref[2 * k + 1] *= s.refIm;
}

void Derovo2::scale(double f_in, bool ave, bool alternate) {
    const Derovo2StoreDims d = storeDims();
    if (d.col < 1) return;
    const Derovo2ScaleFactors s = scale_factors(f_in, ave, alternate);

    const StoreSteps step(m_raw);
    for (long rep = 0; rep < d.rep; ++rep)
        for (long slc = 0; slc < d.slc; ++slc)
            for (long cha = 0; cha < d.measuredChannels(); ++cha)
                for (long eco = 0; eco < d.eco; ++eco) {
                    float* block = get_ptr(0, 0, 0, 0, 0, eco, cha, slc, rep);
                    if (!block) continue;
                    for (long i3 = 0; i3 < d.seg; ++i3)
                        for (long i2 = 0; i2 < d.phs; ++i2)
                            for (long i1 = 0; i1 < d.lin; ++i1)
                                for (long a = 0; a < d.ave; ++a) {
                                    const bool sumSlot = a == d.ave - 1;
                                    const float re = sumSlot ? s.sumRe : s.aveRe, im = sumSlot ? s.sumIm : s.aveIm;
                                    float* v = block + a * step.ave + i1 * step.lin + i2 * step.phs + i3 * step.seg;
                                    for (long k = 0; k < d.col; ++k) v[2 * k] *= re, v[2 * k + 1] *= im;
                                }
                }
    scale_reference(s);
}

bool Derovo2::add_coil_arrays(bool sens_prescan, bool phase_prescan, bool phase_uncombined, bool norm_to_sum) {
    const char* fn = "add_coil_arrays";
    if (sens_prescan) {
        D2_NOTICE(fn) << "==>sensitivities from prescan";
    } else {
        D2_NOTICE(fn) << "==>coil sensitivities taken from spectro data";
        if (norm_to_sum) {
            D2_NOTICE(fn) << "==>spectro data based normalization to sum of sensitivities";
        } else {
            D2_NOTICE(fn) << "==>spectro data based normalization to square root of sum of squared sensitivities";
        }
    }
    if (phase_prescan) {
        D2_NOTICE(fn) << "==>phases from prescan";
    } else {
        D2_NOTICE(fn) << "==>phases from data";
    }
    if (phase_uncombined) {
        D2_NOTICE(fn) << "==>phasing of uncombined data ON";
    } else {
        D2_NOTICE(fn) << "==>phasing of uncombined data OFF";
    }

    const Derovo2StoreDims d = storeDims();
    if (d.cha < 2) {
        D2_NOTICE(fn) << "\n==>need at least 1 data element; exiting add_coil_arrays() \n";
        return false;
    }
    const long nMeas = d.cha - 1, comb = d.cha - 1;
    const long n = d.col;
    const bool traceVariant = m_iQOM_ArrayPlot >= 1 && m_iQOM_ArrayPlot <= 5;
    // The readout-trace variant works on spectra; a vector length that the
    // transform refuses leaves the channels as they are and the combined slot
    // empty instead of reusing a stale transform result.
    const bool canTransform = _fft.is_allowed(static_cast<unsigned long>(n));
    const StoreSteps step(m_raw);

    std::vector<double> weight(static_cast<size_t>(nMeas), 0.0);
    // Spectra: one unit factor per channel. Readout traces: one per channel and point.
    std::vector<double> pcor(static_cast<size_t>(traceVariant ? 2 * nMeas * n : 2 * nMeas), 0.0);
    double lambda = 1.0;
    std::vector<float> spectrum(static_cast<size_t>(2 * n)), product(static_cast<size_t>(2 * n));

    if (!traceVariant) {
        // The strongest reference: the internal water reference unless a data
        // candidate (sum slot, centre point, slice 0) is strictly stronger.
        double best = 0.0;
        for (long c = 0; c < nMeas; ++c) {
            const float* ref = get_qom_ref_ptr(0, 1, c);
            if (!ref) return nullAddress(kNullSpectra);
            best += magnitude(ref);
        }
        long bestEco = -1, bestRep = -1;
        if (!(best > DBL_MIN)) best = -DBL_MAX, bestEco = bestRep = -9999;
        for (long r = 0; r < d.rep; ++r)
            for (long e = 0; e < d.eco; ++e) {
                double strength = 0.0;
                for (long c = 0; c < nMeas; ++c) {
                    const float* x = get_ptr(0, d.ave - 1, d.lin / 2, d.phs / 2, d.seg / 2, e, c, 0, r);
                    if (!x) return nullAddress(kNullSpectra);
                    strength += magnitude(x);
                }
                if (strength > best) best = strength, bestEco = e, bestRep = r;
            }

        // Weights and phases are taken once, from the data as they are before
        // any slice is phased, and serve every slice (a reference read after
        // slice 0 was phased in place would be real and make the phases of
        // the later slices neutral).
        const bool fromWaterReference = bestEco == -1 && bestRep == -1;
        if (fromWaterReference) {
            D2_NOTICE(fn) << "\n==>get the phase correction and weights from the internal reference ";
        } else {
            D2_NOTICE(fn) << "\n==>get the phase correction and weights from the spectro data: eco " << bestEco
                          << "; rep " << bestRep;
        }
        for (long c = 0; c < nMeas; ++c) {
            const float* ref = fromWaterReference
                                   ? get_qom_ref_ptr(0, 1, c)
                                   : get_ptr(0, d.ave - 1, d.lin / 2, d.phs / 2, d.seg / 2, bestEco, c, 0, bestRep);
            if (!ref) return nullAddress(kNullSpectra);
            const double w = magnitude(ref);
            weight[c] = w;
            if (w == 0.0) {
                D2_NOTICE(fn) << "\n *** ==> never happen error during phase from data computation: spectro data is "
                                 "zero; phase correction omitted!";
                pcor[2 * c] = 1.0, pcor[2 * c + 1] = 0.0;
            } else {
                pcor[2 * c] = ref[0] / w, pcor[2 * c + 1] = ref[1] / w;
            }
            traceWeight(c, w);
        }
        lambda = combinationLambda(weight, norm_to_sum);
    }

    std::vector<float*> block(static_cast<size_t>(d.cha));
    for (long s = 0; s < d.slc; ++s)
        for (long r = 0; r < d.rep; ++r) {
            if (traceVariant) {
                // Weights and phases from the magnitude spectrum of each channel.
                D2_NOTICE(fn) << "\n==>get the phase correction and weights from frequency domain for readout traces ";
                for (long c = 0; c < nMeas; ++c) {
                    float* x = get_ptr(0, d.ave - 1, 0, 0, 0, 0, c, s, r);
                    if (!x) return nullAddress(kNullTraces);
                    if (canTransform) _fft.fft(n, -1.0, x, 1, 0, spectrum.data(), 1, 1, 0, 0.0);
                    double w = 0.0;
                    double* p = &pcor[static_cast<size_t>(2 * c * n)];
                    for (long k = 0; k < n; ++k) {
                        const double m = magnitude(&spectrum[2 * k]);
                        w += m;
                        if (m == 0.0)
                            p[2 * k] = 1.0, p[2 * k + 1] = 0.0;
                        else
                            p[2 * k] = spectrum[2 * k] / m, p[2 * k + 1] = -spectrum[2 * k + 1] / m;
                    }
                    weight[c] = w;
                    traceWeight(c, w);
                }
                lambda = combinationLambda(weight, norm_to_sum);
            }
            const float lambdaF = static_cast<float>(lambda);

            for (long e = 0; e < d.eco; ++e) {
                for (long c = 0; c < d.cha; ++c) {
                    block[c] = get_ptr(0, 0, 0, 0, 0, e, c, s, r);
                    if (!block[c]) return nullAddress(traceVariant ? kNullTraces : kNullSpectra);
                }
                for (long a = 0; a < d.ave; ++a)
                    for (long i3 = 0; i3 < d.seg; ++i3)
                        for (long i2 = 0; i2 < d.phs; ++i2)
                            for (long i1 = 0; i1 < d.lin; ++i1) {
                                const ptrdiff_t off = a * step.ave + i1 * step.lin + i2 * step.phs + i3 * step.seg;
                                float* sum = block[comb] + off;
                                for (long k = 0; k < 2 * n; ++k) sum[k] = 0.0f;
                                for (long c = 0; c < nMeas; ++c) {
                                    float* x = block[c] + off;
                                    if (!traceVariant) {
                                        addWeighted(sum, x, n, pcor[2 * c], pcor[2 * c + 1], weight[c],
                                                    phase_uncombined);
                                    } else if (canTransform) {
                                        const double* p = &pcor[static_cast<size_t>(2 * c * n)];
                                        const double w = weight[c];
                                        _fft.fft(n, -1.0, x, 1, 0, spectrum.data(), 1, 1, 0, 0.0);
                                        for (long k = 0; k < n; ++k) {
                                            const double sr = spectrum[2 * k], si = spectrum[2 * k + 1];
                                            product[2 * k] = static_cast<float>(w * (p[2 * k] * sr - p[2 * k + 1] * si));
                                            product[2 * k + 1] =
                                                static_cast<float>(w * (p[2 * k] * si + p[2 * k + 1] * sr));
                                        }
                                        _fft.fft(n, 1.0, product.data(), 1, 1, nullptr, 0, 1, 0, 0.0);
                                        _fft.export_add(n, sum, 0);
                                        if (phase_uncombined) {
                                            for (long k = 0; k < n; ++k) {
                                                const double sr = spectrum[2 * k], si = spectrum[2 * k + 1];
                                                product[2 * k] = static_cast<float>(p[2 * k] * sr - p[2 * k + 1] * si);
                                                product[2 * k + 1] = static_cast<float>(p[2 * k] * si + p[2 * k + 1] * sr);
                                            }
                                            _fft.fft(n, 1.0, product.data(), 1, 1, x, 1, 1, 0, 0.0);
                                        }
                                    }
                                }
                                for (long k = 0; k < 2 * n; ++k) sum[k] *= lambdaF;
                            }
            }
        }

    D2_NOTICE(fn) << "==>add_coil_arrays() left OK";
    return true;
}
