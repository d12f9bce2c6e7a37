// Test support for the scan side of the spectroscopy stage: a stage on the
// heap with a single-voxel protocol, readouts with their scan headers, and
// access to the stores by index.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <string>
#include <vector>

#include "Derovo2.h"
#include "duvhost/Framework.h"
#include "duvhost/HostStages.h"

using cfloat = std::complex<float>;

// One readout of `samples` complex samples on each of `channels` channels.
struct TestReadout {
    TestReadout(long samples, long channels) : samples_(samples), channels_(channels)
    {
        obj = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
        EXPECT_TRUE(obj->create(CXFL, {{COL, samples}, {CHA, channels}}));
        as = DuvAs(obj);
        mdh->ushSamplesInScan = static_cast<uint16_t>(samples);
        mdh->ushUsedChannels = static_cast<uint16_t>(channels);
    }
    cfloat* at(long cha, long i) { return reinterpret_cast<cfloat*>(obj->data()) + cha * samples_ + i; }
    TestReadout& fill(const std::function<cfloat(long cha, long i)>& f)
    {
        for (long c = 0; c < channels_; ++c)
            for (long i = 0; i < samples_; ++i) *at(c, i) = f(c, i);
        return *this;
    }
    TestReadout& counters(long lin, long phs, long seg, long eco, long slc, long rep, long set)
    {
        mdh->sLC.ushLine = static_cast<uint16_t>(lin);
        mdh->sLC.ushPhase = static_cast<uint16_t>(phs);
        mdh->sLC.ushSeg = static_cast<uint16_t>(seg);
        mdh->sLC.ushEcho = static_cast<uint16_t>(eco);
        mdh->sLC.ushSlice = static_cast<uint16_t>(slc);
        mdh->sLC.ushRepetition = static_cast<uint16_t>(rep);
        mdh->sLC.ushSet = static_cast<uint16_t>(set);
        return *this;
    }
    TestReadout& set(long s)
    {
        mdh->sLC.ushSet = static_cast<uint16_t>(s);
        return *this;
    }
    TestReadout& preEcho(long pre)
    {
        mdh->aushDuvProgramPara[4] = static_cast<uint16_t>(pre);
        return *this;
    }
    TestReadout& refScanFlag(long f)
    {
        mdh->aushDuvProgramPara[5] = static_cast<uint16_t>(f);
        return *this;
    }

    MrPtr<DuvObj> obj;
    DuvAs as;
    MdhProxy mdh;
    ScanControl ctrl;

private:
    long samples_, channels_;
};

// Sum of |x| over a whole store (a "nothing changed" check).
inline double StoreNorm(const DuvObj& store)
{
    const float* p = reinterpret_cast<const float*>(store.data());
    double s = 0.0;
    for (size_t i = 0; i < 2 * store.elementCount(); ++i) s += std::abs(p[i]);
    return s;
}

// A single-voxel protocol: one channel, no oversampling removal, no
// encoding, plot mode 0 (the spectrum display).
inline void SingleVoxelProtocol(Derovo2& s, long vectorSize, int averages)
{
    s.m_iVectorSize = static_cast<int>(vectorSize);
    s.m_fReadoutOSFactor = 1.0f;
    s.m_bRemoveOversampling = false;
    s.m_iAverages = averages;
    s.m_iMaxNoOfRxChannels = 1;
    s.m_bPreScanNormalizeFilterOn = false;
    s.m_iBaseResolution = 1;
    s.m_iPhaseEncodingLines = 1;
    s.m_iPartitions = 1;
    s.m_iKSpace_Dimension = 2;
    s.m_iFinalMatrixSizeRead = s.m_iFinalMatrixSizePhase = s.m_iFinalMatrixSizeSlice = 1;
    s.m_iReps_qom = 1;
    s.m_iMEGA_Steps = 1;
    s.m_iQOM_ArrayPlot = 0;
    s.m_iSpec_B0Correct = 0;
    s.m_iSpec_RefScan = 0;
    s.m_iSpec_RefScanNb = 0;
    s.m_iResolveAve = 0;
    s.m_strNucleus = "31P";
    s.m_iDwellTimeSig = 250000;
    s.m_iFrequency = 123200000;
    s.m_viTE_Time = {30000};
    s.m_iTR_Time = 2000000;
}

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        stage = Rudu::HeapObject<Derovo2>::Create();
        ASSERT_TRUE(stage);
        stage->setEnvironment(&env);
        SingleVoxelProtocol(*stage, 8, 2);
        DuvFramework::ClearLastError();
    }

    // Runs the first call with a scan control of `slices` slices.
    DuvStatus firstCall(long slices = 1)
    {
        TestReadout r(1, 1);
        r.ctrl.lSlices = static_cast<int32_t>(slices);
        return stage->FirstCall(r.as, r.mdh, r.ctrl);
    }

    // The vector of the raw store at these indices.
    std::vector<cfloat> rawVector(long ave, long lin, long phs, long seg, long eco, long cha, long slc, long rep)
    {
        const Derovo2StoreDims d = stage->storeDims();
        const float* p = stage->get_ptr(0, ave, lin, phs, seg, eco, cha, slc, rep);
        if (!p) return {};
        return std::vector<cfloat>(reinterpret_cast<const cfloat*>(p), reinterpret_cast<const cfloat*>(p) + d.col);
    }
    std::vector<cfloat> refVector(long lin, long cha)
    {
        const float* p = stage->get_qom_ref_ptr(0, lin, cha);
        if (!p) return {};
        return std::vector<cfloat>(reinterpret_cast<const cfloat*>(p),
                                   reinterpret_cast<const cfloat*>(p) + stage->storeDims().col);
    }
    double rawNorm() { return StoreNorm(*stage->m_raw); }
    double refNorm() { return StoreNorm(*stage->m_qom_ref); }

    RecordingEnvironment env;
    MrPtr<Derovo2> stage;
};

// The texts of the trace records of one function on the module's channel.
inline std::vector<std::string> TraceTexts(duvtrace::MemoryTraceSink& sink, const std::string& function)
{
    std::vector<std::string> out;
    for (const duvtrace::TraceRecord& r : sink.find("DUV.Derovo2", 0, function, ""))
        out.push_back(r.text);
    return out;
}
