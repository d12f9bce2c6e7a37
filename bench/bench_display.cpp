// Cost of the online display per readout, next to the insertion of the
// readout it shows: one channel, 2048 points, no oversampling.
//
//   InsertNoDisplay          Derovo2::insert of a readout that the display skips
//                            (second echo of a trace-mode run)
//   InsertSpectrumDisplay    Derovo2::insert including feed_online_display
//   FeedOnlineDisplay        feed_online_display alone (whole spectrum shown)
//   DisplayArithmetic        its three power curves and graphs without the image
//   InsertCalibDisplay/64    Derovo2::insert of repetition 64 including the
//                            calibration display of all 64 repetitions
//   FeedOnlineDisplayCalib/64  feed_online_display_calib alone after 64 repetitions
//
// The environment receives every image and drops it, so that only the
// stage's own work and the host calls it makes (header, overlay, send) count.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "Derovo2.h"
#include "duvhost/HostStages.h"

namespace {

constexpr long kPoints = 2048;

struct DisplayStage {
    DuvEnvironment env{[](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) -> DuvStatus { return I_OK; }};
    MrPtr<Derovo2> stage{Rudu::HeapObject<Derovo2>::Create()};
    MrPtr<DuvObj> readout{Rudu::HeapObject<DuvObj>::Create()};
    DuvAs readoutAs;
    MdhProxy mdh;
    bool ok = false;

    // arrayPlot: display mode; echoes, repetitions: store lengths.
    DisplayStage(int arrayPlot, int echoes, int repetitions)
    {
        Derovo2& d = *stage;
        d.m_iVectorSize = kPoints;
        d.m_bRemoveOversampling = false;
        d.m_fReadoutOSFactor = 1.0f;
        d.m_iMaxNoOfRxChannels = 1;
        d.m_iAverages = 1;
        d.m_iFinalMatrixSizeRead = d.m_iFinalMatrixSizePhase = d.m_iFinalMatrixSizeSlice = 1;
        d.m_iBaseResolution = d.m_iPhaseEncodingLines = d.m_iPartitions = 1;
        d.m_iKSpace_Dimension = 2;
        d.m_iReps_qom = repetitions;
        d.m_iMEGA_Steps = echoes;
        d.m_iQOM_ArrayPlot = arrayPlot;
        d.m_strNucleus = "1H";
        d.m_iDwellTimeSig = 250000;  // 4000 Hz
        d.m_iFrequency = 123200000;
        d.m_viTE_Time = {30000};
        d.m_iTR_Time = 2000000;
        d.m_fFlipAngleDeg1 = 60.0f;
        d.m_iSpec_MyCalib_Inc = 5;
        d.m_fSpec_TraRef = 300.0f;
        if (DuvIsFailure(d.BeginInit(&env)) || DuvIsFailure(d.EndInit(&env))) return;

        if (!readout->create(CXFL, {{COL, kPoints}, {CHA, 1}})) return;
        readoutAs.init(readout);
        float* s = static_cast<float*>(readoutAs.calcSplObjStartAddr());
        for (long i = 0; i < kPoints; ++i) {  // a decaying resonance
            const double a = std::exp(-i / 300.0);
            s[2 * i] = static_cast<float>(a * std::cos(0.3 * i));
            s[2 * i + 1] = static_cast<float>(a * std::sin(0.3 * i));
        }
        mdh->ushSamplesInScan = kPoints;
        mdh->ushUsedChannels = 1;
        ScanControl ctrl;
        ok = !DuvIsFailure(d.FirstCall(readoutAs, mdh, ctrl));
    }

