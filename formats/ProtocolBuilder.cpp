#include "ProtocolBuilder.h"

#include <cmath>
#include <stdexcept>

namespace duvfiles {

namespace {

void setVolume(XProtocol& p, const std::string& base, const SliceSpec& s) {
    const Frame& f = s.frame;
    p.SetDouble(base + ".sPosition.dSag", f.centre.sag());
    p.SetDouble(base + ".sPosition.dCor", f.centre.cor());
    p.SetDouble(base + ".sPosition.dTra", f.centre.tra());
    p.SetDouble(base + ".sNormal.dSag", f.normal.sag());
    p.SetDouble(base + ".sNormal.dCor", f.normal.cor());
    p.SetDouble(base + ".sNormal.dTra", f.normal.tra());
    p.SetDouble(base + ".dInPlaneRot", f.rotation);
    p.SetDouble(base + ".dReadoutFOV", s.readoutFov);
    p.SetDouble(base + ".dPhaseFOV", s.phaseFov);
    p.SetDouble(base + ".dThickness", s.thickness);
}

// Parts every measurement has: sequence, patient, timing, transmitter,
// receive coils, slice array, k-space, and what an image writer reads.
void addCommon(XProtocol& p, const ProtocolSpec& s) {
    p.SetString("MEAS.tProtocolName", s.protocolName);
    p.SetString("MEAS.tSequenceFileName", s.sequenceFileName);
    p.SetString("YAPS.tSequenceString", s.sequenceString);
    p.SetBool("YAPS.ucVarivevSequence", false);
    p.SetString("YAPS.tPatientPosition", s.patientPosition);
    p.SetLong("MEAS.alTR.0", s.trUs);
    p.SetLong("MEAS.alTE.0", s.teUs);
    p.SetLong("MEAS.alTI.0", s.tiUs);
    p.SetDouble("MEAS.adFlipAngleDegree.0", s.flipAngle1);
    p.SetDouble("MEAS.adFlipAngleDegree.1", s.flipAngle2);
    p.SetLong("MEAS.lRepetitions", s.repetitions - 1);  // the protocol counts repetitions after the first
    p.SetLong("MEAS.lContrasts", 1);
    p.SetLong("MEAS.lAverages", s.averages);

    p.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "1H");
    p.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", std::lround(s.frequencyMHz * 1e6));
    p.SetDouble("YAPS.flTransRefAmpl", s.transmitterReference);

    // Receive coils: one element per channel, all connected.
    p.SetLong("YAPS.iMaxNoOfRxChannels", s.channels);
    for (int c = 0; c < s.channels; ++c) {
        const std::string i = std::to_string(c);
        p.SetLong("MEAS.sCoilSelectMeas.aRxCoilSelectData.0.asList." + i + ".lRxChannelConnected", c + 1);
        p.SetString("YAPS.CoilSelects.0." + i + ".CoilElementID", "HC" + std::to_string(c + 1));
    }
    p.SetString("YAPS.atCoilSelectInfoText", s.channels > 1 ? "HeadArray" : "HeadVolume");
    p.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", false);
    p.SetLong("CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE", 2);  // simulated measurement

    p.SetLong("MEAS.sSliceArray.lSize", long(s.slices.size()));
    for (size_t i = 0; i < s.slices.size(); ++i)
        setVolume(p, "MEAS.sSliceArray.asSlice." + std::to_string(i), s.slices[i]);
    p.SetDouble("MEAS.sGroupArray.asGroup.0.dDistFact", s.distFactor);
    // The adjustment volume covers the first slice or slab.
    setVolume(p, "MEAS.sAdjData.sAdjVolume", s.slices.front());

    p.SetLong("MEAS.sKSpace.lBaseResolution", s.baseResolution);
    p.SetLong("MEAS.sKSpace.lPhaseEncodingLines", s.phaseEncodingLines);
    p.SetLong("MEAS.sKSpace.lPartitions", s.partitions);
    p.SetLong("MEAS.sKSpace.lImagesPerSlab", s.imagesPerSlab);
    p.SetLong("MEAS.sKSpace.ucDimension", s.kspaceDimension);
    p.SetLong("MEAS.sKSpace.ucAveragingMode", s.averagingMode);
    p.SetLong("YAPS.iNoOfFourierPartitions", s.measuredPartitions);
    p.SetLong("YAPS.iNSet", 1);
    p.SetLong("YAPS.iNIda", 1);
    p.SetLong("MEAS.sPhysioImaging.lPhases", 1);

