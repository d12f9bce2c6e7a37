// CSI spatial steps on the raw store: the k-space window, the spatial Fourier
// transform, and the two reorientations that the output applies per block.
//
// All four work in place on the single CSI average slot and on the measured
// channels only (the window and the transform; the reorientations act on the
// block they are given). At end of job the window, the transform and the
// scaling share one trip through each block (csi_filter_fft_scale). A store
// counts as CSI when any of its three phase-encoding directions has more than
// one point, so that a grid encoded only along the second or third direction
// is windowed and transformed too.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "Derovo2.h"
#include "Derovo2Trace.h"

namespace {

// Lengths that the module's FFT transforms.
bool isTransformableLength(long n) { return n >= 2 && n <= 65536 && (n & (n - 1)) == 0; }

const double kPi = 3.14159265358979323846;

// Distances between neighbouring points of the store, in floats.
struct StoreSteps {
    ptrdiff_t lin = 0, phs = 0, seg = 0;
    explicit StoreSteps(const MrPtr<DuvObj>& raw)
        : lin(2 * static_cast<ptrdiff_t>(raw->strideElements(LIN))),
          phs(2 * static_cast<ptrdiff_t>(raw->strideElements(PHS))),
          seg(2 * static_cast<ptrdiff_t>(raw->strideElements(SEG))) {}
};

// Window weight of one k-space point (before the average correction).
float windowWeight(long i1, long i2, long i3, const Derovo2StoreDims& d, int baseResolution, int peLines,
                   int partitions, float width) {
    const float kx = static_cast<float>(2.0 * static_cast<double>(i1 - d.lin / 2) / baseResolution);
    const float ky = static_cast<float>(2.0 * static_cast<double>(i2 - d.phs / 2) / peLines);
    const float kz = static_cast<float>(2.0 * static_cast<double>(i3 - d.seg / 2) / partitions);
    const float r = std::sqrt(kx * kx + ky * ky + kz * kz);
    const float t = static_cast<float>((static_cast<double>(r) - (1.0 - static_cast<double>(width))) /
                                       static_cast<double>(width));
    if (t < 0.0f) return 1.0f;
    if (t > 1.0f) return 0.08f;
    return static_cast<float>(0.54 + 0.46 * std::cos(kPi * t));
}

// Bytes of float samples that the transform copies out of a block at a time:
// small enough to stay in the core's second-level cache while every
// direction is transformed, large enough that each grid point contributes a
// few whole cache lines of spectral samples.
const size_t kTileBytes = 512 * 1024;
// Fewest spectral samples per grid point in a tile: one cache line.
const long kMinTileColumns = 8;
const size_t kCacheLine = 64;
// How far ahead of the copy the runs of grid points are requested.
const long kPrefetchPoints = 8;

// The spatial transforms of one block: every transformable direction, each a
// centred transform (sign -1, input and output rotated by half: k-space
// centre at n/2 in, voxel-space centre at n/2 out, no scaling) of every grid
// line and spectral sample. A few spectral samples of the whole grid at a
// time are copied into a tile (point-major, the samples of a grid point
// contiguous), transformed there direction after direction, each grid line
// of each direction in one batched call, and copied back: the block is read
// and written once for all directions. Each direction's result is rounded to
// float in the tile as it would be in the store, so the numbers are those of
// transforming the block direction by direction.
//
// The window weights (one per grid point) are applied on the way into the
// tile and the scaling factors on the way back, each the float product that
// its own pass over the store would compute, so that window, transform and
// scaling cost one trip through the block.
struct GridTransform {
    long lin, phs, seg, col;
    bool do1st, do2nd, do3rd;
    StoreSteps step;
    const float* weight = nullptr;  // window weight per grid point, or none
    const float* factor = nullptr;  // scaling {re, im}, or none
    std::vector<ptrdiff_t> offset;  // of every grid point in the block, in floats, in tile order

