// Test support: the published properties of the spectroscopy stage as its
// users know them (name, value type, protocol path), and a protocol that
// holds every one of those paths.
#pragma once

#include <string>
#include <vector>

#include "duvhost/Rudu.h"
#include "duvhost/XProtocol.h"

struct ExpectedProperty {
    const char* name;
    Rudu::ValueType type;
    const char* path;  // empty: no protocol path
};

inline const std::vector<ExpectedProperty>& ExpectedProperties()
{
    using V = Rudu::ValueType;
    static const std::vector<ExpectedProperty> table = {
        {"VectorSize", V::Int, "MEAS.sSpecPara.lVectorSize"},
        {"VoIValid", V::Bool, "MEAS.sSpecPara.ucVoIValid"},
        {"ReadoutOSFactor", V::Float, "YAPS.flReadoutOSFactor"},
        {"FinalMatrixSizeRead", V::Int, "MEAS.sSpecPara.lFinalMatrixSizeRead"},
        {"FinalMatrixSizePhase", V::Int, "MEAS.sSpecPara.lFinalMatrixSizePhase"},
        {"FinalMatrixSizeSlice", V::Int, "MEAS.sSpecPara.lFinalMatrixSizeSlice"},
        {"Contrasts", V::Int, "MEAS.lContrasts"},
        {"Averages", V::Int, "MEAS.lAverages"},
        {"BaseResolution", V::Int, "MEAS.sKSpace.lBaseResolution"},
        {"PhaseEncodingLines", V::Int, "MEAS.sKSpace.lPhaseEncodingLines"},
        {"Partitions", V::Int, "MEAS.sKSpace.lPartitions"},
        {"HammingFilterOn", V::Bool, "MEAS.sHammingFilter.ucOn"},
        {"WidthPercent", V::Int, "MEAS.sHammingFilter.lWidthPercent"},
        {"PreScanNormalizeFilterOn", V::Bool, "MEAS.sPreScanNormalizeFilter.ucOn"},
        {"SensMapName", V::String, ""},
        {"MaxNoOfRxChannels", V::Int, "YAPS.iMaxNoOfRxChannels"},
        {"RemoveOversampling", V::Bool, "MEAS.sSpecPara.ucRemoveOversampling"},
        {"RxChannelConnected", V::IntVector, "MEAS.sCoilSelectMeas.aRxCoilSelectData.0.asList.*.lRxChannelConnected"},
        {"ElementID", V::StringVector, "YAPS.CoilSelects.0.*.CoilElementID"},
        {"Normal_Sag", V::FloatVector, "MEAS.sSliceArray.asSlice.*.sNormal.dSag"},
        {"Normal_Cor", V::FloatVector, "MEAS.sSliceArray.asSlice.*.sNormal.dCor"},
        {"Normal_Tra", V::FloatVector, "MEAS.sSliceArray.asSlice.*.sNormal.dTra"},
        {"InPlaneRotAngle", V::FloatVector, "MEAS.sSliceArray.asSlice.*.dInPlaneRot"},
        {"Position_Sag", V::FloatVector, "MEAS.sSliceArray.asSlice.*.sPosition.dSag"},
        {"Position_Cor", V::FloatVector, "MEAS.sSliceArray.asSlice.*.sPosition.dCor"},
        {"Position_Tra", V::FloatVector, "MEAS.sSliceArray.asSlice.*.sPosition.dTra"},
        {"RoFOV", V::Float, "MEAS.sSliceArray.asSlice.*.dReadoutFOV"},
        {"PeFOV", V::Float, "MEAS.sSliceArray.asSlice.*.dPhaseFOV"},
        {"SliceThickness", V::FloatVector, "MEAS.sSliceArray.asSlice.*.dThickness"},
        {"ProtocolName", V::String, "MEAS.tProtocolName"},
        {"FlipAngleDeg1", V::Float, "MEAS.adFlipAngleDegree.0"},
        {"FlipAngleDeg2", V::Float, "MEAS.adFlipAngleDegree.1"},
        {"SequenceFileName", V::String, "MEAS.tSequenceFileName"},
        {"Reps_qom", V::Int, "YAPS.alDUVProgramPara.10"},
        {"ResolveAve", V::Int, "YAPS.alDUVProgramPara.11"},
        {"MEGA_Steps", V::Int, "YAPS.alDUVProgramPara.12"},
        {"QOM_ArrayPlot", V::Int, "YAPS.alDUVProgramPara.13"},
        {"Spec_MyCalib_Inc", V::Int, "MEAS.sWipMemBlock.alFree.4"},
        {"Spec_TraceFOV", V::Int, "MEAS.sWipMemBlock.alFree.5"},
        {"Spec_B0Correct", V::Int, "MEAS.sWipMemBlock.alFree.45"},
        {"Spec_VAPORFA", V::Int, "MEAS.sWipMemBlock.adFree.3"},
        {"Spec_VAPOR_Delay7", V::Int, "MEAS.sWipMemBlock.adFree.9"},
        {"Spec_VAPOR_Delay8", V::Int, "MEAS.sWipMemBlock.adFree.10"},
        {"Spec_AutoCalib", V::Int, "MEAS.sWipMemBlock.alFree.46"},
        {"Spec_RefScan", V::Int, "MEAS.sSpecPara.lAutoRefScanMode"},
        {"Spec_RefScanNb", V::Int, "MEAS.sSpecPara.lAutoRefScanNo"},
        {"Spec_RFExcBW", V::Int, "MEAS.sSpecPara.lRFExcitationBandwidth"},
        {"Spec_AcquisitionDelay", V::Int, "MEAS.sSpecPara.lAcquisitionDelay"},
        {"Spec_WaterSat", V::Int, "MEAS.sPrepPulses.ucWaterSat"},
        {"Spec_TraRef", V::Float, "YAPS.flTransRefAmpl"},
        {"VoI_Normal_Sag", V::Float, "MEAS.sSpecPara.sVoI.sNormal.dSag"},
        {"VoI_Normal_Cor", V::Float, "MEAS.sSpecPara.sVoI.sNormal.dCor"},
        {"VoI_Normal_Tra", V::Float, "MEAS.sSpecPara.sVoI.sNormal.dTra"},
        {"VoI_InPlaneRotAngle", V::Float, "MEAS.sSpecPara.sVoI.dInPlaneRot"},
        {"VoI_Position_Sag", V::Float, "MEAS.sSpecPara.sVoI.sPosition.dSag"},
        {"VoI_Position_Cor", V::Float, "MEAS.sSpecPara.sVoI.sPosition.dCor"},
        {"VoI_Position_Tra", V::Float, "MEAS.sSpecPara.sVoI.sPosition.dTra"},
        {"VoI_RoFOV", V::Float, "MEAS.sSpecPara.sVoI.dReadoutFOV"},
        {"VoI_PeFOV", V::Float, "MEAS.sSpecPara.sVoI.dPhaseFOV"},
        {"VoI_SliceThickness", V::Float, "MEAS.sSpecPara.sVoI.dThickness"},
        {"Adj_Normal_Sag", V::Float, "MEAS.sAdjData.sAdjVolume.sNormal.dSag"},
        {"Adj_Normal_Cor", V::Float, "MEAS.sAdjData.sAdjVolume.sNormal.dCor"},
        {"Adj_Normal_Tra", V::Float, "MEAS.sAdjData.sAdjVolume.sNormal.dTra"},
        {"Adj_InPlaneRotAngle", V::Float, "MEAS.sAdjData.sAdjVolume.dInPlaneRot"},
        {"Adj_Position_Sag", V::Float, "MEAS.sAdjData.sAdjVolume.sPosition.dSag"},
        {"Adj_Position_Cor", V::Float, "MEAS.sAdjData.sAdjVolume.sPosition.dCor"},
        {"Adj_Position_Tra", V::Float, "MEAS.sAdjData.sAdjVolume.sPosition.dTra"},
        {"Adj_RoFOV", V::Float, "MEAS.sAdjData.sAdjVolume.dReadoutFOV"},
        {"Adj_PeFOV", V::Float, "MEAS.sAdjData.sAdjVolume.dPhaseFOV"},
        {"Adj_SliceThickness", V::Float, "MEAS.sAdjData.sAdjVolume.dThickness"},
        {"PatientPosition", V::String, "YAPS.tPatientPosition"},
        {"DwellTimeSig", V::Int, "MEAS.sRXSPEC.alDwellTime.0"},
        {"SequenceString", V::String, "YAPS.tSequenceString"},
        {"VarivevSequence", V::Bool, "YAPS.ucVarivevSequence"},
        {"TI_Time", V::Int, "MEAS.alTI.0"},
        {"TR_Time", V::Int, "MEAS.alTR.0"},
        {"TE_Time", V::IntVector, "MEAS.alTE"},
        {"UncombImages", V::Bool, "MEAS.ucUncombImages"},
        {"KSpace_Dimension", V::Int, "MEAS.sKSpace.ucDimension"},
        {"Averaging_Mode", V::Int, "MEAS.sKSpace.ucAveragingMode"},
        {"Nucleus", V::String, "MEAS.sTXSPEC.asNucleusInfo.0.tNucleus"},
        {"Frequency", V::Int, "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency"},
        {"CoilElementName", V::StringVectorVector, ""},
        {"CoilInfoText", V::String, "YAPS.atCoilSelectInfoText"},
        {"FreqCorrAcc", V::Bool, "MEAS.sSpecPara.ucFreqCorrAcc"},
    };
    return table;
}

