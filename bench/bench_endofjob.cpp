// End of job of the spectroscopy stage, from a filled raw store to the sent
// data sets (window off, spatial transform, scaling, coil combination,
// reorientation, headers, hand-over of every channel and the combined one),
// against FFTW doing the same spatial transforms on data of the same shape:
// the work that cannot be avoided.
//
//   3D CSI: 16 x 16 x 8 points, 1024 spectral points, 8 channels + combined
//   2D CSI: 32 x 32 points, 2048 spectral points, 16 channels + combined
//   large 3D CSI: 32 x 32 x 16 points, 1024 spectral points, 16 channels +
//   combined (2.2 GB of store)
//
// The store is refilled before every iteration, untimed, from a generator
// rather than from a copy (which would double the memory of the large case):
// the manual time is the thread's CPU time around the timed call only (the
// machine is shared, so wall time mostly measures the other jobs). The
// receiver takes each data set without copying it, as the host's next stage
// receives a view. BM_EndOfJob reports the process's peak resident memory
// against the store's size; BM_EndOfJobSteps times the steps of the end of
// job one by one.
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cstdint>
#include <random>
#include <vector>

#include "Derovo2.h"
#include "Derovo2Tables.h"
#include "duvhost/HostStages.h"

namespace {

struct Shape {
    int lin, phs, seg, points, channels;
};
const Shape k3D = {16, 16, 8, 1024, 8};
const Shape k2D = {32, 32, 1, 2048, 16};
const Shape k3DLarge = {32, 32, 16, 1024, 16};

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::vector<float> randomSamples(size_t floats) {
    std::mt19937 rng(4711);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(floats);
    for (float& x : v) x = u(rng);
    return v;
}

// Uniform samples in [-1, 1) from a small fast generator, the same on every call.
void fillSamples(float* p, size_t floats) {
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (size_t i = 0; i < floats; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        p[i] = static_cast<float>(static_cast<int32_t>(x >> 32)) * 0x1p-31f;
    }
}

// Peak resident memory of this case alone: memory that earlier cases freed
// goes back to the system, and the kernel's high-water mark is reset to the
// current use (Linux), so that getrusage's maximum is this case's.
void resetPeakResident() {
    malloc_trim(0);
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

double peakResidentBytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return 1024.0 * static_cast<double>(u.ru_maxrss);
}

MrPtr<Derovo2> makeStage(const Shape& s, IRuduEnvironment* env) {
    MrPtr<Derovo2> f(Rudu::HeapObject<Derovo2>::Create());
    f->setEnvironment(env);
    f->m_iVectorSize = s.points;
    f->m_bRemoveOversampling = true;
    f->m_fReadoutOSFactor = 1.0f;
    f->m_iAverages = 1;
    f->m_iBaseResolution = s.lin;
    f->m_iPhaseEncodingLines = s.phs;
    f->m_iPartitions = s.seg;
    f->m_iKSpace_Dimension = s.seg > 1 ? 4 : 2;
    f->m_iFinalMatrixSizeRead = s.lin;
    f->m_iFinalMatrixSizePhase = s.phs;
    f->m_iFinalMatrixSizeSlice = s.seg;
    f->m_iMaxNoOfRxChannels = s.channels;
    f->m_iReps_qom = 1;
    f->m_iMEGA_Steps = 1;
    f->m_iDwellTimeSig = 250000;
    f->m_iFrequency = 123200000;
    f->m_strNucleus = "1H";
    f->m_viTE_Time = {30000};
    f->m_iTR_Time = 1500000;
    f->m_bUncombImages = true;
    f->m_vfNormal_Sag = {0.0f};
    f->m_vfNormal_Cor = {0.0f};
    f->m_vfNormal_Tra = {1.0f};
    f->m_vfInPlaneRotAngle = {0.0f};
    f->m_vfPosition_Sag = f->m_vfPosition_Cor = f->m_vfPosition_Tra = {0.0f};
    f->m_vfSliceThickness = {80.0f};
    f->m_fRoFOV = f->m_fPeFOV = 240.0f;
    DuvAs as;
    MdhProxy mdh;
    ScanControl ctrl;
    ctrl.lSlices = 1;
    f->FirstCall(as, mdh, ctrl);
    return f;
}

// A stage with its store for the shape, and the refill of the store as the
// scan side leaves it: the measured channels as acquired, the combined slot
// empty, every k-space point counted once.
struct FilledStage {
    MrPtr<Derovo2> f;
    Derovo2StoreDims d;
    float* store = nullptr;
    size_t perChannel = 0;
    long channels = 0;