    bool transforms() const { return do1st || do2nd || do3rd; }

    void run(qomMrSpecFFT& fft, float* block, std::vector<float>& tile) const {
        const long grid = lin * phs * seg;
        long width = static_cast<long>(kTileBytes / (sizeof(float) * 2 * static_cast<size_t>(grid)));
        width = std::min(col, std::max(kMinTileColumns, width));
        tile.resize(static_cast<size_t>(2 * grid * width));
        for (long c0 = 0; c0 < col; c0 += width) {
            const long w = std::min(width, col - c0);
            copy(block, c0, w, tile.data(), true);
            float* t = tile.data();
            const unsigned long uw = static_cast<unsigned long>(w);
            if (do1st)
                for (long line = 0; line < phs * seg; ++line) {
                    float* p = t + 2 * line * lin * w;
                    fft.fft_batch(static_cast<unsigned long>(lin), -1.0, p, uw, 1, p, uw, 1, 0, 0.0, uw);
                }
            const unsigned long plane = static_cast<unsigned long>(lin * w);
            if (do2nd)
                for (long i3 = 0; i3 < seg; ++i3) {
                    float* p = t + 2 * i3 * phs * lin * w;
                    fft.fft_batch(static_cast<unsigned long>(phs), -1.0, p, plane, 1, p, plane, 1, 0, 0.0, plane);
                }
            const unsigned long volume = plane * static_cast<unsigned long>(phs);
            if (do3rd) fft.fft_batch(static_cast<unsigned long>(seg), -1.0, t, volume, 1, t, volume, 1, 0, 0.0, volume);
            copy(block, c0, w, tile.data(), false);
        }
    }

    // Spectral samples c0 ... c0 + w - 1 of every grid point between the block and the tile.
    void copy(float* block, long c0, long w, float* tile, bool toTile) const {
        const size_t bytes = sizeof(float) * 2 * static_cast<size_t>(w);
        const long points = static_cast<long>(offset.size());
        for (long point = 0; point < points; ++point) {
            // The runs of neighbouring points lie a whole vector apart, each
            // on a page of its own: ask for the run a few points ahead while
            // this one is copied, since the processor's own prefetch does not
            // follow such jumps.
            if (point + kPrefetchPoints < points)
                prefetch(block + offset[static_cast<size_t>(point + kPrefetchPoints)] + 2 * c0, bytes, !toTile);
            float* s = block + offset[static_cast<size_t>(point)] + 2 * c0;
            float* t = tile + 2 * point * w;
            if (toTile && weight)
                multiply(t, s, w, weight[point], weight[point]);
            else if (toTile)
                std::memcpy(t, s, bytes);
            else if (factor)
                multiply(s, t, w, factor[0], factor[1]);
            else
                std::memcpy(s, t, bytes);
        }
    }

    static void prefetch(const float* p, size_t bytes, bool forWriting) {
        const char* c = reinterpret_cast<const char*>(p);
        for (size_t b = 0; b < bytes; b += kCacheLine) {
            if (forWriting)
                __builtin_prefetch(c + b, 1);
            else
                __builtin_prefetch(c + b, 0);
        }
    }

    // dst = src times (re, im), sample by sample: the floats of multiplying in place.
    static void multiply(float* __restrict dst, const float* __restrict src, long w, float re, float im) {
        long k = 0;
#ifdef __SSE2__
        const __m128 f = _mm_setr_ps(re, im, re, im);
        for (; k + 2 <= w; k += 2) _mm_storeu_ps(dst + 2 * k, _mm_mul_ps(_mm_loadu_ps(src + 2 * k), f));
#endif
        for (; k < w; ++k) dst[2 * k] = src[2 * k] * re, dst[2 * k + 1] = src[2 * k + 1] * im;
    }
};

}  // namespace