// A protocol holding every property path: property i gets 100 + i (ints),
// i + 0.5 (floats, doubles in the protocol), i odd (bools), "text<i>"
// (strings); a '*' path has `elements` entries, entry k adding k / 10
// (numbers) or "_<k>" (texts). The free double parameters that feed ints get
// a fraction of .6 so that their rounding shows. TE has two echo times.
inline XProtocol FullProtocol(long elements = 1)
{
    using V = Rudu::ValueType;
    XProtocol p;
    const auto& table = ExpectedProperties();
    for (size_t i = 0; i < table.size(); ++i) {
        const ExpectedProperty& e = table[i];
        std::string path = e.path;
        if (path.empty()) continue;
        const size_t star = path.find('*');
        const long n = star == std::string::npos ? 1 : elements;
        for (long k = 0; k < n; ++k) {
            std::string at = path;
            if (star != std::string::npos) at.replace(star, 1, std::to_string(k));
            const double num = static_cast<double>(i) + 0.1 * static_cast<double>(k);
            switch (e.type) {
                case V::Int:
                    if (path.find("adFree") != std::string::npos)
                        p.SetDouble(at, static_cast<double>(i) + 0.6);
                    else
                        p.SetLong(at, 100 + static_cast<long>(i));
                    break;
                case V::IntVector:
                    if (path == "MEAS.alTE") {
                        p.SetLong("MEAS.alTE.0", 30000);
                        p.SetLong("MEAS.alTE.1", 60000);
                    } else {
                        p.SetLong(at, 100 + static_cast<long>(i) + k);
                    }
                    break;
                case V::Float:
                case V::FloatVector:
                    p.SetDouble(at, num + 0.5);
                    break;
                case V::Bool:
                    p.SetBool(at, i % 2 == 1);
                    break;
                default:  // texts
                    p.SetString(at, "text" + std::to_string(i) +
                                        (star != std::string::npos ? "_" + std::to_string(k) : ""));
                    break;
            }
        }
    }
    return p;
}

