// Spectra output: every data set of one channel slot of the raw store leaves
// the stage here, each with its own image header.
//
// 3D CSI goes out as one block per repetition, echo and average; 2D CSI as
// one grid per slice; single voxel and FID as one spectrum copied into a
// small object first. The CSI grid is reoriented into the display convention
// (mirror and/or exchange of the in-plane directions) together with the
// header geometry that describes it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Derovo2.h"
#include "Derovo2Trace.h"

namespace {

const char* const kFn = "send";

// The text fields have fixed room in the header.
const size_t kMaxImageComment = 127;
const size_t kMaxSequenceString = 16;

template <class T>
double entry(const std::vector<T>& v, size_t i) {
    return i < v.size() ? static_cast<double>(v[i]) : 0.0;
}

std::string padded(const char* label) {
    std::string s(label);
    if (s.size() < 48) s.append(48 - s.size(), ' ');
    return s;
}

// Error exit of send: trace with the status, record the host error, false.
bool abortSend(const char* text, DuvStatus status) {
    D2_ERROR(kFn) << text << D2Status{status};
    DuvFramework::SetLastError(I_FAIL, nullptr);
    return false;
}

enum class Branch { Csi3D, Csi2D, SingleVoxel };

// Geometry of a CSI data set as the header describes it.
struct CsiGeometry {
    double normal[3] = {0.0, 0.0, 0.0};
    double colVec[3] = {0.0, 0.0, 0.0};  // phase direction
    double rowVec[3] = {0.0, 0.0, 0.0};  // readout direction
    double rowFoV = 0.0, colFoV = 0.0;
    double spacingRow = 0.0, spacingCol = 0.0;
    unsigned long nCols = 0, nRows = 0;
};

// Header value of "mainOrientation": undefined orientations count as sagittal.
int orientationCode(MrMath::MainOrientation o) {
    return o == MrMath::TRANSVERSE ? 2 : o == MrMath::CORONAL ? 1 : 0;
}

std::vector<double> vec3(const double v[3]) { return {v[0], v[1], v[2]}; }
double dot(const std::vector<double>& a, const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

std::vector<double> sodaPositionSBCS(const DuvAs& view) {
    const DuvSoda* soda = view.calcCurrentSodaPtr();
    if (!soda) return {0.0, 0.0, 0.0};
    const sVec& p = soda->getSlicePosVecSBCS();
    return {p.x, p.y, p.z};
}

void setPixelSpacing(MiniHeader& h, double first, double second) {
    if (!h.setArrayValues("PixelSpacing", {first, second})) {
        D2_NOTICE(kFn) << "Could not set PixelSpacing in pMiniHeader, aborting...\n";
    }
}

}  // namespace

MrMath::MainOrientation fGSLClassOri(double dSag, double dCor, double dTra) {
    return MrMath::VectorPat(dSag, dCor, dTra).calcMainOrientation(1e-6);
}

bool fGSLCalcPRS(double dColVec[3], double dRowVec[3], double dSag, double dCor, double dTra, double dRotAngle) {
    MrMath::Slice slice;
    MrMath::VectorPat phase, readout;
    bool ok = slice.normal(MrMath::VectorPat(dSag, dCor, dTra), true);
    if (ok) {
        slice.rotationAngle(dRotAngle);
        ok = slice.calcPhaseAndReadoutVectors(phase, readout, 1e-14);
    }
    if (!ok) phase = readout = MrMath::VectorPat();
    dColVec[0] = phase.sag(), dColVec[1] = phase.cor(), dColVec[2] = phase.tra();
    dRowVec[0] = readout.sag(), dRowVec[1] = readout.cor(), dRowVec[2] = readout.tra();
    return ok;
}

MrPtr<DuvObj> Derovo2::createSingleSpectrum(long vectorSize) {
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    if (!obj || !obj->create(CXFL, {{COL, vectorSize}, {LIN, 1}})) return MrPtr<DuvObj>();
    return obj;
}

MrPtr<MiniHeader> Derovo2::copyHeaderTemplate(const MiniHeader& headerTemplate) { return headerTemplate.deepCopy(); }

namespace {

// The per-call work of send, so that the branches share the call's state.
class SpectraSender {
public:
    SpectraSender(Derovo2& f, unsigned long cCha, const char* suffix)
        : f_(f), d_(f.storeDims()), cCha_(cCha), suffix_(suffix ? suffix : "") {}