bool Derovo2::csi_window(std::vector<float>& weight) {
    const bool zeroExtent = m_iPhaseEncodingLines == 0 || m_iBaseResolution == 0 || m_iPartitions == 0;
    if (zeroExtent) {
        D2_NOTICE("csi_filter") << "==>NEVER Happen: One of the following values is zero: m_iBaseResolution, "
                                   "m_iPhaseEncodingLines, m_iPartitions !!!";
    }

    const Derovo2StoreDims d = storeDims();
    if (!m_bHammingFilterOn || !d.isCsiGrid()) return false;
    // The normalised k-space coordinates divide by the three extents; with a
    // zero extent they are undefined, so the data stay unwindowed.
    if (zeroExtent) return false;

    const float width = static_cast<float>(m_iWidthPercent * 0.01);
    if (width < 1e-7f) {
        D2_NOTICE("csi_filter") << "\n==>Derovo2::csi_filter() aborted, since filter width too low = " << width;
        return false;
    }
    const float maxave = max_measured_averages();
    if (maxave < 1.0f) {
        D2_NOTICE("csi_filter") << "\n==>Derovo2::csi_filter() aborted, since max. averages = " << maxave;
        return false;
    }

    // The weight depends on the k-space point only: compute the grid once.
    const long nPoints = d.lin * d.phs * d.seg;
    weight.assign(static_cast<size_t>(nPoints), 0.0f);
    for (long i3 = 0; i3 < d.seg; ++i3)
        for (long i2 = 0; i2 < d.phs; ++i2)
            for (long i1 = 0; i1 < d.lin; ++i1) {
                const long point = (i3 * d.phs + i2) * d.lin + i1;
                float w = windowWeight(i1, i2, i3, d, m_iBaseResolution, m_iPhaseEncodingLines, m_iPartitions,
                                       width);
                // Points beyond the average table were never counted: they
                // keep the plain window value, like points never acquired.
                const float count = point < kDerovo2CsiAveragesSize ? csiAverages[point] : 0.0f;
                const float a = count / maxave;
                if (a > 0.0f) w = w / a;
                weight[static_cast<size_t>(point)] = w;
            }
    return true;
}

void Derovo2::csi_filter() {
    std::vector<float> weight;
    if (!csi_window(weight)) return;
    const Derovo2StoreDims d = storeDims();
    const StoreSteps step(m_raw);
    const long nFloats = 2 * d.col;
    for (long rep = 0; rep < d.rep; ++rep)
        for (long slc = 0; slc < d.slc; ++slc)
            for (long cha = 0; cha < d.measuredChannels(); ++cha)
                for (long eco = 0; eco < d.eco; ++eco) {
                    float* block = get_ptr(0, 0, 0, 0, 0, eco, cha, slc, rep);
                    if (!block) continue;
                    for (long i3 = 0; i3 < d.seg; ++i3)
                        for (long i2 = 0; i2 < d.phs; ++i2)
                            for (long i1 = 0; i1 < d.lin; ++i1) {
                                const float w = weight[static_cast<size_t>((i3 * d.phs + i2) * d.lin + i1)];
                                float* v = block + i1 * step.lin + i2 * step.phs + i3 * step.seg;
                                for (long k = 0; k < nFloats; ++k) v[k] *= w;
                            }
                }
}

namespace {

GridTransform gridTransform(const Derovo2StoreDims& d, const MrPtr<DuvObj>& raw) {
    GridTransform t{d.lin,
                    d.phs,
                    d.seg,
                    d.col,
                    isTransformableLength(d.lin),
                    isTransformableLength(d.phs),
                    isTransformableLength(d.seg),
                    StoreSteps(raw),
                    nullptr,
                    nullptr,
                    {}};
    t.offset.reserve(static_cast<size_t>(d.lin * d.phs * d.seg));
    for (long i3 = 0; i3 < d.seg; ++i3)
        for (long i2 = 0; i2 < d.phs; ++i2)
            for (long i1 = 0; i1 < d.lin; ++i1) t.offset.push_back(i1 * t.step.lin + i2 * t.step.phs + i3 * t.step.seg);
    return t;
}

}  // namespace

