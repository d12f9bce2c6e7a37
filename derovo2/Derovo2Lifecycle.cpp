// Derovo2 lifecycle: construction, BeginInit, EndInit, the first call that
// decides the processing mode and creates the stores, and the per-scan
// compute step.
#include <algorithm>
#include <cstring>
#include <string>

#include "Derovo2.h"
#include "Derovo2Trace.h"
#include "duvhost/Framework.h"

namespace {

const std::string kSeparator = std::string(86, '=') + " ";
constexpr float kLowestFloat = -3.4028235e38f;

// Traces a failure of the first call, records it and gives its result.
DuvStatus FirstCallFailure(const char* text)
{
    D2_ERROR("FirstCall") << text << D2Status{I_FAIL};
    DuvFramework::SetLastError(I_FAIL, nullptr);
    return I_FAIL;
}

}  // namespace

Derovo2::Derovo2() : m_raw(Rudu::HeapObject<DuvObj>::Create()), m_qom_ref(Rudu::HeapObject<DuvObj>::Create())
{
    // Views on the (still empty, invalid) stores; the first call replaces both.
    m_rawAs = DuvAs(m_raw);
    m_qom_refAs = DuvAs(m_qom_ref);
    m_iSpec_AutoCalib = 0;
    _N_BASIC_TYPES = 2;
    _numberInSeries = _numberInSummedSeries = 0;
    myDeterminedRefVal = 0.0f;
    myVaporFAVal = 0;
    RefScanFlag = RefScanFlagPrev = 0;
    // The first-call check is what runs FirstCall with the first scan.
    addCallback(&DuvScanFunctors::checkForFirstCall);
    setCallbackExecution(true);
}

Derovo2::~Derovo2() = default;

DuvStatus Derovo2::BeginInit(IRuduEnvironment* env)
{
    const DuvStatus status = DuvScanFunctors::BeginInit(env);
    if (DuvIsFailure(status)) {
        D2_ERROR("BeginInit") << "Failed calling base functionality DuvScanFunctors::BeginInit, aborting..."
                              << D2Status{status};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return status;
    }
    std::fill(csiAverages, csiAverages + kDerovo2CsiAveragesSize, 0.0f);
    D2_NOTICE("BeginInit") << "BeginInit: return I_OK!\n";
    return I_OK;
}

DuvStatus Derovo2::EndInit(IRuduEnvironment* env)
{
    DuvStatus status = DuvScanFunctors::EndInit(env);
    if (DuvIsFailure(status)) {
        D2_ERROR("EndInit") << "Failed calling base functionality DuvScanFunctors::EndInit, aborting..."
                            << D2Status{status};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return status;
    }
    status = DuvUtils::GetSeriesInstanceUID(env, this, "", m_sSBSeriesUID);
    if (DuvIsFailure(status)) {
        D2_ERROR("EndInit") << "Failed retrieving 'SBSeriesUID' from environment, aborting..." << D2Status{status};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return status;
    }
    D2_NOTICE("EndInit") << "EndInit: return I_OK;!\n";
    return I_OK;
}

