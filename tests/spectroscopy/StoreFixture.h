// Test support for the end-of-job steps: a Derovo2 stage on the heap whose
// raw store is made by its own first call from a few protocol values, sample
// access by store index, and readers for what a recording environment got.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "Derovo2.h"
#include "Derovo2Tables.h"
#include "duvhost/HostStages.h"

// The trace channel of the module.
const char* const kChannel = "DUV.Derovo2";

struct StoreShape {
    int vectorSize = 4;
    int averages = 1;            // single voxel: average slots below the sum slot
    int lin = 1, phs = 1, seg = 1;  // phase-encoding steps (CSI when any exceeds 1)
    int receivers = 1;           // receiver channels (the store adds the combined slot when > 1)
    bool prescan = false;        // prescan normalisation adds the combined slot too
    int reps = 1, echoes = 1, slices = 1;
};

// Sets the protocol values that decide the store's layout and runs the first call.
template <class Stage = Derovo2>
MrPtr<Stage> makeStage(const StoreShape& s, IRuduEnvironment* env = nullptr) {
    MrPtr<Stage> f(Rudu::HeapObject<Stage>::Create());
    EXPECT_TRUE(f);
    if (!f) return f;
    f->setEnvironment(env);
    f->m_iVectorSize = s.vectorSize;
    f->m_bRemoveOversampling = true;
    f->m_fReadoutOSFactor = 1.0f;
    f->m_iAverages = s.averages;
    f->m_iBaseResolution = s.lin;
    f->m_iPhaseEncodingLines = s.phs;
    f->m_iPartitions = s.seg;
    f->m_iKSpace_Dimension = s.seg > 1 ? 4 : 2;
    f->m_iFinalMatrixSizeRead = s.lin;
    f->m_iFinalMatrixSizePhase = s.phs;
    f->m_iFinalMatrixSizeSlice = s.seg;
    f->m_iMaxNoOfRxChannels = s.receivers;
    f->m_bPreScanNormalizeFilterOn = s.prescan;
    f->m_iReps_qom = s.reps;
    f->m_iMEGA_Steps = s.echoes;
    f->m_iDwellTimeSig = 250000;
    f->m_iFrequency = 123200000;
    f->m_strNucleus = "1H";
    f->m_viTE_Time = {30000};
    f->m_iTR_Time = 1500000;
    std::fill(std::begin(csiAverages), std::end(csiAverages), 0.0f);
    DuvAs as;
    MdhProxy mdh;
    ScanControl ctrl;
    ctrl.lSlices = s.slices;
    EXPECT_EQ(f->FirstCall(as, mdh, ctrl), I_OK);
    return f;
}

// Index of one stored sample, in the order get_ptr takes them.
struct At {
    long col = 0, ave = 0, lin = 0, phs = 0, seg = 0, eco = 0, cha = 0, slc = 0, rep = 0;
};

inline float* sample(Derovo2& f, const At& a) {
    return f.get_ptr(a.col, a.ave, a.lin, a.phs, a.seg, a.eco, a.cha, a.slc, a.rep);
}
inline std::complex<float> value(Derovo2& f, const At& a) {
    const float* p = sample(f, a);
    return p ? std::complex<float>(p[0], p[1]) : std::complex<float>(-999.0f, -999.0f);
}
inline void put(Derovo2& f, const At& a, std::complex<float> v) {
    float* p = sample(f, a);
    ASSERT_TRUE(p);
    p[0] = v.real();
    p[1] = v.imag();
}
inline std::complex<float> waterRef(Derovo2& f, long col, long cha) {
    const float* p = f.get_qom_ref_ptr(col, 1, cha);
    return p ? std::complex<float>(p[0], p[1]) : std::complex<float>(-999.0f, -999.0f);
}
inline void putWaterRef(Derovo2& f, long col, long cha, std::complex<float> v) {
    float* p = f.get_qom_ref_ptr(col, 1, cha);
    ASSERT_TRUE(p);
    p[0] = v.real();
    p[1] = v.imag();
}

// Every sample of the store, for before/after comparisons.
inline std::vector<float> storeCopy(Derovo2& f) {
    const Derovo2StoreDims d = f.storeDims();
    const float* first = f.get_ptr(0, 0, 0, 0, 0, 0, 0, 0, 0);
    const size_t n = static_cast<size_t>(2 * d.col * d.ave * d.lin * d.phs * d.seg * d.eco * d.cha * d.slc * d.rep);
    return first ? std::vector<float>(first, first + n) : std::vector<float>();
}

// Per-repetition tables as the scan side leaves them for repetitions with data.
inline void markRepetitions(long n) {
    for (long r = 0; r < n && r < kDerovo2RepTableSize; ++r) {
        dateStamp[r] = 1206.0265f;
        timeStamp[r] = 45296.5f;
        time_ms_Stamp[r] = 250.0f;
        time_span[r] = 2.0;
        goc_per_rep[r] = 1.0f;
    }
}

// Readers of a recorded data set.
inline long intField(const RecordingEnvironment::Sent& s, const char* name) {
    long v = -12345;
    EXPECT_TRUE(s.header->get(name, v)) << name;
    return v;
}
inline double doubleField(const RecordingEnvironment::Sent& s, const char* name) {
    double v = -12345.0;
    EXPECT_TRUE(s.header->get(name, v)) << name;
    return v;
}
inline std::string textField(const RecordingEnvironment::Sent& s, const char* name) {
    std::string v = "<missing>";
    EXPECT_TRUE(s.header->get(name, v)) << name;
    return v;
}
inline std::vector<double> listField(const RecordingEnvironment::Sent& s, const char* name) {
    std::vector<double> v;
    EXPECT_TRUE(s.header->getArrayValues(name, v)) << name;
    return v;
}
inline std::vector<std::complex<float>> samples(const RecordingEnvironment::Sent& s) {
    std::vector<std::complex<float>> out(s.data.size() / sizeof(std::complex<float>));
    std::memcpy(out.data(), s.data.data(), out.size() * sizeof(std::complex<float>));
    return out;
}
inline long dimLength(const RecordingEnvironment::Sent& s, DuvDim d) {
    for (const DuvDimLength& l : s.dims)
        if (l.dim == d) return l.length;
    return 1;
}

#define EXPECT_VEC3(v, a, b, c)                  \
    do {                                         \
        const std::vector<double> v_ = (v);      \
        ASSERT_EQ(v_.size(), 3u);                \
        EXPECT_NEAR(v_[0], (a), 1e-9);           \
        EXPECT_NEAR(v_[1], (b), 1e-9);           \
        EXPECT_NEAR(v_[2], (c), 1e-9);           \
    } while (0)