    // Gradient offsets and shim currents of the adjustment.
    p.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetX", 14);
    p.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetY", -37);
    p.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetZ", 22);
    const long shims[5] = {312, -145, 87, -24, 410};
    for (int i = 0; i < 5; ++i) p.SetLong("MEAS.sGRADSPEC.alShimCurrent." + std::to_string(i), shims[i]);

    // Program parameters of the reconstruction: 10 repetitions, 11 averages
    // mode, 12 editing steps, 13 display mode; the others unused here.
    for (int i = 0; i < 24; ++i) p.SetLong("YAPS.alDUVProgramPara." + std::to_string(i), 0);
    p.SetLong("YAPS.alDUVProgramPara.10", s.spectroscopy ? s.repetitions : 0);
    p.SetLong("YAPS.alDUVProgramPara.11", s.resolveAverages);
    p.SetLong("YAPS.alDUVProgramPara.13", s.arrayPlot);
}

void addSpectroscopy(XProtocol& p, const ProtocolSpec& s) {
    const Sampling& smp = s.sampling;
    p.SetLong("MEAS.sSpecPara.lVectorSize", smp.vectorSize);
    p.SetDouble("YAPS.flReadoutOSFactor", double(smp.oversampling));
    p.SetBool("MEAS.sSpecPara.ucRemoveOversampling", smp.oversampling > 1);
    p.SetLong("MEAS.sRXSPEC.alDwellTime.0", smp.dwellTimeSigNs());
    p.SetLong("MEAS.sSpecPara.lFinalMatrixSizeRead", s.finalRead);
    p.SetLong("MEAS.sSpecPara.lFinalMatrixSizePhase", s.finalPhase);
    p.SetLong("MEAS.sSpecPara.lFinalMatrixSizeSlice", s.finalSlice);
    p.SetBool("MEAS.sSpecPara.ucVoIValid", s.voiValid);
    setVolume(p, "MEAS.sSpecPara.sVoI", s.voi);
    p.SetBool("MEAS.sHammingFilter.ucOn", s.hammingFilter);
    p.SetLong("MEAS.sHammingFilter.lWidthPercent", s.hammingWidthPercent);
    p.SetBool("MEAS.ucUncombImages", s.uncombined);
    p.SetBool("MEAS.sSpecPara.ucFreqCorrAcc", false);
    p.SetLong("MEAS.sSpecPara.lAutoRefScanMode", s.refScanMode);
    p.SetLong("MEAS.sSpecPara.lAutoRefScanNo", s.refScanCount);
    p.SetLong("MEAS.sSpecPara.lRFExcitationBandwidth", 1200);
    p.SetLong("MEAS.sSpecPara.lAcquisitionDelay", 0);
    p.SetLong("MEAS.sPrepPulses.ucWaterSat", s.arrayPlot == 6 ? 0 : 1);

    // Free sequence parameters: 4 calibration step, 5 trace FOV, 45 water
    // reference processing, 46 automatic calibration; 3, 9, 10 the VAPOR
    // flip angle and delays.
    for (int i = 0; i < 64; ++i) p.SetLong("MEAS.sWipMemBlock.alFree." + std::to_string(i), 0);
    for (int i = 0; i < 16; ++i) p.SetDouble("MEAS.sWipMemBlock.adFree." + std::to_string(i), 0.0);
    p.SetLong("MEAS.sWipMemBlock.alFree.4", s.calibIncrement);
    p.SetLong("MEAS.sWipMemBlock.alFree.45", s.b0Correct);
    p.SetLong("MEAS.sWipMemBlock.alFree.46", s.autoCalib);
    p.SetDouble("MEAS.sWipMemBlock.adFree.3", s.vaporFlipAngle);
    p.SetDouble("MEAS.sWipMemBlock.adFree.9", 26.0);   // ms
    p.SetDouble("MEAS.sWipMemBlock.adFree.10", 30.0);  // ms
}

}  // namespace

XProtocol buildProtocol(const ProtocolSpec& spec) {
    if (spec.slices.empty()) throw std::logic_error("a protocol needs at least one slice");
    XProtocol p;
    addCommon(p, spec);
    if (spec.spectroscopy) addSpectroscopy(p, spec);
    return p;
}

}  // namespace duvfiles