    bool run();

private:
    void dumpParameters() const;
    void fillTemplate(MiniHeader& t) const;
    bool dataSetPass(unsigned long cRep, unsigned long cEco, unsigned long cAve);
    bool send3D(MrPtr<MiniHeader>& header, unsigned long cRep, unsigned long cEco, unsigned long cAve);
    bool send2D(MrPtr<MiniHeader>& header, unsigned long cRep, unsigned long cEco, unsigned long cAve);
    bool sendSingleVoxel(MrPtr<MiniHeader>& header, unsigned long cRep, unsigned long cEco, unsigned long cAve);

    CsiGeometry csiGeometry(MiniHeader& h, unsigned long cRep, unsigned long cEco, unsigned long slice);
    void setCsiGridFields(MiniHeader& h, const CsiGeometry& g) const;
    std::vector<DuvWindow> window(unsigned long cRep, unsigned long cEco, unsigned long cAve, Branch b,
                                  unsigned long cSlc) const;
    void setSuffixAndNumber(MiniHeader& h, unsigned long cRep, unsigned long cEco, unsigned long cAve) const;
    bool setCoilString(MiniHeader& h, Branch b) const;
    ImageControl control() const;
    bool handOn(DuvAs& view, MrPtr<MiniHeader>& h);
    bool summedPass(unsigned long cAve) const { return f_.m_iResolveAve == 2 && cAve == lastAve_ - 1; }