DuvStatus Derovo2::FirstCall(DuvAs&, MdhProxy&, ScanControl& ctrl)
{
    // 1. Channels: the receiver channels plus one for the combined result.
    const long ncha = (m_iMaxNoOfRxChannels > 1 || m_bPreScanNormalizeFilterOn) ? m_iMaxNoOfRxChannels + 1L : 1L;

    // 2. A fresh raw store; until it is created end of job finds it invalid.
    m_raw = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
    if (!m_raw) return FirstCallFailure("Failed during Rudu::HeapObject<DuvObj>::Create(), aborting...");

    // 3.
    if (m_iSpec_B0Correct == 1) {
        D2_NOTICE("FirstCall") << "==>qom internal water reference processing selected from protocol";
    } else {
        D2_NOTICE("FirstCall") << "==>qom internal water reference processing disabled from protocol";
    }

    // 4. Processing mode.
    m_bisCSI = false;
    m_bis0DCSI = false;
    long nave = 1, nlin = 1, nphs = 1;
    const bool encoded3D = m_iKSpace_Dimension == 4;
    if (m_iBaseResolution > 1 || m_iPhaseEncodingLines > 1 || (encoded3D && m_iPartitions > 1)) {
        m_bisCSI = true;
        m_iResolveAve = 0;
        nave = 1;
        nlin = std::max(1, m_iFinalMatrixSizeRead);
        nphs = std::max(1, m_iFinalMatrixSizePhase);
    } else {
        if (m_iResolveAve == 2) {
            D2_NOTICE("FirstCall") << "\n==>Sending individually resolved averages and also sum at end, m_iAverages = "
                                   << m_iAverages;
        } else if (m_iResolveAve != 0) {
            D2_NOTICE("FirstCall") << "\n==>Sending individually resolved averages, m_iAverages = " << m_iAverages;
        }
        // The last average slot holds the running sum.
        nave = m_iAverages + 1L;
        if (m_iSpec_RefScan > 1) nave += 4L * m_iSpec_RefScanNb;
        if (m_iFinalMatrixSizeRead < 2 && m_iFinalMatrixSizePhase < 2 && (!encoded3D || m_iFinalMatrixSizeSlice < 2)) {
            nlin = std::max(1, m_iFinalMatrixSizeRead);
            nphs = std::max(1, m_iFinalMatrixSizePhase);
        } else {
            D2_NOTICE("FirstCall") << "\n==>Special processing of 1x1x1 CSI as SVS!";
            m_iFinalMatrixSizeRead = m_iFinalMatrixSizePhase = m_iFinalMatrixSizeSlice = 1;
            m_bis0DCSI = true;
            nlin = nphs = 1;
        }
    }

    // 5. The other lengths. A slice matrix of 0 with 3D encoding is one
    // partition, like the in-plane lengths, so that the store has no empty
    // dimension that would refuse every readout.
    const long nrep = m_iReps_qom != 0 ? m_iReps_qom : 1;
    const long neco = m_iMEGA_Steps != 0 ? m_iMEGA_Steps : 1;
    const long nseg = encoded3D ? std::max(1, m_iFinalMatrixSizeSlice) : 1L;
    // The host's slice count (ScanControl::lSlices).
    const long nslc = ctrl.lSlices;
    const long ncol = m_bRemoveOversampling
                          ? m_iVectorSize
                          : static_cast<long>(static_cast<double>(m_iVectorSize * m_fReadoutOSFactor) + 0.5);

    // The module-wide tables and the display buffers have fixed sizes:
    // refuse a measurement that would index beyond them.
    const long nfill = ncha >= 2 ? ncha - 1 : 1;
    if (nrep > kDerovo2RepTableSize)
        return FirstCallFailure("Number of repetitions exceeds the 512 entries of the repetition tables, aborting...");
    if (nlin > kDerovo2CsiAveragesSize || nphs > kDerovo2CsiAveragesSize || nseg > kDerovo2CsiAveragesSize ||
        nlin * nphs * nseg > kDerovo2CsiAveragesSize)
        return FirstCallFailure(
            "Number of phase-encoding points exceeds the 32768 entries of the average counts, aborting...");
    if (nfill > kMaxWeightChannels)
        return FirstCallFailure(
            "Number of receiver channels exceeds the 129 entries of the online weights, aborting...");
    const bool arrayPlot = m_iQOM_ArrayPlot >= 1 && m_iQOM_ArrayPlot <= 10;
    if (arrayPlot && nrep * ncol > kOnDispArrayFloats)
        return FirstCallFailure(
            "Repetitions times vector size exceed the 3342336 floats of the online display array, aborting...");

    // 6. Raw store.
    if (!m_raw->create({{COL, ncol},
                        {AVE, nave},
                        {LIN, nlin},
                        {PHS, nphs},
                        {SEG, nseg},
                        {ECO, neco},
                        {CHA, ncha},
                        {SLC, nslc},
                        {REP, nrep}}))
        return FirstCallFailure("Failed during create of m_raw DuvObj, aborting...\n");

    // 7.
    m_rawAs = DuvAs(m_raw);
    if (!DuvWrapper::Preset(m_rawAs, 0.0)) return FirstCallFailure("Failed during preset of m_raw, aborting...\n");

    // 8. Reference store: noise (LIN 0) and water (LIN 1) reference per channel.
    m_qom_ref = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
    if (!m_qom_ref) return FirstCallFailure("Failed during m_qom_ref Rudu::HeapObject<DuvObj>::Create(), aborting...");
    if (!m_qom_ref->create({{COL, ncol}, {LIN, 2}, {CHA, ncha}}))
        return FirstCallFailure("Failed during create of m_qom_ref DuvObj, aborting...\n");
    m_qom_refAs = DuvAs(m_qom_ref);
    if (!DuvWrapper::Preset(m_qom_refAs, 0.0))
        return FirstCallFailure("Failed during preset of m_qom_ref, aborting...\n");

    // 9. Online state.
    _firstTimeStampPerRep = 0.0;
    _left_online_border = 0.0f;
    _right_online_border = 1.0f;
    _qom_plot_max = _qom_plot_max2 = _qom_plot_max3 = kLowestFloat;
    global_online_counter = 0;
    _last_crep = -1;
    m_iAcquired_averages = 0;
    m_iSumSlotReadouts = 0;

    // 10. Proton spectra show the part around the metabolites: from 0.45 of
    // the width to 4.7 ppm right of the centre. Only the exact nucleus "1H"
    // (three characters with the terminator) qualifies.
    char nucleus[4] = {};
    std::strncpy(nucleus, m_strNucleus.c_str(), 3);
    if (std::strcmp(nucleus, "1H") == 0) {
        const double halfBandwidthPpm =
            (1.0 / (m_iDwellTimeSig * 1e-9)) * 0.5 * 1e6 / static_cast<double>(m_iFrequency);
        _left_online_border = 0.45f;
        _right_online_border = static_cast<float>(std::min(1.0, 4.7 / halfBandwidthPpm + 0.5));
    }

    // 11. Display buffers, weights and the per-repetition tables.
    std::fill(_current_ondisp, _current_ondisp + _N_BASIC_TYPES * 65536, 0.0f);
    std::fill(_current_ondisp_sum, _current_ondisp_sum + _N_BASIC_TYPES * 65536, 0.0f);
    std::fill(_current_ondisp_array, _current_ondisp_array + kOnDispArrayFloats, 0.0f);
    std::fill(_current_weight, _current_weight + kMaxWeightChannels, 0.0);
    std::fill(_current_pcor, _current_pcor + 2 * kMaxWeightChannels, 0.0);
    _lamda = 0.0;
    std::fill(timeStamp, timeStamp + kDerovo2RepTableSize, 0.0f);
    std::fill(time_span, time_span + kDerovo2RepTableSize, 0.0);
    std::fill(time_ms_Stamp, time_ms_Stamp + kDerovo2RepTableSize, 0.0f);
    std::fill(dateStamp, dateStamp + kDerovo2RepTableSize, 0.0f);
    std::fill(goc_per_rep, goc_per_rep + kDerovo2RepTableSize, 0.0f);

    // 12.
    D2_NOTICE("FirstCall") << kSeparator;
    D2_NOTICE("FirstCall") << "Derovo2::FirstCall finished successfully ";
    D2_NOTICE("FirstCall") << kSeparator;
    return I_OK;
}

