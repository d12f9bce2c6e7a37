// The spectroscopy reconstruction stage.
//
// One functor class; its member functions are spread over one source file
// per concern:
//   Derovo2Module.cpp          exported functions, factory table, type records
//   Derovo2Properties.cpp      property table
//   Derovo2Lifecycle.cpp       construction, BeginInit, EndInit, FirstCall, ComputeScan
//   Derovo2Store.cpp           raw and reference store, insert
//   Derovo2CsiTransform.cpp    csi_filter, csi_fft (alone or with the scaling), mirror_csi_dim, swap_csi_dims
//   Derovo2Combination.cpp     scale, add_coil_arrays
//   Derovo2Output.cpp          send, createSingleSpectrum, copyHeaderTemplate, fGSLClassOri, fGSLCalcPRS
//   Derovo2HeaderDump.cpp      print_MiniHeader
//   Derovo2OnlineDisplay.cpp   compute_graph, complex2magn_data, feed_online_display(_trace)
//   Derovo2CalibDisplay.cpp    feed_online_display_calib
//   Derovo2EndOfJob.cpp        endOfJob, calibration values file
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Derovo2Tables.h"
#include "duvhost/DuvObj.h"
#include "duvhost/Functors.h"
#include "duvhost/Graphics.h"
#include "duvhost/Headers.h"
#include "duvhost/MrMath.h"
#include "duvhost/Rudu.h"
#include "Derovo2FFT.h"

#define DEROVO2_PROPERTY(Type, Name, member) \
    Type get##Name() const { return member; } \
    void set##Name(Type v) { member = v; }

// Lengths of the raw store, in the order get_ptr takes its indices.
struct Derovo2StoreDims {
    long col = 0, ave = 0, lin = 0, phs = 0, seg = 0, eco = 0, cha = 0, slc = 0, rep = 0;
    long measuredChannels() const { return cha >= 2 ? cha - 1 : 1; }
    bool isCsiGrid() const { return lin > 1 || phs > 1 || seg > 1; }
};

// Complex factors of the end-of-job scaling: the sum slot, the other average
// slots and the internal water reference (real and imaginary parts apart).
struct Derovo2ScaleFactors {
    float sumRe = 1.0f, sumIm = 1.0f, aveRe = 1.0f, aveIm = 1.0f, refRe = 1.0f, refIm = 1.0f;
};

class Derovo2 : public DuvScanFunctors {
public:
    Derovo2();
    ~Derovo2() override;
    Derovo2(const Derovo2&) = delete;
    Derovo2& operator=(const Derovo2&) = delete;

    // --- type record (Derovo2Module.cpp, Derovo2Properties.cpp) ---
    static const Rudu::Type* TypeOf();
    const Rudu::Type* GetType() const override { return TypeOf(); }
    static const std::vector<Rudu::PropertyDescriptor>& GetProperties(Derovo2* = nullptr);