    Derovo2& f_;
    const Derovo2StoreDims d_;
    const unsigned long cCha_;
    const std::string suffix_;
    unsigned long firstAve_ = 0, lastAve_ = 0;
    MrPtr<DuvObj> single_;
    DuvAs singleAs_;
    MrPtr<MiniHeader> template_;
};

bool SpectraSender::run() {
    D2_NOTICE(kFn) << "QOM: Creating DUV object for single scan:";
    single_ = f_.createSingleSpectrum(d_.col);
    if (!single_ || !single_->IsValid()) return abortSend("QOM: Failed while creating single_img, aborting...", 0);
    singleAs_ = (*single_)();

    const unsigned long nAve = static_cast<unsigned long>(d_.ave);
    if (f_.m_iResolveAve == 0) {
        firstAve_ = nAve - 1, lastAve_ = nAve;
    } else {
        firstAve_ = 0, lastAve_ = f_.m_iResolveAve == 2 ? nAve : nAve - 1;
    }

    dumpParameters();

    template_ = MrPtr<MiniHeader>(Rudu::HeapObject<MiniHeader>::Create());
    if (!template_) return abortSend("QOM: Failed while creating pMiniHeader_temp, aborting...", 0);
    fillTemplate(*template_);

    MiniHeader& t = *template_;
    for (long cRep = 0; cRep < d_.rep; ++cRep) {
        t.set("AcquisitionNumber", static_cast<int>(cRep + 1));
        // A repetition without data ends the output; so does one beyond the
        // per-repetition tables, which hold no record of it.
        if (cRep >= kDerovo2RepTableSize || dateStamp[cRep] == 0.0f || goc_per_rep[cRep] < 1.0f) return true;

        char text[24];
        const double date = dateStamp[cRep];
        const long year = static_cast<long>(1000.0 * (date - std::floor(date)) + 2000.0);
        const long month = static_cast<long>(date * 0.01);
        const long day = static_cast<long>(date - 100.0 * month);
        std::snprintf(text, sizeof text, "%04ld%02ld%02ld", year, month, day);
        t.set("AcquisitionDate", std::string(text));

        const float time = timeStamp[cRep];
        const long hours = static_cast<long>(time / 3600.0f);
        const float t1 = time - 3600.0f * static_cast<float>(hours);
        const long minutes = static_cast<long>(t1 / 60.0f);
        const long seconds = static_cast<long>(t1 - 60.0f * static_cast<float>(minutes));
        const long hundredths = static_cast<long>(time_ms_Stamp[cRep] * 0.1);
        std::snprintf(text, sizeof text, "%02ld%02ld%02ld.%02ld", hours, minutes, seconds, hundredths);
        t.set("AcquisitionTime", std::string(text));

        double span = time_span[cRep];
        if (span < 0.0) span += 86400.0;  // the repetition crossed midnight
        t.set("SliceMeasurementDuration", span / static_cast<double>(d_.slc) * 1000.0 + f_.m_iTR_Time * 0.001);

        const bool stoppedCsiCount = d_.isCsiGrid() && f_.m_iAveraging_Mode == 2;
        t.set("NoOfAverages", static_cast<int>(stoppedCsiCount ? f_.m_iAcquired_averages + 1 : f_.m_iAverages));

        for (long cEco = 0; cEco < d_.eco; ++cEco) {
            // The echo dimension may hold editing steps that share one TE:
            // an index beyond the list takes the first entry.
            const std::vector<int>& te = f_.m_viTE_Time;
            const double teValue = static_cast<size_t>(cEco) < te.size() ? te[cEco] : entry(te, 0);
            t.set("TE", teValue * 0.001);
            t.set("EchoNumber", 0);
            D2_NOTICE(kFn) << "QOM: sending averages #" << firstAve_ + 1 << "-#" << lastAve_;
            for (unsigned long cAve = firstAve_; cAve < lastAve_; ++cAve)
                if (!dataSetPass(cRep, cEco, cAve)) return false;
        }
    }
    return true;
}

void SpectraSender::dumpParameters() const {
    const std::string amps(85, '&');
    D2_NOTICE(kFn) << "\n" << amps;
    D2_NOTICE(kFn) << "Parameters of data set:  ";
    D2_NOTICE(kFn) << amps;
    D2_NOTICE(kFn) << "\n Size of data set:  ";
    D2_NOTICE(kFn) << std::string(20, '=');
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_COL / Vectorsize:                " << d_.col;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_AVE / averages                   " << d_.ave;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_1ST / 1. PE direct.:             " << d_.lin;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_2ND / 2. PE direct.:             " << d_.phs;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_3RD / 3. PE direct.:             " << d_.seg;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_ECO / Echos                      " << d_.eco;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_CHA / channels:                  " << d_.cha;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_SLC / slices                     " << d_.slc;
    D2_NOTICE(kFn) << "==> MRSPEC_DIM_REP / repetitions                " << d_.rep;
    D2_NOTICE(kFn) << padded("==> m_iVectorSize (prot):") << f_.m_iVectorSize;
    D2_NOTICE(kFn) << padded("==> m_vfSliceThickness[0]:") << entry(f_.m_vfSliceThickness, 0);
    D2_NOTICE(kFn) << padded("==> m_iAverages(prot):") << f_.m_iAverages;
    D2_NOTICE(kFn) << "\n Further scan parameters:  ";
    D2_NOTICE(kFn) << std::string(27, '=');
    D2_NOTICE(kFn) << padded("==> m_fReadoutOSFactor:") << f_.m_fReadoutOSFactor;
    D2_NOTICE(kFn) << padded("==> relevant_samples :") << f_.m_iRelevant_samples
                   << "   (no of samples in raw =f(m_bRemoveOversampling))";
    D2_NOTICE(kFn) << padded("==> additional_right_samples (measured):") << f_.m_iAdditional_right_samples;
    D2_NOTICE(kFn) << padded("==> No_samples_before_echo:") << f_.m_iNo_samples_before_echo;
    D2_NOTICE(kFn) << padded("==> no_samples_acquired (mdh), really acquired:") << f_.m_iNo_samples_acquired;
    D2_NOTICE(kFn) << padded("==> os_shift_samples:") << f_.m_iOS_shift_samples;
    D2_NOTICE(kFn) << padded("==> shift_samples:") << f_.m_iShift_samples;
    D2_NOTICE(kFn) << padded("==> m_iBaseResolution:") << f_.m_iBaseResolution;
    D2_NOTICE(kFn) << padded("==> m_iPhaseEncodingLines:") << f_.m_iPhaseEncodingLines;
    D2_NOTICE(kFn) << padded("==> m_iPartitions:") << f_.m_iPartitions;
    D2_NOTICE(kFn) << padded("==> m_vlRxChannelConnected:") << f_.m_vlRxChannelConnected;
    D2_NOTICE(kFn) << padded("==> m_strPatientPosition.c_str():") << f_.m_strPatientPosition;
    D2_NOTICE(kFn) << padded("==> m_iDwellTimeSig:") << f_.m_iDwellTimeSig << " ns";
    D2_NOTICE(kFn) << padded("==> real Bandwith without OS (Prot)(calc.):") << 1.0 / (f_.m_iDwellTimeSig * 1e-9)
                   << " Hz";
    D2_NOTICE(kFn) << padded("==> m_bVarivevSequence:") << f_.m_bVarivevSequence;
    D2_NOTICE(kFn) << padded("==> m_strSequenceString.c_str():") << f_.m_strSequenceString;
    D2_NOTICE(kFn) << padded("==> m_iTI_Time:") << f_.m_iTI_Time;
    D2_NOTICE(kFn) << padded("==> m_iTR_Time:") << f_.m_iTR_Time << " ms";
    D2_NOTICE(kFn) << padded("==> m_viTE_Time[0]:") << entry(f_.m_viTE_Time, 0) << " ms";
    D2_NOTICE(kFn) << padded("==> m_iMaxNoOfRxChannels:") << f_.m_iMaxNoOfRxChannels;
    D2_NOTICE(kFn) << padded("==> m_iAveraging_Mode:") << f_.m_iAveraging_Mode;
    D2_NOTICE(kFn) << padded("==> m_strNucleus.c_str():") << f_.m_strNucleus;
    D2_NOTICE(kFn) << padded("==> m_iFrequency:") << f_.m_iFrequency << " Hz";
    D2_NOTICE(kFn) << "\n Processing variables:  ";
    D2_NOTICE(kFn) << std::string(24, '=');
    D2_NOTICE(kFn) << padded("==> m_iResolveAve") << f_.m_iResolveAve;
    D2_NOTICE(kFn) << padded("==> m_iQOM_ArrayPlot") << f_.m_iQOM_ArrayPlot;
    D2_NOTICE(kFn) << padded("==> m_iSpec_B0Correct") << f_.m_iSpec_B0Correct;
    D2_NOTICE(kFn) << padded("==> m_bRemoveOversampling:") << f_.m_bRemoveOversampling;
    D2_NOTICE(kFn) << padded("==> m_bPreScanNormalizeFilterOn:") << f_.m_bPreScanNormalizeFilterOn;
    D2_NOTICE(kFn) << padded("==> m_bUncombImages:") << f_.m_bUncombImages;
    D2_NOTICE(kFn) << padded("==> m_bHammingFilterOn:") << f_.m_bHammingFilterOn;
    D2_NOTICE(kFn) << padded("==> m_iWidthPercent:") << f_.m_iWidthPercent << " %";
    D2_NOTICE(kFn) << padded("==> sizeof( float ):") << sizeof(float);
    D2_NOTICE(kFn) << padded("==> sizeof( sScanHeader ):") << sizeof(sScanHeader);
    D2_NOTICE(kFn) << padded("==> InlineFreqCorr Yes/No:") << f_.m_bFreqCorrAcc;
    D2_NOTICE(kFn) << amps;
}

void SpectraSender::fillTemplate(MiniHeader& t) const {
    t.set("Actual3DImaPartNumber", 0);
    t.set("SpectroData", true, true);
    t.set("EchoColumnPosition", 0);
    t.set("EchoLinePosition", 0);
    t.set("EchoPartitionPosition", 0);
    const int dwell = f_.m_bRemoveOversampling
                          ? static_cast<int>(static_cast<float>(f_.m_iDwellTimeSig) * f_.m_fReadoutOSFactor)
                          : f_.m_iDwellTimeSig;
    t.set("RealDwellTime", dwell);
    t.set("EchoTrainLength", static_cast<int>(d_.eco));
    t.set("ImageComment", suffix_.substr(0, kMaxImageComment));
    t.set("NoOfPhaseEncodingSteps", f_.m_iBaseResolution);
    const bool sampled = f_.m_iBaseResolution > 0 && d_.isCsiGrid();
    t.set("PercentSampling",
          sampled ? static_cast<double>(f_.m_iPhaseEncodingLines) / static_cast<double>(f_.m_iBaseResolution) : 1.0);
    t.set("PhaseEncodingDirection", std::string());
    t.set("SequenceMask", 0);
    const std::string sequence = (f_.m_bVarivevSequence ? "*" : "") + f_.m_strSequenceString;
    t.set("SequenceString", sequence.substr(0, kMaxSequenceString));
    t.set("SwapReadPhase", false);
    t.set("TI", f_.m_iTI_Time * 0.001);
    t.set("TR", f_.m_iTR_Time * 0.001);
    t.set("TriggerTime", 0.0);
    t.set("UsedChannelMask", static_cast<int>(static_cast<uint32_t>(1u << (cCha_ % 32))));
}

bool SpectraSender::dataSetPass(unsigned long cRep, unsigned long cEco, unsigned long cAve) {
    D2_NOTICE(kFn) << "\n==> Loop over averages in Send: cAve:    " << cAve;
    MrPtr<MiniHeader> header = f_.copyHeaderTemplate(*template_);
    if (!header) return abortSend("QOM: Failed while copying pMiniHeader_temp, aborting...", 0);
    std::string description = f_.m_strProtocolName;

    if (summedPass(cAve)) {
        if (!header->set("SeriesInstanceUID", f_.m_sSBSeriesUID, true))
            return abortSend("pMiniHeader->set('SeriesInstanceUID', m_sSBSeriesUID) failed! Aborting ...", I_FAIL);
        description += "_SUM";
    }
    if (!header->set("SequenceDescription", description))
        return abortSend("pMiniHeader->set('SequenceDescription', strSeqDescription) failed! Aborting ...", I_FAIL);

    if (!d_.isCsiGrid()) return sendSingleVoxel(header, cRep, cEco, cAve);
    if (d_.seg > 1) return send3D(header, cRep, cEco, cAve);
    return send2D(header, cRep, cEco, cAve);
}

CsiGeometry SpectraSender::csiGeometry(MiniHeader& h, unsigned long cRep, unsigned long cEco, unsigned long slice) {
    CsiGeometry g;
    g.normal[0] = entry(f_.m_vfNormal_Sag, 0);
    g.normal[1] = entry(f_.m_vfNormal_Cor, 0);
    g.normal[2] = entry(f_.m_vfNormal_Tra, 0);
    fGSLCalcPRS(g.colVec, g.rowVec, g.normal[0], g.normal[1], g.normal[2], entry(f_.m_vfInPlaneRotAngle, 0));
    g.rowFoV = f_.m_fRoFOV, g.colFoV = f_.m_fPeFOV;
    g.nCols = static_cast<unsigned long>(d_.lin), g.nRows = static_cast<unsigned long>(d_.phs);
    g.spacingRow = g.rowFoV / static_cast<double>(d_.lin);
    g.spacingCol = g.colFoV / static_cast<double>(d_.phs);

    const int orientation = orientationCode(fGSLClassOri(g.normal[0], g.normal[1], g.normal[2]));
    h.set("mainOrientation", orientation, true);
    // Display convention: transverse mirrored, coronal exchanged, sagittal
    // (and undefined) mirrored and then exchanged, in one pass over the block.
    // Both act on the last average slot whatever cAve is: a CSI store has
    // that one slot only (the first call turns resolved averages off for
    // CSI), so each block is reoriented once, by the pass that sends it.
    if (orientation == 2) f_.mirror_csi_dim(1, cEco, cCha_, slice, cRep, &g.rowVec[0], &g.rowVec[1], &g.rowVec[2]);
    if (orientation == 0 || orientation == 1)
        f_.swap_csi_dims(cEco, cCha_, slice, cRep, &g.rowVec[0], &g.rowVec[1], &g.rowVec[2], &g.spacingRow,
                         &g.rowFoV, &g.nCols, &g.colVec[0], &g.colVec[1], &g.colVec[2], &g.spacingCol, &g.colFoV,
                         &g.nRows, orientation == 0);
    return g;
}

void SpectraSender::setCsiGridFields(MiniHeader& h, const CsiGeometry& g) const {
    h.setArrayValues("ColVec", vec3(g.colVec));
    h.setArrayValues("RowVec", vec3(g.rowVec));
    setPixelSpacing(h, g.spacingCol, g.spacingRow);
    h.set("NoOfCols", static_cast<int>(g.nCols));
    h.set("NoOfRows", static_cast<int>(g.nRows));
    h.set("PercentPhaseFoV", g.rowFoV / g.colFoV);
}

std::vector<DuvWindow> SpectraSender::window(unsigned long cRep, unsigned long cEco, unsigned long cAve, Branch b,
                                             unsigned long cSlc) const {
    const bool grid = b != Branch::SingleVoxel;
    return {{COL, 0, d_.col, 1},
            {AVE, static_cast<long>(cAve), 1, 1},
            {LIN, 0, grid ? d_.lin : 1, 1},
            {PHS, 0, grid ? d_.phs : 1, 1},
            {SEG, 0, b == Branch::Csi3D ? d_.seg : 1, 1},
            {ECO, static_cast<long>(cEco), 1, 1},
            {CHA, static_cast<long>(cCha_), 1, 1},
            {SLC, static_cast<long>(cSlc), 1, 1},
            {REP, static_cast<long>(cRep), 1, 1}};
}

void SpectraSender::setSuffixAndNumber(MiniHeader& h, unsigned long cRep, unsigned long cEco,
                                       unsigned long cAve) const {
    char text[128];
    std::snprintf(text, sizeof text, "-%lu_%lu_%lu_%lu_%lu", cCha_ + 1, cRep + 1, 1UL, cEco + 1, cAve + 1);
    if (!h.set("Suffix4DataFileName", std::string(text), true)) {
        D2_NOTICE(kFn) << "pMiniHeader->set( 'Suffix4DataFileName' ) failed.";
    }
    const std::uint64_t number = summedPass(cAve) ? f_._numberInSummedSeries : f_._numberInSeries;
    h.set("NumberInSeries", static_cast<int>(number + 1));
}

bool SpectraSender::setCoilString(MiniHeader& h, Branch b) const {
    const char* const kName = "pMiniHeader->set('CoilString') failed.";
    const char* const kDummy = "pMiniHeader->set('DUMMY CoilString') failed.";
    if (suffix_ == "_u") {
        const auto& lists = f_.m_vvstrCoilElementName;
        if (!lists.empty() && static_cast<long>(lists[0].size()) == d_.cha - 1) {
            const std::string name = cCha_ < lists[0].size() ? lists[0][cCha_] : std::string();
            if (!name.empty()) {
                if (!h.set("CoilString", name)) return abortSend(kName, 0);
                return true;
            }
            if (b == Branch::SingleVoxel) {
                D2_NOTICE(kFn) << "pMiniHeader->set('DUMMY CoilString') - set dummy value (fault back) ";
            }
            if (!h.set("CoilString", "XXX")) return abortSend(b == Branch::Csi3D ? kName : kDummy, 0);
            return true;
        }
        if (!h.set("CoilString", "XXX")) return abortSend(kDummy, 0);
        return true;
    }
    if (!f_.m_strCoilInfoText.empty()) {
        if (!h.set("CoilString", f_.m_strCoilInfoText)) return abortSend("dataHeader.set( 'CoilString' ) failed.", 0);
        return true;
    }
    if (!h.set("CoilString", "XXX")) return abortSend("dataHeader.set('DUMMY CoilString') failed.", 0);
    return true;
}

ImageControl SpectraSender::control() const {
    ImageControl c;
    c.setColumns(d_.col);
    return c;
}

// Hands one data set on; the running number of its series grows on success.
bool SpectraSender::handOn(DuvAs& view, MrPtr<MiniHeader>& h) {
    ImageControl ctrl = control();
    const DuvStatus status = DuvUtils::send(view, h, ctrl, f_.environment());
    if (DuvIsFailure(status)) return abortSend("Failed during DuvUtils::send(...), aborting...\n", status);
    return true;
}

bool SpectraSender::send3D(MrPtr<MiniHeader>& header, unsigned long cRep, unsigned long cEco,
                           unsigned long cAve) {
    MiniHeader& h = *header;
    const double partitionThickness = entry(f_.m_vfSliceThickness, 0) / static_cast<double>(d_.seg);
    const CsiGeometry g = csiGeometry(h, cRep, cEco, 0);

    h.set("SliceThickness", partitionThickness);
    setCsiGridFields(h, g);
    h.set("ProtocolSliceNumber", 0);

    // Centre of the first partition relative to the slab centre.
    const double posOffset = (static_cast<double>(d_.seg) * -0.5 + 0.5) * partitionThickness;
    std::vector<double> pos = {entry(f_.m_vfPosition_Sag, 0), entry(f_.m_vfPosition_Cor, 0),
                               entry(f_.m_vfPosition_Tra, 0)};
    for (int i = 0; i < 3; ++i) pos[i] += g.normal[i] * posOffset;
    h.setArrayValues("PosVec", pos);

    const std::vector<DuvWindow> win = window(cRep, cEco, cAve, Branch::Csi3D, 0);
    if (!f_.m_rawAs.init(f_.m_raw, win)) return abortSend("==> Initialization of DUV AccessSpecifier m_rawAs failed!", 0);
    std::vector<double> sbcs = sodaPositionSBCS(f_.m_rawAs);
    for (int i = 0; i < 3; ++i) sbcs[i] += g.normal[i] * posOffset;
    h.setArrayValues("PosVecSBCS", sbcs);

    h.set("SliceLocation", dot(pos, g.rowVec));
    setSuffixAndNumber(h, cRep, cEco, cAve);

    if (!f_.m_rawAs.init(f_.m_raw, win)) return abortSend("==> Initialization of DUV AccessSpecifier m_rawAs failed!", 0);
    if (!setCoilString(h, Branch::Csi3D)) return false;
    f_.print_MiniHeader(header);
    if (!handOn(f_.m_rawAs, header)) return false;
    (summedPass(cAve) ? f_._numberInSummedSeries : f_._numberInSeries) += 1;
    D2_NOTICE(kFn) << "\n==> Sending 3D data as one 3D block - finished  ";
    return true;
}

bool SpectraSender::send2D(MrPtr<MiniHeader>& header, unsigned long cRep, unsigned long cEco,
                           unsigned long cAve) {
    MiniHeader& h = *header;
    for (long cSlc = 0; cSlc < d_.slc; ++cSlc) {
        const size_t s = static_cast<size_t>(cSlc);
        h.set("ProtocolSliceNumber", static_cast<int>(cSlc));
        h.set("SliceThickness", entry(f_.m_vfSliceThickness, 0));
        const std::vector<double> pos = {entry(f_.m_vfPosition_Sag, s), entry(f_.m_vfPosition_Cor, s),
                                         entry(f_.m_vfPosition_Tra, s)};
        h.setArrayValues("PosVec", pos);

        const std::vector<DuvWindow> win = window(cRep, cEco, cAve, Branch::Csi2D, static_cast<unsigned long>(cSlc));
        if (!f_.m_rawAs.init(f_.m_raw, win))
            return abortSend("==> Initialization of DUV AccessSpecifier m_rawAs failed!", 0);
        if (!h.setArrayValues("PosVecSBCS", sodaPositionSBCS(f_.m_rawAs)))
            return abortSend("Could not set PositionVectorSBCS (SBCS) in miniheader, aborting...\n", 0);

        const CsiGeometry g = csiGeometry(h, cRep, cEco, static_cast<unsigned long>(cSlc));
        setCsiGridFields(h, g);
        h.set("SliceLocation", dot(pos, g.rowVec));
        setSuffixAndNumber(h, cRep, cEco, cAve);

        if (!f_.m_rawAs.init(f_.m_raw, win)) {
            D2_NOTICE(kFn) << "==>Creation of DUV AccessSpecifier with m_rawAs.init failed! (Sending 2D data)";
            return false;
        }
        if (!setCoilString(h, Branch::Csi2D)) return false;
        f_.print_MiniHeader(header);
        if (!handOn(f_.m_rawAs, header)) return false;
        (summedPass(cAve) ? f_._numberInSummedSeries : f_._numberInSeries) += 1;
    }
    return true;
}

bool SpectraSender::sendSingleVoxel(MrPtr<MiniHeader>& header, unsigned long cRep, unsigned long cEco,
                                    unsigned long cAve) {
    MiniHeader& h = *header;
    const std::vector<DuvWindow> win = window(cRep, cEco, cAve, Branch::SingleVoxel, 0);
    const char* const kSbcs = "Could not set PositionVectorSBCS (SBCS) in miniheader, aborting...\n";
    if (!f_.m_bVoIValid && !f_.m_bis0DCSI) {
        if (!h.setArrayValues("PosVec", {0.0, 0.0, 0.0})) {
            D2_NOTICE(kFn) << "Could not set PosVec in miniheader, !!! \n";
        }
        if (!f_.m_rawAs.init(f_.m_raw, win))
            return abortSend("==> Initialization of DUV AccessSpecifier m_rawAs failed!", 0);
        if (!h.setArrayValues("PosVecSBCS", sodaPositionSBCS(f_.m_rawAs))) return abortSend(kSbcs, 0);
        h.setArrayValues("ColVec", {0.0, 0.0, 0.0});
        h.setArrayValues("RowVec", {0.0, 0.0, 0.0});
        h.set("PercentPhaseFoV", 1.0);
        setPixelSpacing(h, 0.0, 0.0);
        h.set("SliceThickness", 0.0);
        h.set("NoOfCols", 1);
        h.set("NoOfRows", 1);
        h.set("SliceLocation", 0.0);
    } else {
        const std::vector<double> pos = {f_.m_fVoI_Position_Sag, f_.m_fVoI_Position_Cor, f_.m_fVoI_Position_Tra};
        h.setArrayValues("PosVec", pos);
        // The volume's position relative to the slice under the view as the
        // last store access left it.
        std::vector<double> sbcs = sodaPositionSBCS(f_.m_rawAs);
        for (int i = 0; i < 3; ++i) sbcs[i] += pos[i];
        if (!h.setArrayValues("PosVecSBCS", sbcs)) return abortSend(kSbcs, 0);
        h.set("mainOrientation", orientationCode(fGSLClassOri(f_.m_fVoI_Normal_Sag, f_.m_fVoI_Normal_Cor,
                                                               f_.m_fVoI_Normal_Tra)),
              true);
        double colVec[3], rowVec[3];
        fGSLCalcPRS(colVec, rowVec, f_.m_fVoI_Normal_Sag, f_.m_fVoI_Normal_Cor, f_.m_fVoI_Normal_Tra,
                    f_.m_fVoI_InPlaneRotAngle);
        h.setArrayValues("ColVec", vec3(colVec));
        h.setArrayValues("RowVec", vec3(rowVec));
        h.set("PercentPhaseFoV", 1.0);
        setPixelSpacing(h, f_.m_fVoI_PeFOV, f_.m_fVoI_RoFOV);
        h.set("SliceThickness", static_cast<double>(f_.m_fVoI_SliceThickness));
        h.set("NoOfCols", 1);
        h.set("NoOfRows", 1);
        h.set("SliceLocation", dot(pos, rowVec));
    }
    setSuffixAndNumber(h, cRep, cEco, cAve);

    if (!f_.m_rawAs.init(f_.m_raw, win)) {
        D2_NOTICE(kFn) << "==>Creation of DUV AccessSpecifier with m_rawAs.init failed! (Sending of svs or fid data)";
        return false;
    }
    if (!setCoilString(h, Branch::SingleVoxel)) return false;
    if (!DuvWrapper::Copy(singleAs_, f_.m_rawAs)) return abortSend("Duv.Copy(singleAs, m_rawAs)) failed, aborting...", 0);
    D2_NOTICE(kFn) << singleAs_;
    if (cAve == 0 && cEco == 0) f_.print_MiniHeader(header);
    if (!handOn(singleAs_, header)) return false;
    D2_NOTICE(kFn) << "==> Sending of svs or fid data  - finished  ";
    (summedPass(cAve) ? f_._numberInSummedSeries : f_._numberInSeries) += 1;
    return true;
}

}  // namespace

bool Derovo2::send(unsigned long cCha, char* coilIdSuffix) {
    SpectraSender sender(*this, cCha, coilIdSuffix);
    return sender.run();
}