DuvStatus Derovo2::ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl)
{
    // 1. The callbacks (the first one runs FirstCall with the first scan). A
    // warning ends the callbacks only; the scan is still processed.
    const DuvStatus cbStatus = ExecuteCallbacks(as, mdh, ctrl);
    if (DuvIsFailure(cbStatus)) {
        D2_ERROR("ComputeScan") << "ExecuteCallbacks() failed, aborting..." << D2Status{cbStatus};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return cbStatus;
    }

    // 2.
    m_iAcquired_averages = std::max(m_iAcquired_averages, static_cast<std::int64_t>(mdh->sLC.ushSet));

    // 3. Store the readout (insert also feeds the online display).
    if (!insert(as, mdh)) {
        D2_NOTICE("ComputeScan") << kSeparator;
        D2_NOTICE("ComputeScan") << "Derovo2::ComputeScan: Acquired data inserted NOT ok! ";
        D2_NOTICE("ComputeScan") << kSeparator << "\n";
        return I_FAIL;
    }

    // 4./5. The successors receive the scan unchanged; a warning from them is
    // not passed on.
    const DuvStatus status = ScanReady(as, mdh, ctrl);
    if (DuvIsFailure(status)) {
        D2_ERROR("ComputeScan") << "Failed during call of successor, aborting...\n" << D2Status{status};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return status;
    }
    return I_OK;
}