// Overrides for a valid single-voxel measurement: 8 points, 2 averages, one
// channel, no oversampling removal, spectrum display.
inline void SingleVoxelOverrides(XProtocol& p)
{
    p.SetLong("MEAS.sSpecPara.lVectorSize", 8);
    p.SetDouble("YAPS.flReadoutOSFactor", 1.0);
    p.SetBool("MEAS.sSpecPara.ucRemoveOversampling", false);
    p.SetLong("MEAS.sSpecPara.lFinalMatrixSizeRead", 1);
    p.SetLong("MEAS.sSpecPara.lFinalMatrixSizePhase", 1);
    p.SetLong("MEAS.sSpecPara.lFinalMatrixSizeSlice", 1);
    p.SetLong("MEAS.lAverages", 2);
    p.SetLong("MEAS.sKSpace.lBaseResolution", 1);
    p.SetLong("MEAS.sKSpace.lPhaseEncodingLines", 1);
    p.SetLong("MEAS.sKSpace.lPartitions", 1);
    p.SetLong("MEAS.sKSpace.ucDimension", 2);
    p.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", false);
    p.SetLong("YAPS.iMaxNoOfRxChannels", 1);
    p.SetLong("YAPS.alDUVProgramPara.10", 1);
    p.SetLong("YAPS.alDUVProgramPara.11", 0);
    p.SetLong("YAPS.alDUVProgramPara.12", 1);
    p.SetLong("YAPS.alDUVProgramPara.13", 0);
    p.SetLong("MEAS.sWipMemBlock.alFree.45", 0);
    p.SetLong("MEAS.sWipMemBlock.alFree.46", 0);
    p.SetLong("MEAS.sSpecPara.lAutoRefScanMode", 0);
    p.SetLong("MEAS.sRXSPEC.alDwellTime.0", 250000);
    p.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123200000);
    p.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "1H");
}