void Derovo2::csi_fft() {
    const Derovo2StoreDims d = storeDims();
    if (!d.isCsiGrid()) return;
    const GridTransform transform = gridTransform(d, m_raw);
    if (!transform.transforms()) return;
    std::vector<float> tile;
    for (long rep = 0; rep < d.rep; ++rep)
        for (long slc = 0; slc < d.slc; ++slc)
            for (long cha = 0; cha < d.measuredChannels(); ++cha)
                for (long eco = 0; eco < d.eco; ++eco) {
                    float* block = get_ptr(0, d.ave - 1, 0, 0, 0, eco, cha, slc, rep);
                    if (block) transform.run(_fft, block, tile);
                }
}

void Derovo2::csi_filter_fft_scale(double f_in, bool ave, bool alternate) {
    const Derovo2StoreDims d = storeDims();
    // The shared trip needs the one average slot of a CSI store (the window
    // addresses slot 0, the transform the sum slot: the same slot there).
    if (d.col < 1 || d.ave != 1 || !d.isCsiGrid()) {
        csi_filter();
        csi_fft();
        scale(f_in, ave, alternate);
        return;
    }
    std::vector<float> weight;
    const bool windowed = csi_window(weight);
    const Derovo2ScaleFactors s = scale_factors(f_in, ave, alternate);
    const float factor[2] = {s.sumRe, s.sumIm};
    GridTransform transform = gridTransform(d, m_raw);
    transform.weight = windowed ? weight.data() : nullptr;
    transform.factor = factor;
    std::vector<float> tile;
    for (long rep = 0; rep < d.rep; ++rep)
        for (long slc = 0; slc < d.slc; ++slc)
            for (long cha = 0; cha < d.measuredChannels(); ++cha)
                for (long eco = 0; eco < d.eco; ++eco) {
                    float* block = get_ptr(0, 0, 0, 0, 0, eco, cha, slc, rep);
                    if (block) transform.run(_fft, block, tile);
                }
    scale_reference(s);
}

void Derovo2::mirror_csi_dim(long dim, unsigned long c_eco, unsigned long c_cha, unsigned long c_slc,
                             unsigned long c_rep, double* x, double* y, double* z) {
    float* block = get_ptr(0, storeDims().ave - 1, 0, 0, 0, static_cast<long>(c_eco), static_cast<long>(c_cha),
                           static_cast<long>(c_slc), static_cast<long>(c_rep));
    if (!block || dim < 1 || dim > 3) return;

    const Derovo2StoreDims d = storeDims();
    const StoreSteps step(m_raw);
    // The mirrored direction and the two others, as (length, step).
    long n = 0, nA = 0, nB = 0;
    ptrdiff_t s = 0, sA = 0, sB = 0;
    switch (dim) {
        case 1: n = d.lin, s = step.lin, nA = d.phs, sA = step.phs, nB = d.seg, sB = step.seg; break;
        case 2: n = d.phs, s = step.phs, nA = d.lin, sA = step.lin, nB = d.seg, sB = step.seg; break;
        default: n = d.seg, s = step.seg, nA = d.lin, sA = step.lin, nB = d.phs, sB = step.phs; break;
    }
    if (n < 2) return;

    const long nFloats = 2 * d.col;
    for (long b = 0; b < nB; ++b)
        for (long a = 0; a < nA; ++a) {
            float* line = block + a * sA + b * sB;
            for (long j = 0; j < n / 2; ++j)
                std::swap_ranges(line + j * s, line + j * s + nFloats, line + (n - 1 - j) * s);
        }
    if (x) *x = -*x;
    if (y) *y = -*y;
    if (z) *z = -*z;
}

