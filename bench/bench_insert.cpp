// Scan insertion of the spectroscopy stage: readouts per second stored by
// Derovo2::insert, against the lower bound of the transforms each readout
// needs (one oversampling removal per channel and the additions into the
// store, qomMrSpecFFT::rm_os + export_add, on the same data).
//
// The stage runs without online display: the readouts carry editing step 1
// and the display mode is a trace mode (m_iQOM_ArrayPlot = 1), for which no
// display image is made and no display buffer is prepared; the display is
// measured by bench_display. The "weights" variant uses a calibration mode
// (m_iQOM_ArrayPlot = 6), which adds the online combination weights.
//
//   (a) single voxel, 1 channel, 2048 points, factor-2 oversampling
//   (b) single voxel, 32 channels, 2048 points, factor-2 oversampling
//   (c) 16 x 16 CSI, 8 channels, 2048 points, factor-2 oversampling
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Derovo2.h"

namespace {

constexpr long kVectorSize = 2048;
constexpr long kAcquired = 2 * kVectorSize;
constexpr int kAverages = 16;

struct Case {
    long channels;
    long grid;  // in-plane CSI matrix, 1 for single voxel
};

const Case kCases[] = {{1, 1}, {32, 1}, {8, 16}};

// One readout of all channels, a decaying tone per channel.
struct Readout {
    explicit Readout(long channels)
    {
        obj = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
        obj->create(CXFL, {{COL, kAcquired}, {CHA, channels}});
        float* x = reinterpret_cast<float*>(obj->data());
        for (long c = 0; c < channels; ++c)
            for (long i = 0; i < kAcquired; ++i) {
                const double a = 0.01 * (c + 1) * i, e = std::exp(-1e-3 * i);
                x[2 * (c * kAcquired + i)] = static_cast<float>(e * std::cos(a));
                x[2 * (c * kAcquired + i) + 1] = static_cast<float>(e * std::sin(a));
            }
        as = DuvAs(obj);
        mdh->ushSamplesInScan = static_cast<uint16_t>(kAcquired);
        mdh->ushUsedChannels = static_cast<uint16_t>(channels);
        mdh->sLC.ushEcho = 1;
    }
    MrPtr<DuvObj> obj;
    DuvAs as;
    MdhProxy mdh;
};

MrPtr<Derovo2> MakeStage(const Case& c, int arrayPlot)
{
    MrPtr<Derovo2> s(Rudu::HeapObject<Derovo2>::Create());
    s->m_iVectorSize = kVectorSize;
    s->m_fReadoutOSFactor = 2.0f;
    s->m_bRemoveOversampling = true;
    s->m_iAverages = kAverages;
    s->m_iMaxNoOfRxChannels = static_cast<int>(c.channels);
    s->m_iBaseResolution = static_cast<int>(c.grid);
    s->m_iPhaseEncodingLines = static_cast<int>(c.grid);
    s->m_iPartitions = 1;
    s->m_iKSpace_Dimension = 2;
    s->m_iFinalMatrixSizeRead = s->m_iFinalMatrixSizePhase = static_cast<int>(c.grid);
    s->m_iFinalMatrixSizeSlice = 1;
    s->m_iReps_qom = 1;
    s->m_iMEGA_Steps = 2;
    s->m_iQOM_ArrayPlot = arrayPlot;
    s->m_strNucleus = "1H";
    s->m_iDwellTimeSig = 250000;
    s->m_iFrequency = 123200000;
    Readout first(1);
    ScanControl ctrl;
    if (s->FirstCall(first.as, first.mdh, ctrl) != I_OK) return MrPtr<Derovo2>();
    return s;
}

void RunInsert(benchmark::State& state, int arrayPlot)
{
    const Case& c = kCases[state.range(0)];
    MrPtr<Derovo2> stage = MakeStage(c, arrayPlot);
    if (!stage) {
        state.SkipWithError("first call failed");
        return;
    }
    Readout r(c.channels);
    long n = 0;
    for (auto _ : state) {
        if (c.grid > 1) {
            r.mdh->sLC.ushLine = static_cast<uint16_t>(n % c.grid);
            r.mdh->sLC.ushPhase = static_cast<uint16_t>((n / c.grid) % c.grid);
        } else {
            r.mdh->sLC.ushSet = static_cast<uint16_t>(n % kAverages);
        }
        r.mdh->ulTimeStamp = static_cast<uint32_t>(n);
        if (!stage->insert(r.as, r.mdh)) {
            state.SkipWithError("readout refused");
            break;
        }
        ++n;
    }
    state.counters["readouts/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Insert(benchmark::State& state) { RunInsert(state, 1); }
void BM_InsertWithWeights(benchmark::State& state) { RunInsert(state, 6); }

// The transforms alone: per channel one rm_os and one addition per slot the
// readout feeds (average and sum slot for single voxel, one slot for CSI),
// into destinations laid out and cycled like the store.
void BM_TransformsOnly(benchmark::State& state)
{
    const Case& c = kCases[state.range(0)];
    auto fft = std::make_unique<qomMrSpecFFT>();
    Readout r(c.channels);
    float* src = reinterpret_cast<float*>(r.obj->data());
    const bool csi = c.grid > 1;
    const long slots = csi ? c.grid * c.grid : kAverages + 1;
    // Store order: COL, slot, ..., channel.
    std::vector<float> store(static_cast<size_t>(2 * kVectorSize * slots * c.channels), 0.0f);
    long n = 0;
    for (auto _ : state) {
        const long slot = csi ? n % slots : n % kAverages;
        for (long ch = 0; ch < c.channels; ++ch) {
            float* base = store.data() + 2 * kVectorSize * slots * ch;
            fft->rm_os(kAcquired, kVectorSize, src + 2 * kAcquired * ch);
            fft->export_add(kVectorSize, base + 2 * kVectorSize * slot);
            if (!csi) fft->export_add(kVectorSize, base + 2 * kVectorSize * kAverages);
        }
        benchmark::ClobberMemory();
        ++n;
    }
    state.counters["readouts/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_TransformsOnly)->DenseRange(0, 2)->ArgName("case")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Insert)->DenseRange(0, 2)->ArgName("case")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InsertWithWeights)->DenseRange(0, 2)->ArgName("case")->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