    FilledStage(const Shape& s, IRuduEnvironment* env) : f(makeStage(s, env)), d(f->storeDims()), channels(s.channels) {
        store = f->get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
        if (d.cha != s.channels + 1) store = nullptr;
        perChannel = static_cast<size_t>(2 * d.col * d.ave * d.lin * d.phs * d.seg * d.eco);
    }
    void refill() const {
        const size_t measured = perChannel * static_cast<size_t>(channels);
        fillSamples(store, measured);
        std::fill(store + measured, store + measured + perChannel, 0.0f);
        std::fill(csiAverages, csiAverages + d.lin * d.phs * d.seg, 1.0f);
        dateStamp[0] = 1206.0265f;
        goc_per_rep[0] = 1.0f;
    }
    double storeBytes() const { return static_cast<double>(perChannel * sizeof(float)) * static_cast<double>(d.cha); }
};

void BM_EndOfJob(benchmark::State& state, Shape s) {
    resetPeakResident();
    long sent = 0;
    DuvEnvironment env([&sent](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) {
        ++sent;
        return I_OK;
    });
    const FilledStage st(s, &env);
    if (!st.store) {
        state.SkipWithError("store not created");
        return;
    }
    for (auto _ : state) {
        st.refill();
        sent = 0;
        const double t0 = threadSeconds();
        const DuvStatus status = st.f->endOfJob(I_ACQ_END);
        state.SetIterationTime(threadSeconds() - t0);
        if (status != I_OK || sent != s.channels + 1) state.SkipWithError("end of job failed");
    }
    // The data sets are views of the store: the peak should be the store and
    // the program (a few MB), with no copy of the store or of a data set.
    state.counters["store_MB"] = st.storeBytes() / 1e6;
    state.counters["dataset_MB"] = st.storeBytes() / static_cast<double>(st.d.cha) / 1e6;
    state.counters["peak_rss_MB"] = peakResidentBytes() / 1e6;
}

// The steps of the same end of job one after another, each timed alone (ms
// per end of job): spatial transforms with the scaling (one trip through the
// store), coil combination and the hand-over of every data set
// (reorientation, headers, sending).
void BM_EndOfJobSteps(benchmark::State& state, Shape s) {
    long sent = 0;
    DuvEnvironment env([&sent](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) {
        ++sent;
        return I_OK;
    });
    const FilledStage st(s, &env);
    if (!st.store) {
        state.SkipWithError("store not created");
        return;
    }
    double fftScale = 0.0, combine = 0.0, handOver = 0.0;
    for (auto _ : state) {
        st.refill();
        sent = 0;
        Derovo2& f = *st.f;
        const double t0 = threadSeconds();
        f.csi_filter_fft_scale(131072.0, true, true);
        const double t2 = threadSeconds();
        const bool combined = f.add_coil_arrays(false, false, true, false);
        const double t3 = threadSeconds();
        char uncombined[] = "_u";
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "_c_%ld", st.d.cha - 1);
        bool ok = combined;
        for (long c = 0; c < st.d.cha - 1; ++c) ok = ok && f.send(static_cast<unsigned long>(c), uncombined);
        ok = ok && f.send(static_cast<unsigned long>(st.d.cha - 1), suffix);
        const double t4 = threadSeconds();
        state.SetIterationTime(t4 - t0);
        fftScale += t2 - t0, combine += t3 - t2, handOver += t4 - t3;
        if (!ok || sent != s.channels + 1) state.SkipWithError("end of job failed");
    }
    const double per = 1e3 / static_cast<double>(state.iterations());
    state.counters["fft_scale_ms"] = fftScale * per;
    state.counters["combine_ms"] = combine * per;
    state.counters["handover_ms"] = handOver * per;
}

// The spatial transforms of the same end of job alone (csi_fft: every
// measured channel).
void BM_CsiFft(benchmark::State& state, Shape s) {
    const FilledStage st(s, nullptr);
    if (!st.store) {
        state.SkipWithError("store not created");
        return;
    }
    for (auto _ : state) {
        st.refill();
        const double t0 = threadSeconds();
        st.f->csi_fft();
        state.SetIterationTime(threadSeconds() - t0);
    }
}