    // --- lifecycle (Derovo2Lifecycle.cpp) ---
    DuvStatus BeginInit(IRuduEnvironment* env) override;
    DuvStatus EndInit(IRuduEnvironment* env) override;
    DuvStatus FirstCall(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) override;
    DuvStatus ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) override;

    // --- end of job (Derovo2EndOfJob.cpp) ---
    DuvStatus endOfJob(DuvStatus status) override;

    // --- store and insertion (Derovo2Store.cpp) ---
    virtual bool insert(DuvAs& srcAs, MdhProxy& mdh);
    float* get_ptr(long c_col, long c_ave, long c_1st, long c_2nd, long c_3rd, long c_eco, long c_cha, long c_slc,
                   long c_rep);
    float* get_qom_ref_ptr(long c_col, long c_1st, long c_cha);
    float max_measured_averages();
    Derovo2StoreDims storeDims() const;  // all 0 when the store does not exist

    // --- CSI spatial steps (Derovo2CsiTransform.cpp) ---
    void csi_filter();
    void csi_fft();
    // csi_filter, csi_fft and scale(f_in, ave, alternate) in one trip through
    // each CSI block: the same floats as the three calls one after another.
    void csi_filter_fft_scale(double f_in, bool ave, bool alternate);
    // The window weight of every grid point, or false (traced) when the window is not applied.
    bool csi_window(std::vector<float>& weight);
    void mirror_csi_dim(long dim, unsigned long c_eco, unsigned long c_cha, unsigned long c_slc, unsigned long c_rep,
                        double* x, double* y, double* z);
    void swap_csi_dims(unsigned long c_eco, unsigned long c_cha, unsigned long c_slc, unsigned long c_rep, double* vx1,
                       double* vy1, double* vz1, double* dx1, double* fov1, unsigned long* n1, double* vx2,
                       double* vy2, double* vz2, double* dx2, double* fov2, unsigned long* n2,
                       bool mirrorLinFirst = false);

    // --- scaling and coil combination (Derovo2Combination.cpp) ---
    void scale(double f_in, bool ave, bool alternate);
    Derovo2ScaleFactors scale_factors(double f_in, bool ave, bool alternate);  // traces an average count below 1
    void scale_reference(const Derovo2ScaleFactors& s);  // the water reference, once per slice
    bool add_coil_arrays(bool sens_prescan, bool phase_prescan, bool phase_uncombined, bool norm_to_sum);

    // --- output (Derovo2Output.cpp, Derovo2HeaderDump.cpp) ---
    bool send(unsigned long cCha, char* coilIdSuffix);
    void print_MiniHeader(MrPtr<MiniHeader> pMiniHeader);
    // The objects that one send call builds: the single-spectrum object and
    // each data set's copy of the header template. Virtual so that a test can
    // stand in for a host that refuses them.
    virtual MrPtr<DuvObj> createSingleSpectrum(long vectorSize);
    virtual MrPtr<MiniHeader> copyHeaderTemplate(const MiniHeader& headerTemplate);

    // --- online and calibration display (Derovo2OnlineDisplay.cpp, Derovo2CalibDisplay.cpp) ---
    void compute_graph(float width_off_r, float height_off_r, float width_used_r, float height_used_r, float* data,
                       long ndata, long datastep, float ymin, float ymax, MrPoint* ptlist, MrPoint* frame_ptlist,
                       MrPoint* xaxis_ptlist, float xaxis_aty, MrPoint* yaxis_ptlist, float yaxis_atx,
                       MrPoint* yaxis_ptlist2, float yaxis_atx2);
    void complex2magn_data(float* src, float* dst, long vectorsize, long* new_vectorsize, float* max,
                           unsigned char ffton, long leftindex, long rightindex);
    void feed_online_display(float* src, float* src2, float* max, float* max2, float* max3, long vectorsize,
                             long cAve, long nAve, long cEco, long nEco, long cRep, long nRep, long leftindex,
                             long rightindex);
    void feed_online_display_trace(float* src, long vectorsize, long lType, long cAve, long nAve, long cRep,
                                   long nRep);
    void feed_online_display_calib(float* src, long vectorsize, long lType, long cAve, long nAve, long cRep,
                                   long nRep);

    // --- properties (table in Derovo2Properties.cpp) ---
    DEROVO2_PROPERTY(int, VectorSize, m_iVectorSize)
    DEROVO2_PROPERTY(bool, VoIValid, m_bVoIValid)
    DEROVO2_PROPERTY(float, ReadoutOSFactor, m_fReadoutOSFactor)
    DEROVO2_PROPERTY(int, FinalMatrixSizeRead, m_iFinalMatrixSizeRead)
    DEROVO2_PROPERTY(int, FinalMatrixSizePhase, m_iFinalMatrixSizePhase)
    DEROVO2_PROPERTY(int, FinalMatrixSizeSlice, m_iFinalMatrixSizeSlice)
    int getContrasts() const { return static_cast<int>(m_iContrasts); }
    void setContrasts(int v) { m_iContrasts = v; }
    DEROVO2_PROPERTY(int, Averages, m_iAverages)
    DEROVO2_PROPERTY(int, BaseResolution, m_iBaseResolution)
    DEROVO2_PROPERTY(int, PhaseEncodingLines, m_iPhaseEncodingLines)
    DEROVO2_PROPERTY(int, Partitions, m_iPartitions)
    DEROVO2_PROPERTY(bool, HammingFilterOn, m_bHammingFilterOn)
    DEROVO2_PROPERTY(int, WidthPercent, m_iWidthPercent)
    DEROVO2_PROPERTY(bool, PreScanNormalizeFilterOn, m_bPreScanNormalizeFilterOn)
    DEROVO2_PROPERTY(std::string, SensMapName, m_sSensMapName)
    DEROVO2_PROPERTY(int, MaxNoOfRxChannels, m_iMaxNoOfRxChannels)
    DEROVO2_PROPERTY(bool, RemoveOversampling, m_bRemoveOversampling)
    DEROVO2_PROPERTY(std::vector<int>, RxChannelConnected, m_vlRxChannelConnected)
    DEROVO2_PROPERTY(std::vector<std::string>, ElementID, m_vstrElementID)
    DEROVO2_PROPERTY(std::vector<float>, Normal_Sag, m_vfNormal_Sag)
    DEROVO2_PROPERTY(std::vector<float>, Normal_Cor, m_vfNormal_Cor)
    DEROVO2_PROPERTY(std::vector<float>, Normal_Tra, m_vfNormal_Tra)
    DEROVO2_PROPERTY(std::vector<float>, InPlaneRotAngle, m_vfInPlaneRotAngle)
    DEROVO2_PROPERTY(std::vector<float>, Position_Sag, m_vfPosition_Sag)
    DEROVO2_PROPERTY(std::vector<float>, Position_Cor, m_vfPosition_Cor)
    DEROVO2_PROPERTY(std::vector<float>, Position_Tra, m_vfPosition_Tra)
    DEROVO2_PROPERTY(float, RoFOV, m_fRoFOV)
    DEROVO2_PROPERTY(float, PeFOV, m_fPeFOV)
    DEROVO2_PROPERTY(std::vector<float>, SliceThickness, m_vfSliceThickness)
    DEROVO2_PROPERTY(std::string, ProtocolName, m_strProtocolName)
    DEROVO2_PROPERTY(float, FlipAngleDeg1, m_fFlipAngleDeg1)
    DEROVO2_PROPERTY(float, FlipAngleDeg2, m_fFlipAngleDeg2)
    DEROVO2_PROPERTY(std::string, SequenceFileName, m_strSequenceFileName)
    DEROVO2_PROPERTY(int, Reps_qom, m_iReps_qom)
    DEROVO2_PROPERTY(int, ResolveAve, m_iResolveAve)
    DEROVO2_PROPERTY(int, MEGA_Steps, m_iMEGA_Steps)
    DEROVO2_PROPERTY(int, QOM_ArrayPlot, m_iQOM_ArrayPlot)
    DEROVO2_PROPERTY(int, Spec_MyCalib_Inc, m_iSpec_MyCalib_Inc)
    DEROVO2_PROPERTY(int, Spec_TraceFOV, m_iSpec_TraceFOV)
    DEROVO2_PROPERTY(int, Spec_B0Correct, m_iSpec_B0Correct)
    DEROVO2_PROPERTY(int, Spec_VAPORFA, m_iSpec_VAPORFA)
    DEROVO2_PROPERTY(int, Spec_VAPOR_Delay7, m_iSpec_VAPOR_Delay7)
    DEROVO2_PROPERTY(int, Spec_VAPOR_Delay8, m_iSpec_VAPOR_Delay8)
    DEROVO2_PROPERTY(int, Spec_AutoCalib, m_iSpec_AutoCalib)
    DEROVO2_PROPERTY(int, Spec_RefScan, m_iSpec_RefScan)
    DEROVO2_PROPERTY(int, Spec_RefScanNb, m_iSpec_RefScanNb)
    DEROVO2_PROPERTY(int, Spec_RFExcBW, m_iSpec_RFExcBW)
    DEROVO2_PROPERTY(int, Spec_AcquisitionDelay, m_iSpec_AcquisitionDelay)
    DEROVO2_PROPERTY(int, Spec_WaterSat, m_iSpec_WaterSat)
    DEROVO2_PROPERTY(float, Spec_TraRef, m_fSpec_TraRef)
    DEROVO2_PROPERTY(float, VoI_Normal_Sag, m_fVoI_Normal_Sag)
    DEROVO2_PROPERTY(float, VoI_Normal_Cor, m_fVoI_Normal_Cor)
    DEROVO2_PROPERTY(float, VoI_Normal_Tra, m_fVoI_Normal_Tra)
    DEROVO2_PROPERTY(float, VoI_InPlaneRotAngle, m_fVoI_InPlaneRotAngle)
    DEROVO2_PROPERTY(float, VoI_Position_Sag, m_fVoI_Position_Sag)
    DEROVO2_PROPERTY(float, VoI_Position_Cor, m_fVoI_Position_Cor)
    DEROVO2_PROPERTY(float, VoI_Position_Tra, m_fVoI_Position_Tra)
    DEROVO2_PROPERTY(float, VoI_RoFOV, m_fVoI_RoFOV)
    DEROVO2_PROPERTY(float, VoI_PeFOV, m_fVoI_PeFOV)
    DEROVO2_PROPERTY(float, VoI_SliceThickness, m_fVoI_SliceThickness)
    DEROVO2_PROPERTY(float, Adj_Normal_Sag, m_fAdj_Normal_Sag)
    DEROVO2_PROPERTY(float, Adj_Normal_Cor, m_fAdj_Normal_Cor)
    DEROVO2_PROPERTY(float, Adj_Normal_Tra, m_fAdj_Normal_Tra)
    DEROVO2_PROPERTY(float, Adj_InPlaneRotAngle, m_fAdj_InPlaneRotAngle)
    DEROVO2_PROPERTY(float, Adj_Position_Sag, m_fAdj_Position_Sag)
    DEROVO2_PROPERTY(float, Adj_Position_Cor, m_fAdj_Position_Cor)
    DEROVO2_PROPERTY(float, Adj_Position_Tra, m_fAdj_Position_Tra)
    DEROVO2_PROPERTY(float, Adj_RoFOV, m_fAdj_RoFOV)
    DEROVO2_PROPERTY(float, Adj_PeFOV, m_fAdj_PeFOV)
    DEROVO2_PROPERTY(float, Adj_SliceThickness, m_fAdj_SliceThickness)
    DEROVO2_PROPERTY(std::string, PatientPosition, m_strPatientPosition)
    DEROVO2_PROPERTY(int, DwellTimeSig, m_iDwellTimeSig)
    DEROVO2_PROPERTY(std::string, SequenceString, m_strSequenceString)
    DEROVO2_PROPERTY(bool, VarivevSequence, m_bVarivevSequence)
    DEROVO2_PROPERTY(int, TI_Time, m_iTI_Time)
    DEROVO2_PROPERTY(int, TR_Time, m_iTR_Time)
    DEROVO2_PROPERTY(std::vector<int>, TE_Time, m_viTE_Time)
    DEROVO2_PROPERTY(bool, UncombImages, m_bUncombImages)
    DEROVO2_PROPERTY(int, KSpace_Dimension, m_iKSpace_Dimension)
    DEROVO2_PROPERTY(int, Averaging_Mode, m_iAveraging_Mode)
    DEROVO2_PROPERTY(std::string, Nucleus, m_strNucleus)
    DEROVO2_PROPERTY(int, Frequency, m_iFrequency)
    DEROVO2_PROPERTY(std::vector<std::vector<std::string>>, CoilElementName, m_vvstrCoilElementName)
    DEROVO2_PROPERTY(std::string, CoilInfoText, m_strCoilInfoText)
    DEROVO2_PROPERTY(bool, FreqCorrAcc, m_bFreqCorrAcc)

    // Output event, fired once per stored scan.
    MulticastDelegate_3<DuvStatus, DuvAs&, MdhProxy&, ScanControl&> ScanReady;

    // --- protocol-driven members (set by the host before BeginInit) ---
    int m_iVectorSize = 0;
    bool m_bVoIValid = false;
    float m_fReadoutOSFactor = 1.0f;
    int m_iFinalMatrixSizeRead = 0, m_iFinalMatrixSizePhase = 0, m_iFinalMatrixSizeSlice = 0;
    long m_iContrasts = 0;
    int m_iAverages = 0;
    int m_iBaseResolution = 0, m_iPhaseEncodingLines = 0, m_iPartitions = 0;
    bool m_bHammingFilterOn = false;
    int m_iWidthPercent = 0;
    bool m_bPreScanNormalizeFilterOn = false;
    std::string m_sSensMapName;
    int m_iMaxNoOfRxChannels = 0;
    bool m_bRemoveOversampling = false;
    std::vector<int> m_vlRxChannelConnected;
    std::vector<std::string> m_vstrElementID;
    std::vector<float> m_vfNormal_Sag, m_vfNormal_Cor, m_vfNormal_Tra, m_vfInPlaneRotAngle;
    std::vector<float> m_vfPosition_Sag, m_vfPosition_Cor, m_vfPosition_Tra;
    float m_fRoFOV = 0.0f, m_fPeFOV = 0.0f;
    std::vector<float> m_vfSliceThickness;
    std::string m_strProtocolName;
    float m_fFlipAngleDeg1 = 0.0f, m_fFlipAngleDeg2 = 0.0f;
    std::string m_strSequenceFileName;
    int m_iReps_qom = 0, m_iResolveAve = 0, m_iMEGA_Steps = 0, m_iQOM_ArrayPlot = 0;
    int m_iSpec_MyCalib_Inc = 0, m_iSpec_TraceFOV = 0, m_iSpec_B0Correct = 0;
    int m_iSpec_VAPORFA = 0, m_iSpec_VAPOR_Delay7 = 0, m_iSpec_VAPOR_Delay8 = 0;
    int m_iSpec_AutoCalib = 0, m_iSpec_RefScan = 0, m_iSpec_RefScanNb = 0;
    int m_iSpec_RFExcBW = 0, m_iSpec_AcquisitionDelay = 0, m_iSpec_WaterSat = 0;
    float m_fSpec_TraRef = 0.0f;
    float m_fVoI_Normal_Sag = 0.0f, m_fVoI_Normal_Cor = 0.0f, m_fVoI_Normal_Tra = 0.0f, m_fVoI_InPlaneRotAngle = 0.0f;
    float m_fVoI_Position_Sag = 0.0f, m_fVoI_Position_Cor = 0.0f, m_fVoI_Position_Tra = 0.0f;
    float m_fVoI_RoFOV = 0.0f, m_fVoI_PeFOV = 0.0f, m_fVoI_SliceThickness = 0.0f;
    float m_fAdj_Normal_Sag = 0.0f, m_fAdj_Normal_Cor = 0.0f, m_fAdj_Normal_Tra = 0.0f, m_fAdj_InPlaneRotAngle = 0.0f;
    float m_fAdj_Position_Sag = 0.0f, m_fAdj_Position_Cor = 0.0f, m_fAdj_Position_Tra = 0.0f;
    float m_fAdj_RoFOV = 0.0f, m_fAdj_PeFOV = 0.0f, m_fAdj_SliceThickness = 0.0f;
    std::string m_strPatientPosition;
    int m_iDwellTimeSig = 0;
    std::string m_strSequenceString;
    bool m_bVarivevSequence = false;
    int m_iTI_Time = 0, m_iTR_Time = 0;
    std::vector<int> m_viTE_Time;
    bool m_bUncombImages = false;
    int m_iKSpace_Dimension = 0, m_iAveraging_Mode = 0;
    std::string m_strNucleus;
    int m_iFrequency = 0;
    std::vector<std::vector<std::string>> m_vvstrCoilElementName;
    std::string m_strCoilInfoText;
    bool m_bFreqCorrAcc = false;

    // --- working state ---
    qomMrSpecFFT _fft;
    bool m_bisCSI = false, m_bis0DCSI = false;
    std::string m_sSBSeriesUID;
    std::int64_t m_iAcquired_averages = 0;
    MrPtr<DuvObj> m_raw;
    DuvAs m_rawAs;
    MrPtr<DuvObj> m_qom_ref;
    DuvAs m_qom_refAs;
    long _N_BASIC_TYPES = 2;
    std::uint64_t _numberInSeries = 0, _numberInSummedSeries = 0;

    // Sample bookkeeping of the latest stored readout (read by the parameter dump).
    long m_iNo_samples_acquired = 0, m_iNo_samples_before_echo = 0, m_iRelevant_samples = 0;
    long m_iAdditional_right_samples = 0, m_iOS_shift_samples = 0, m_iShift_samples = 0;
    // Single voxel: readouts actually added into the sum slot at the first
    // repetition, echo and slice; end-of-job scaling divides by it.
    long m_iSumSlotReadouts = 0;
    // View windows reused by get_ptr, get_qom_ref_ptr and insert, so that
    // addressing a store element allocates nothing once they are sized.
    std::vector<DuvWindow> _rawWindows, _refWindows, _srcChannelWindow;

    // Online display
    double _firstTimeStampPerRep = 0.0;
    float _qom_plot_max = 0.0f, _qom_plot_max2 = 0.0f, _qom_plot_max3 = 0.0f;
    long _last_crep = -1;
    float _left_online_border = 0.0f, _right_online_border = 1.0f;
    static constexpr long kOnDispFloats = 131072;
    static constexpr long kOnDispArrayFloats = 3342336;
    static constexpr long kMaxWeightChannels = 129;
    float _current_ondisp[kOnDispFloats];
    float _current_ondisp_sum[kOnDispFloats];
    float _current_ondisp_array[kOnDispArrayFloats];
    double _current_weight[kMaxWeightChannels];
    double _current_pcor[2 * kMaxWeightChannels];
    double _lamda = 0.0;
    // Scratch of the display calls (power curves, traces, calibration windows;
    // curve points), kept between readouts so that a display image allocates
    // no working storage of its own once the sizes are reached.
    std::vector<float> _disp_values;
    std::vector<MrPoint> _disp_points;

    // Calibration results
    float myDeterminedRefVal = 0.0f;
    long myVaporFAVal = 0;

    unsigned long RefScanFlag = 0, RefScanFlagPrev = 0;
};

// Geometry helpers of the output (Derovo2Output.cpp).
// Main orientation of a normal (sag, cor, tra), tolerance 1e-6.
MrMath::MainOrientation fGSLClassOri(double dSag, double dCor, double dTra);
// Phase and readout directions of a slice from its normal and in-plane angle.
bool fGSLCalcPRS(double dColVec[3], double dRowVec[3], double dSag, double dCor, double dTra, double dRotAngle);