    bool insert(int echo, int repetition)
    {
        mdh->sLC.ushEcho = static_cast<uint16_t>(echo);
        mdh->sLC.ushRepetition = static_cast<uint16_t>(repetition);
        return stage->insert(readoutAs, mdh);
    }
};

void BM_InsertNoDisplay(benchmark::State& state)
{
    DisplayStage d(1, 2, 1);
    if (!d.ok) return state.SkipWithError("stage set-up failed");
    for (auto _ : state)
        if (!d.insert(1, 0)) return state.SkipWithError("insert refused the readout");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertNoDisplay);

void BM_InsertSpectrumDisplay(benchmark::State& state)
{
    DisplayStage d(0, 1, 1);
    if (!d.ok) return state.SkipWithError("stage set-up failed");
    for (auto _ : state)
        if (!d.insert(0, 0)) return state.SkipWithError("insert refused the readout");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertSpectrumDisplay)->Unit(benchmark::kMicrosecond);

void BM_FeedOnlineDisplay(benchmark::State& state)
{
    DisplayStage d(0, 1, 1);
    if (!d.ok || !d.insert(0, 0)) return state.SkipWithError("stage set-up failed");
    Derovo2& s = *d.stage;
    for (auto _ : state)
        s.feed_online_display(s._current_ondisp_sum, s._current_ondisp, &s._qom_plot_max, &s._qom_plot_max2,
                              &s._qom_plot_max3, kPoints, 0, 2, 0, 1, 0, 1, 0, kPoints);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FeedOnlineDisplay)->Unit(benchmark::kMicrosecond);

// What feed_online_display computes itself: three power curves (two of them
// transformed) and their graph points, without building and sending the image.
void BM_DisplayArithmetic(benchmark::State& state)
{
    DisplayStage d(0, 1, 1);
    if (!d.ok || !d.insert(0, 0)) return state.SkipWithError("stage set-up failed");
    Derovo2& s = *d.stage;
    std::vector<float> values(2 * kPoints);
    std::vector<MrPoint> points(kPoints);
    MrPoint frame[5], marker[2];
    for (auto _ : state) {
        long n = 0;
        float m = 0.0f;
        s.complex2magn_data(s._current_ondisp, values.data(), kPoints, &n, &m, 1, 0, kPoints);
        s.compute_graph(0.05f, 0.05f, 0.9f, 0.625f, values.data(), n, 1, -0.02f * m, 1.02f * m, points.data(), frame,
                        nullptr, 0.0f, marker, kPoints / 2, nullptr, 0.0f);
        s.complex2magn_data(s._current_ondisp, values.data(), kPoints, &n, &m, 0, 0, 0);
        s.compute_graph(0.05f, 0.725f, 0.425f, 0.175f, values.data(), n, 1, -0.02f * m, 1.02f * m, points.data(),
                        frame, nullptr, 0.0f, nullptr, 0.0f, nullptr, 0.0f);
        s.complex2magn_data(s._current_ondisp_sum, values.data(), kPoints, &n, &m, 1, 0, kPoints);
        s.compute_graph(0.525f, 0.725f, 0.425f, 0.175f, values.data(), n, 1, -0.02f * m, 1.02f * m, points.data(),
                        frame, nullptr, 0.0f, marker, kPoints / 2, nullptr, 0.0f);
        benchmark::DoNotOptimize(points.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DisplayArithmetic)->Unit(benchmark::kMicrosecond);

void BM_InsertCalibDisplay(benchmark::State& state)
{
    const int reps = static_cast<int>(state.range(0));
    DisplayStage d(6, 1, reps);
    if (!d.ok) return state.SkipWithError("stage set-up failed");
    for (int r = 0; r + 1 < reps; ++r)
        if (!d.insert(0, r)) return state.SkipWithError("insert refused the readout");
    for (auto _ : state)
        if (!d.insert(0, reps - 1)) return state.SkipWithError("insert refused the readout");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertCalibDisplay)->Arg(64)->Unit(benchmark::kMicrosecond);

void BM_FeedOnlineDisplayCalib(benchmark::State& state)
{
    const int reps = static_cast<int>(state.range(0));
    DisplayStage d(6, 1, reps);
    if (!d.ok) return state.SkipWithError("stage set-up failed");
    for (int r = 0; r < reps; ++r)
        if (!d.insert(0, r)) return state.SkipWithError("insert refused the readout");
    Derovo2& s = *d.stage;
    for (auto _ : state)
        s.feed_online_display_calib(s._current_ondisp_array, kPoints, 6, 0, 2, reps - 1, reps);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FeedOnlineDisplayCalib)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