// The plane is read as *n1 points along the first direction and *n2 along the
// second when the caller passes lengths that cover the store's plane (so a
// block transposed before is transposed back with the lengths returned then);
// otherwise as the store's own LIN x PHS lengths. Like the other descriptor
// pairs, the two lengths are exchanged on return. With mirrorLinFirst the
// result is that of mirror_csi_dim(1, ...) followed by this exchange.
void Derovo2::swap_csi_dims(unsigned long c_eco, unsigned long c_cha, unsigned long c_slc, unsigned long c_rep,
                            double* vx1, double* vy1, double* vz1, double* dx1, double* fov1, unsigned long* n1,
                            double* vx2, double* vy2, double* vz2, double* dx2, double* fov2, unsigned long* n2,
                            bool mirrorLinFirst) {
    const Derovo2StoreDims d = storeDims();
    float* block = get_ptr(0, d.ave - 1, 0, 0, 0, static_cast<long>(c_eco), static_cast<long>(c_cha),
                           static_cast<long>(c_slc), static_cast<long>(c_rep));
    if (!block) return;

    const unsigned long planePoints = static_cast<unsigned long>(d.lin * d.phs);
    unsigned long len1 = static_cast<unsigned long>(d.lin), len2 = static_cast<unsigned long>(d.phs);
    if (n1 && n2 && *n1 >= 1 && *n2 >= 1 && *n1 * *n2 == planePoints) len1 = *n1, len2 = *n2;

    const StoreSteps step(m_raw);
    // Plane position q (in reading order) lies at LIN q mod n_1st, PHS q div
    // n_1st; mirrored, LIN counts from the far end, so that the gather reads
    // through the mirror and mirror and exchange take one trip through the
    // block instead of two.
    auto at = [&](float* base, unsigned long q, bool mirrored = false) {
        const ptrdiff_t lin = static_cast<ptrdiff_t>(q % static_cast<unsigned long>(d.lin));
        return base + (mirrored ? d.lin - 1 - lin : lin) * step.lin +
               static_cast<ptrdiff_t>(q / static_cast<unsigned long>(d.lin)) * step.phs;
    };

    // Transposed gather into a scratch plane, then written back in order:
    // new position i2 + len2 * i1 takes old point i1 + len1 * i2. Whole runs
    // of column samples move together, in chunks that keep the scratch small.
    const long chunk = std::min<long>(d.col, 64);
    std::vector<float> scratch(static_cast<size_t>(planePoints) * 2 * static_cast<size_t>(chunk));
    for (long i3 = 0; i3 < d.seg; ++i3) {
        float* plane = block + i3 * step.seg;
        for (long c0 = 0; c0 < d.col; c0 += chunk) {
            const size_t bytes = sizeof(float) * 2 * static_cast<size_t>(std::min(chunk, d.col - c0));
            for (unsigned long i1 = 0; i1 < len1; ++i1)
                for (unsigned long i2 = 0; i2 < len2; ++i2)
                    std::memcpy(&scratch[(i1 * len2 + i2) * 2 * chunk],
                                at(plane, i1 + len1 * i2, mirrorLinFirst) + 2 * c0, bytes);
            for (unsigned long q = 0; q < planePoints; ++q)
                std::memcpy(at(plane, q) + 2 * c0, &scratch[q * 2 * chunk], bytes);
        }
    }

    // The mirror turns the first direction round (a single point has none to turn).
    if (mirrorLinFirst && d.lin >= 2) {
        if (vx1) *vx1 = -*vx1;
        if (vy1) *vy1 = -*vy1;
        if (vz1) *vz1 = -*vz1;
    }
    if (vx1 && vx2) std::swap(*vx1, *vx2);
    if (vy1 && vy2) std::swap(*vy1, *vy2);
    if (vz1 && vz2) std::swap(*vz1, *vz2);
    if (dx1 && dx2) std::swap(*dx1, *dx2);
    if (fov1 && fov2) std::swap(*fov1, *fov2);
    if (n1) *n1 = len2;
    if (n2) *n2 = len1;
}
