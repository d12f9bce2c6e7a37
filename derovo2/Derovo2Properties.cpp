// The published property table of Derovo2: name, value type, accessors and
// the protocol path that the host fills each property from. The order of the
// table is the order of the published property list.
#include "Derovo2.h"

#define D2_PROP(Name, path) Rudu::MakeProperty(#Name, &Derovo2::get##Name, &Derovo2::set##Name, path)

namespace {

std::vector<Rudu::PropertyDescriptor> BuildPropertyTable()
{
    return {
        D2_PROP(VectorSize, "MEAS.sSpecPara.lVectorSize"),
        D2_PROP(VoIValid, "MEAS.sSpecPara.ucVoIValid"),
        D2_PROP(ReadoutOSFactor, "YAPS.flReadoutOSFactor"),
        D2_PROP(FinalMatrixSizeRead, "MEAS.sSpecPara.lFinalMatrixSizeRead"),
        D2_PROP(FinalMatrixSizePhase, "MEAS.sSpecPara.lFinalMatrixSizePhase"),
        D2_PROP(FinalMatrixSizeSlice, "MEAS.sSpecPara.lFinalMatrixSizeSlice"),
        D2_PROP(Contrasts, "MEAS.lContrasts"),
        D2_PROP(Averages, "MEAS.lAverages"),
        D2_PROP(BaseResolution, "MEAS.sKSpace.lBaseResolution"),
        D2_PROP(PhaseEncodingLines, "MEAS.sKSpace.lPhaseEncodingLines"),
        D2_PROP(Partitions, "MEAS.sKSpace.lPartitions"),
        D2_PROP(HammingFilterOn, "MEAS.sHammingFilter.ucOn"),
        D2_PROP(WidthPercent, "MEAS.sHammingFilter.lWidthPercent"),
        D2_PROP(PreScanNormalizeFilterOn, "MEAS.sPreScanNormalizeFilter.ucOn"),
        D2_PROP(SensMapName, ""),  // set by the configurator
        D2_PROP(MaxNoOfRxChannels, "YAPS.iMaxNoOfRxChannels"),
        D2_PROP(RemoveOversampling, "MEAS.sSpecPara.ucRemoveOversampling"),
        D2_PROP(RxChannelConnected, "MEAS.sCoilSelectMeas.aRxCoilSelectData.0.asList.*.lRxChannelConnected"),
        D2_PROP(ElementID, "YAPS.CoilSelects.0.*.CoilElementID"),
        D2_PROP(Normal_Sag, "MEAS.sSliceArray.asSlice.*.sNormal.dSag"),
        D2_PROP(Normal_Cor, "MEAS.sSliceArray.asSlice.*.sNormal.dCor"),
        D2_PROP(Normal_Tra, "MEAS.sSliceArray.asSlice.*.sNormal.dTra"),
        D2_PROP(InPlaneRotAngle, "MEAS.sSliceArray.asSlice.*.dInPlaneRot"),
        D2_PROP(Position_Sag, "MEAS.sSliceArray.asSlice.*.sPosition.dSag"),
        D2_PROP(Position_Cor, "MEAS.sSliceArray.asSlice.*.sPosition.dCor"),
        D2_PROP(Position_Tra, "MEAS.sSliceArray.asSlice.*.sPosition.dTra"),
        D2_PROP(RoFOV, "MEAS.sSliceArray.asSlice.*.dReadoutFOV"),
        D2_PROP(PeFOV, "MEAS.sSliceArray.asSlice.*.dPhaseFOV"),
        D2_PROP(SliceThickness, "MEAS.sSliceArray.asSlice.*.dThickness"),
        D2_PROP(ProtocolName, "MEAS.tProtocolName"),
        D2_PROP(FlipAngleDeg1, "MEAS.adFlipAngleDegree.0"),
        D2_PROP(FlipAngleDeg2, "MEAS.adFlipAngleDegree.1"),
        D2_PROP(SequenceFileName, "MEAS.tSequenceFileName"),
        D2_PROP(Reps_qom, "YAPS.alDUVProgramPara.10"),
        D2_PROP(ResolveAve, "YAPS.alDUVProgramPara.11"),
        D2_PROP(MEGA_Steps, "YAPS.alDUVProgramPara.12"),
        D2_PROP(QOM_ArrayPlot, "YAPS.alDUVProgramPara.13"),
        D2_PROP(Spec_MyCalib_Inc, "MEAS.sWipMemBlock.alFree.4"),
        D2_PROP(Spec_TraceFOV, "MEAS.sWipMemBlock.alFree.5"),
        D2_PROP(Spec_B0Correct, "MEAS.sWipMemBlock.alFree.45"),
        D2_PROP(Spec_VAPORFA, "MEAS.sWipMemBlock.adFree.3"),
        D2_PROP(Spec_VAPOR_Delay7, "MEAS.sWipMemBlock.adFree.9"),
        D2_PROP(Spec_VAPOR_Delay8, "MEAS.sWipMemBlock.adFree.10"),
        D2_PROP(Spec_AutoCalib, "MEAS.sWipMemBlock.alFree.46"),
        D2_PROP(Spec_RefScan, "MEAS.sSpecPara.lAutoRefScanMode"),
        D2_PROP(Spec_RefScanNb, "MEAS.sSpecPara.lAutoRefScanNo"),
        D2_PROP(Spec_RFExcBW, "MEAS.sSpecPara.lRFExcitationBandwidth"),
        D2_PROP(Spec_AcquisitionDelay, "MEAS.sSpecPara.lAcquisitionDelay"),
        D2_PROP(Spec_WaterSat, "MEAS.sPrepPulses.ucWaterSat"),
        D2_PROP(Spec_TraRef, "YAPS.flTransRefAmpl"),
        D2_PROP(VoI_Normal_Sag, "MEAS.sSpecPara.sVoI.sNormal.dSag"),
        D2_PROP(VoI_Normal_Cor, "MEAS.sSpecPara.sVoI.sNormal.dCor"),
        D2_PROP(VoI_Normal_Tra, "MEAS.sSpecPara.sVoI.sNormal.dTra"),
        D2_PROP(VoI_InPlaneRotAngle, "MEAS.sSpecPara.sVoI.dInPlaneRot"),
        D2_PROP(VoI_Position_Sag, "MEAS.sSpecPara.sVoI.sPosition.dSag"),
        D2_PROP(VoI_Position_Cor, "MEAS.sSpecPara.sVoI.sPosition.dCor"),
        D2_PROP(VoI_Position_Tra, "MEAS.sSpecPara.sVoI.sPosition.dTra"),
        D2_PROP(VoI_RoFOV, "MEAS.sSpecPara.sVoI.dReadoutFOV"),
        D2_PROP(VoI_PeFOV, "MEAS.sSpecPara.sVoI.dPhaseFOV"),
        D2_PROP(VoI_SliceThickness, "MEAS.sSpecPara.sVoI.dThickness"),
        D2_PROP(Adj_Normal_Sag, "MEAS.sAdjData.sAdjVolume.sNormal.dSag"),
        D2_PROP(Adj_Normal_Cor, "MEAS.sAdjData.sAdjVolume.sNormal.dCor"),
        D2_PROP(Adj_Normal_Tra, "MEAS.sAdjData.sAdjVolume.sNormal.dTra"),
        D2_PROP(Adj_InPlaneRotAngle, "MEAS.sAdjData.sAdjVolume.dInPlaneRot"),
        D2_PROP(Adj_Position_Sag, "MEAS.sAdjData.sAdjVolume.sPosition.dSag"),
        D2_PROP(Adj_Position_Cor, "MEAS.sAdjData.sAdjVolume.sPosition.dCor"),
        D2_PROP(Adj_Position_Tra, "MEAS.sAdjData.sAdjVolume.sPosition.dTra"),
        D2_PROP(Adj_RoFOV, "MEAS.sAdjData.sAdjVolume.dReadoutFOV"),
        D2_PROP(Adj_PeFOV, "MEAS.sAdjData.sAdjVolume.dPhaseFOV"),
        D2_PROP(Adj_SliceThickness, "MEAS.sAdjData.sAdjVolume.dThickness"),
        D2_PROP(PatientPosition, "YAPS.tPatientPosition"),
        D2_PROP(DwellTimeSig, "MEAS.sRXSPEC.alDwellTime.0"),
        D2_PROP(SequenceString, "YAPS.tSequenceString"),
        D2_PROP(VarivevSequence, "YAPS.ucVarivevSequence"),
        D2_PROP(TI_Time, "MEAS.alTI.0"),
        D2_PROP(TR_Time, "MEAS.alTR.0"),
        D2_PROP(TE_Time, "MEAS.alTE"),
        D2_PROP(UncombImages, "MEAS.ucUncombImages"),
        D2_PROP(KSpace_Dimension, "MEAS.sKSpace.ucDimension"),
        D2_PROP(Averaging_Mode, "MEAS.sKSpace.ucAveragingMode"),
        D2_PROP(Nucleus, "MEAS.sTXSPEC.asNucleusInfo.0.tNucleus"),
        D2_PROP(Frequency, "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency"),
        D2_PROP(CoilElementName, ""),  // nothing fills it
        D2_PROP(CoilInfoText, "YAPS.atCoilSelectInfoText"),
        D2_PROP(FreqCorrAcc, "MEAS.sSpecPara.ucFreqCorrAcc"),
    };
}

}  // namespace

const std::vector<Rudu::PropertyDescriptor>& Derovo2::GetProperties(Derovo2*)
{
    static const std::vector<Rudu::PropertyDescriptor> table = BuildPropertyTable();
    return table;
}
