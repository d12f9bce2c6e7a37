// End of job of the spectroscopy stage, from a filled raw store to the sent
// data sets (window off, spatial transform, scaling, coil combination,
// reorientation, headers, hand-over of every channel and the combined one),
// against FFTW doing the same spatial transforms on data of the same shape:
// the work that cannot be avoided.
//
//   3D CSI: 16 x 16 x 8 points, 1024 spectral points, 8 channels + combined
//   2D CSI: 32 x 32 points, 2048 spectral points, 16 channels + combined
//
// The store is refilled before every iteration, untimed: the manual time is
// the thread's CPU time around the timed call only (the machine is shared,
// so wall time mostly measures the other jobs). The receiver takes each data
// set without copying it, as the host's next stage receives a view.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
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

void BM_EndOfJob(benchmark::State& state, Shape s) {
    long sent = 0;
    DuvEnvironment env([&sent](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) {
        ++sent;
        return I_OK;
    });
    MrPtr<Derovo2> f = makeStage(s, &env);
    const Derovo2StoreDims d = f->storeDims();
    float* store = f->get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
    if (!store || d.cha != s.channels + 1) {
        state.SkipWithError("store not created");
        return;
    }
    const size_t perChannel = static_cast<size_t>(2 * d.col * d.ave * d.lin * d.phs * d.seg * d.eco);
    const std::vector<float> filled = randomSamples(perChannel * static_cast<size_t>(s.channels));
    for (auto _ : state) {
        // Refill: the measured channels as acquired, the combined slot empty.
        std::memcpy(store, filled.data(), filled.size() * sizeof(float));
        std::fill(store + filled.size(), store + filled.size() + perChannel, 0.0f);
        std::fill(csiAverages, csiAverages + d.lin * d.phs * d.seg, 1.0f);
        dateStamp[0] = 1206.0265f;
        goc_per_rep[0] = 1.0f;
        sent = 0;
        const double t0 = threadSeconds();
        const unsigned long status = f->endOfJob(I_ACQ_END);
        state.SetIterationTime(threadSeconds() - t0);
        if (status != I_OK || sent != s.channels + 1) state.SkipWithError("end of job failed");
    }
}

// The spatial transforms of the same end of job alone (csi_fft: every
// measured channel, through qomMrSpecFFT::fft one vector at a time).
void BM_CsiFft(benchmark::State& state, Shape s) {
    MrPtr<Derovo2> f = makeStage(s, nullptr);
    const Derovo2StoreDims d = f->storeDims();
    float* store = f->get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
    if (!store || d.cha != s.channels + 1) {
        state.SkipWithError("store not created");
        return;
    }
    const size_t perChannel = static_cast<size_t>(2 * d.col * d.ave * d.lin * d.phs * d.seg * d.eco);
    const std::vector<float> filled = randomSamples(perChannel * static_cast<size_t>(s.channels));
    for (auto _ : state) {
        std::memcpy(store, filled.data(), filled.size() * sizeof(float));
        const double t0 = threadSeconds();
        f->csi_fft();
        state.SetIterationTime(threadSeconds() - t0);
    }
}

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

BENCHMARK_CAPTURE(BM_EndOfJob, csi3d_16x16x8_1024pt_8ch, k3D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CsiFft, csi3d_16x16x8_1024pt_8ch, k3D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FftwSpatial, csi3d_16x16x8_1024pt_8ch, k3D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FftwfSpatial, csi3d_16x16x8_1024pt_8ch, k3D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EndOfJob, csi2d_32x32_2048pt_16ch, k2D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CsiFft, csi2d_32x32_2048pt_16ch, k2D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FftwSpatial, csi2d_32x32_2048pt_16ch, k2D)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FftwfSpatial, csi2d_32x32_2048pt_16ch, k2D)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