// FFTW's planner measures candidate plans by running them; for the large
// case that would take minutes, so it stops after this many seconds with the
// best plan found so far.
const double kPlannerSeconds = 20.0;

// FFTW, double precision (as our transform computes): the spatial
// transforms of every measured channel, all spectral points at once, out of
// place from a constant input so that repeated runs cannot overflow.
void BM_FftwSpatial(benchmark::State& state, Shape s) {
    const size_t n = static_cast<size_t>(s.lin) * s.phs * s.seg * s.points;
    fftw_complex* in = fftw_alloc_complex(n);
    fftw_complex* out = fftw_alloc_complex(n);
    // Storage: spectral point fastest, then the first, second, third direction.
    std::vector<fftw_iodim> dims;
    const int sLin = s.points, sPhs = s.points * s.lin, sSeg = s.points * s.lin * s.phs;
    if (s.seg > 1) dims.push_back({s.seg, sSeg, sSeg});
    dims.push_back({s.phs, sPhs, sPhs});
    dims.push_back({s.lin, sLin, sLin});
    fftw_iodim howmany = {s.points, 1, 1};
    fftw_set_timelimit(kPlannerSeconds);
    fftw_plan plan = fftw_plan_guru_dft(static_cast<int>(dims.size()), dims.data(), 1, &howmany, in, out,
                                        FFTW_BACKWARD, FFTW_MEASURE);
    const std::vector<float> v = randomSamples(2 * n);
    for (size_t i = 0; i < n; ++i) in[i][0] = v[2 * i], in[i][1] = v[2 * i + 1];
    for (auto _ : state) {
        const double t0 = threadSeconds();
        for (int c = 0; c < s.channels; ++c) fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        state.SetIterationTime(threadSeconds() - t0);
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
}

// FFTW, single precision on the store's own float samples, in place.
void BM_FftwfSpatial(benchmark::State& state, Shape s) {
    const size_t n = static_cast<size_t>(s.lin) * s.phs * s.seg * s.points;
    fftwf_complex* data = fftwf_alloc_complex(n);
    std::vector<fftwf_iodim> dims;
    const int sLin = s.points, sPhs = s.points * s.lin, sSeg = s.points * s.lin * s.phs;
    if (s.seg > 1) dims.push_back({s.seg, sSeg, sSeg});
    dims.push_back({s.phs, sPhs, sPhs});
    dims.push_back({s.lin, sLin, sLin});
    fftwf_iodim howmany = {s.points, 1, 1};
    fftwf_set_timelimit(kPlannerSeconds);
    fftwf_plan plan = fftwf_plan_guru_dft(static_cast<int>(dims.size()), dims.data(), 1, &howmany, data, data,
                                          FFTW_BACKWARD, FFTW_MEASURE);
    const std::vector<float> v = randomSamples(2 * n);
    for (auto _ : state) {
        // Restored before each run: in place, the data would grow without bound.
        std::memcpy(data, v.data(), v.size() * sizeof(float));
        const double t0 = threadSeconds();
        for (int c = 0; c < s.channels; ++c) fftwf_execute(plan);
        benchmark::DoNotOptimize(data);
        benchmark::ClobberMemory();
        state.SetIterationTime(threadSeconds() - t0);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(data);
}

}  // namespace

#define END_OF_JOB_CASE(name, shape)                                                                       \
    BENCHMARK_CAPTURE(BM_EndOfJob, name, shape)->UseManualTime()->Unit(benchmark::kMillisecond);           \
    BENCHMARK_CAPTURE(BM_EndOfJobSteps, name, shape)->UseManualTime()->Unit(benchmark::kMillisecond);      \
    BENCHMARK_CAPTURE(BM_CsiFft, name, shape)->UseManualTime()->Unit(benchmark::kMillisecond);             \
    BENCHMARK_CAPTURE(BM_FftwSpatial, name, shape)->UseManualTime()->Unit(benchmark::kMillisecond);        \
    BENCHMARK_CAPTURE(BM_FftwfSpatial, name, shape)->UseManualTime()->Unit(benchmark::kMillisecond)

END_OF_JOB_CASE(csi3d_16x16x8_1024pt_8ch, k3D);
END_OF_JOB_CASE(csi2d_32x32_2048pt_16ch, k2D);
END_OF_JOB_CASE(csi3d_32x32x16_1024pt_16ch, k3DLarge);

BENCHMARK_MAIN();
