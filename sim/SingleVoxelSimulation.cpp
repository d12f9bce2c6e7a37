// Single-voxel spectroscopy (svs, svs-multicoil): FIDs of a brain-like
// metabolite set from one volume of interest, every average a readout in the
// set counter, optional noise and internal water-reference readouts before
// them and automatic reference scans after them.
#include <cmath>

#include "ProtocolBuilder.h"
#include "Readouts.h"
#include "Simulations.h"

namespace duvsim {

void simulateSingleVoxel(const SimOptions& o, const OutputPaths& out) {
    Random rng(o.seed);
    const Sampling smp = samplingFor(o);
    const std::vector<Resonance> set = brainSpectrum();
    checkBand(smp, set);

    const Frame frame = makeFrame(VectorPat(12.0, -8.0, 18.0), orientationNormal(o.orientation), o.rotationRad);
    SliceSpec voi{frame, 20.0, 20.0, 20.0};

    ProtocolSpec ps;
    ps.protocolName = o.channels > 1 ? "SVS_PRESS_TE30_array" : "SVS_PRESS_TE30";
    ps.sequenceFileName = "%CustomerSeq%\\svs_se";
    ps.sequenceString = "svs_se";
    ps.patientPosition = o.patientPosition;
    ps.frequencyMHz = smp.frequencyMHz;
    ps.trUs = kSvsTrUs;
    ps.teUs = kSpectroTeUs;
    ps.channels = o.channels;
    ps.repetitions = o.repetitions;
    ps.slices = {voi};
    ps.spectroscopy = true;
    ps.sampling = smp;
    ps.averages = o.averages;
    ps.voiValid = true;
    ps.voi = voi;
    ps.uncombined = o.uncombined == 1;
    ps.b0Correct = o.waterRef ? 1 : 0;
    ps.refScanMode = o.refScans > 0 ? 2 : 1;
    ps.refScanCount = o.refScans;
    ps.averagingMode = o.averagingMode;
    writeProtocol(out.protocol, buildProtocol(ps));

    const std::vector<cplx> sens = coilSensitivities(o.channels, rng);
    const double sigma = o.snr > 0.0 ? acquiredNoiseSigma(smp, o.snr) : 0.0;
    const auto shapes = resonanceShapes(smp, set);
    const std::vector<cplx> metabolites = fid(shapes, set);
    const std::vector<cplx> water = fid({resonanceShape(smp, 0.0, 0.040)}, {{"water", kCarrierPpm, kUnsuppressedWater, 0.040}});
    std::vector<cplx> unsuppressed = metabolites;  // reference scans: no water suppression
    for (size_t m = 0; m < unsuppressed.size(); ++m) unsuppressed[m] += water[m];
    const std::vector<cplx> nothing(size_t(smp.acquired()), 0.0);

    const DuvSoda soda = makeSoda(frame.centre, frame, voi.readoutFov, voi.phaseFov, voi.thickness, o.patientPosition);
    ReadoutStream stream(out.readouts, 1, smp, o.channels, kSvsTrUs);
    for (int rep = 0; rep < o.repetitions; ++rep) {
        ReadoutCounters c;
        c.repetition = uint16_t(rep);
        if (rep == 0 && o.noiseScan) {
            ReadoutCounters n = c;
            n.evalMask = MDH_NOISEADJSCAN;
            stream.add(n, soda, frame, channelSamples(nothing, sens, sigma, rng));
        }
        if (rep == 0 && o.waterRef) {
            ReadoutCounters w = c;
            w.evalMask = MDH_PHASCOR;
            stream.add(w, soda, frame, channelSamples(water, sens, sigma, rng));
        }
        for (int a = 0; a < o.averages; ++a) {
            ReadoutCounters d = c;
            d.set = uint16_t(a);
            d.evalMask = MDH_ONLINE;
            stream.add(d, soda, frame, channelSamples(metabolites, sens, sigma, rng));
        }
        for (int j = 0; j < 4 * o.refScans; ++j) {
            ReadoutCounters r = c;
            r.set = uint16_t(o.averages + j);
            r.refScanFlag = 1;
            r.evalMask = MDH_ONLINE;
            stream.add(r, soda, frame, channelSamples(unsuppressed, sens, sigma, rng));
        }
    }
    stream.close();

    // --- truth ---
    json t = truthHeader(o, o.channels > 1 ? "single-voxel spectroscopy with a receive array"
                                           : "single-voxel spectroscopy with one receive channel");
    put(t, "sampling", samplingTruth(smp), "spectral sampling of the raw readouts and of the sent spectra");
    put(t, "peaks", resonancesTruth(smp, set),
        "resonances of the voxel, highest ppm last; a correct spectrum shows each at its ppm with these amplitude "
        "ratios (the NIfTI-MRS files: higher ppm at higher index of a centred FFT; the spectra the module sends "
        "rotate the other way)");
    json voxel = placeTruth(o.patientPosition, frame.centre, FileFrame::PatientRas);
    put(voxel, "sizeMm", std::vector<double>{voi.readoutFov, voi.phaseFov, voi.thickness},
        "edge lengths along readout, phase and normal, mm");
    put(voxel, "normal", asArray(frame.normal), "unit normal, patient coordinates");
    put(voxel, "readout", asArray(frame.readout), "readout direction (the data set's RowVec), patient coordinates");
    put(voxel, "phase", asArray(frame.phase), "phase direction (the data set's ColVec), patient coordinates");
    put(t, "voxel", voxel, "the volume of interest");

    json channels = json::array();
    double sumSq = 0.0;
    for (size_t c = 0; c < sens.size(); ++c) {
        json ch;
        put(ch, "index", c, "receive channel");
        put(ch, "sensitivity", std::vector<double>{sens[c].real(), sens[c].imag()}, "complex sensitivity (re, im)");
        put(ch, "magnitude", std::abs(sens[c]), "|sensitivity|; the SNR-optimal combination weight (equal noise)");
        put(ch, "phaseRadians", std::arg(sens[c]), "phase of the sensitivity");
        put(ch, "expectedSnr", o.snr > 0.0 ? std::abs(sens[c]) * o.snr * std::sqrt(double(o.averages) / 2.0) : 0.0,
            "NAA amplitude over the RMS of the complex noise per point of this channel's summed averages "
            "(time domain; --snr counts the noise of one part, real or imaginary)");
        channels.push_back(ch);
        sumSq += std::norm(sens[c]);
    }
    put(t, "channels", channels, "receive channels; every channel has the same, independent noise");
    put(t, "optimalCombinedSnr", o.snr > 0.0 ? std::sqrt(sumSq) * o.snr * std::sqrt(double(o.averages) / 2.0) : 0.0,
        "root of the summed squared channel SNRs: what an optimal combination reaches");
    put(t, "noiseSigma", sigma / std::sqrt(double(smp.oversampling)),
        "noise standard deviation of the real and of the imaginary part per kept point, one average, before "
        "the reconstruction's scaling (0: no noise)");
    put(t, "averages", o.averages, "averages, one readout each (scan header set counter 0 ... averages-1)");
    put(t, "repetitions", o.repetitions, "repetitions (scan header repetition counter)");
    put(t, "waterReference", o.waterRef,
        "an internal water-reference readout (MDH_PHASCOR, unsuppressed water 30 x NAA) precedes the averages; "
        "the combination takes its weights and phases from it");
    put(t, "noiseScan", o.noiseScan, "a noise readout (MDH_NOISEADJSCAN, no signal) comes first");
    put(t, "refScans", 4 * o.refScans,
        "automatic reference-scan readouts (program parameter 5 = 1, unsuppressed water) after the averages; "
        "they must not reach the summed spectrum");

    json sets = json::array();
    if (o.channels > 1 && o.uncombined == 1)
        for (int c = 0; c < o.channels; ++c)
            for (int rep = 0; rep < o.repetitions; ++rep)
                sets.push_back({{"imageComment", "_u"}, {"repetition", rep}, {"channel", c}, {"combined", false}});
    for (int rep = 0; rep < o.repetitions; ++rep)
        sets.push_back({{"imageComment", o.channels > 1 ? "_c_" + std::to_string(o.channels) : std::string()},
                        {"repetition", rep},
                        {"combined", true}});
    put(t, "expectedDataSets", sets,
        "data sets a correct run sends, in order: each uncombined channel (when asked for) with all its "
        "repetitions, then the combined spectra, with their ImageComment");
    writeJson(out.truth, t);
}

}  // namespace duvsim
