// Calibration runs (calib-refv, calib-vapor): one single-voxel readout per
// repetition while the sequence steps a flip angle.
//
// Reference voltage: repetition r excites with the nominal flip angle
// start + r x step. The transmitter delivers nominal x TraRef / Vtrue, so
// the water signal follows |sin(nominal x TraRef / Vtrue)| and peaks at the
// nominal angle 90 x Vtrue / TraRef. A correct calibration reports
// RefV = (nominal at the peak / 90) x TraRef, which is Vtrue within one step
// (step / 90 x TraRef).
//
// Water suppression: repetition r uses the VAPOR flip angle start + r x step;
// the residual water is W x (0.02 + ((angle - optimum) / 60)^2), smallest at
// the optimum, which a correct calibration reports within one step.
#include <cmath>
#include <cstdio>

#include "ProtocolBuilder.h"
#include "Readouts.h"
#include "Simulations.h"

namespace duvsim {

namespace {
constexpr double kTraRef = 250.0;       // V, the protocol's transmitter reference
constexpr double kWaterAmplitude = 20.0;  // unsuppressed water relative to NAA
constexpr double kWaterT2star = 0.050;    // s
}  // namespace

void simulateCalibration(const SimOptions& o, const OutputPaths& out) {
    const bool refv = o.kind == Kind::CalibRefV;
    Random rng(o.seed);
    const Sampling smp = samplingFor(o);
    const std::vector<Resonance> metabolites = withScaled(brainSpectrum(), "water", 0.0);
    checkBand(smp, metabolites);

    // The quantity a correct calibration finds, drawn from the seed unless given.
    const int steps = o.repetitions;
    const int start = refv ? 30 : 60;
    const int step = refv ? 10 : 5;
    double truthValue = o.calibTruth;
    if (truthValue == 0.0) truthValue = refv ? kTraRef * rng.uniform(0.85, 1.25) : rng.uniform(82.0, 102.0);
    auto signalOf = [&](int r) {
        const double nominal = start + step * r;
        return refv ? std::fabs(std::sin(nominal * kTraRef / truthValue * M_PI / 180.0))
                    : 0.02 + std::pow((nominal - truthValue) / 60.0, 2);
    };
    // The grid point a correct calibration picks, and whether its neighbours
    // come close enough for noise to pick one of them instead.
    int best = 0;
    for (int r = 1; r < steps; ++r)
        if (refv ? signalOf(r) > signalOf(best) : signalOf(r) < signalOf(best)) best = r;
    double runnerUp = refv ? 0.0 : 1e300;
    for (int r = 0; r < steps; ++r)
        if (r != best) runnerUp = refv ? std::max(runnerUp, signalOf(r)) : std::min(runnerUp, signalOf(r));
    // Water peak height in the spectrum: W x T2* / dwell per unit of relative
    // signal; noise per spectral point: sigma x sqrt(N). Ten noise units
    // apart, noise does not swap the two.
    const double peakPerUnit = kWaterAmplitude * kWaterT2star / smp.dwell;
    const double noisePerPoint = o.snr > 0.0 ? std::sqrt(double(smp.vectorSize)) / o.snr : 0.0;
    const bool unambiguous = std::fabs(runnerUp - signalOf(best)) * peakPerUnit > 10.0 * noisePerPoint + 1e-9;
    const double lastNominal = start + step * (steps - 1);
    const double optimumNominal = refv ? 90.0 * truthValue / kTraRef : truthValue;
    if (optimumNominal <= start || optimumNominal >= lastNominal)
        throw SimError("the calibration optimum (" + std::to_string(optimumNominal) +
                       " deg) must lie inside the stepped range; give more --repetitions");

    const Frame frame = makeFrame(VectorPat(0.0, 5.0, 25.0), orientationNormal(o.orientation), o.rotationRad);
    const SliceSpec voi{frame, 25.0, 25.0, 25.0};
    ProtocolSpec ps;
    ps.protocolName = refv ? "Calib_RefV" : "Calib_VAPOR";
    ps.sequenceFileName = "%CustomerSeq%\\svs_se";
    ps.sequenceString = "svs_se";
    ps.patientPosition = o.patientPosition;
    ps.frequencyMHz = smp.frequencyMHz;
    ps.trUs = kCalibTrUs;
    ps.teUs = kSpectroTeUs;
    ps.flipAngle1 = refv ? start : 90.0;
    ps.channels = o.channels;
    ps.repetitions = steps;
    ps.slices = {voi};
    ps.spectroscopy = true;
    ps.sampling = smp;
    ps.averages = 1;
    ps.voiValid = true;
    ps.voi = voi;
    ps.uncombined = false;
    ps.arrayPlot = refv ? 6 : 8;
    ps.autoCalib = 10;
    ps.calibIncrement = step;
    ps.vaporFlipAngle = refv ? 0.0 : start;
    ps.transmitterReference = kTraRef;
    writeProtocol(out.protocol, buildProtocol(ps));

    const std::vector<cplx> sens = coilSensitivities(o.channels, rng);
    const double sigma = o.snr > 0.0 ? acquiredNoiseSigma(smp, o.snr) : 0.0;
    const auto metaShapes = resonanceShapes(smp, metabolites);
    const std::vector<cplx> waterShape = resonanceShape(smp, 0.0, kWaterT2star);
    const DuvSoda soda = makeSoda(frame.centre, frame, voi.readoutFov, voi.phaseFov, voi.thickness, o.patientPosition);
    ReadoutStream stream(out.readouts, 1, smp, o.channels, kCalibTrUs);
    for (int r = 0; r < steps; ++r) {
        // Metabolites lie outside the calibration's window (+-100 Hz around
        // water); in the excitation calibration they follow the flip angle too.
        const double m = refv ? signalOf(r) : 1.0;
        std::vector<cplx> signal = fid(metaShapes, metabolites, m);
        const double w = kWaterAmplitude * signalOf(r);
        for (size_t k = 0; k < signal.size(); ++k) signal[k] += w * waterShape[k];
        ReadoutCounters c;
        c.repetition = uint16_t(r);
        c.evalMask = MDH_ONLINE;
        stream.add(c, soda, frame, channelSamples(signal, sens, sigma, rng));
    }
    stream.close();

    // --- truth ---
    json t = truthHeader(o, refv ? "transmitter reference-voltage calibration (excitation flip angle stepped)"
                                 : "water-suppression (VAPOR) flip-angle calibration");
    put(t, "sampling", samplingTruth(smp), "spectral sampling");
    json steppedJ = json::array();
    for (int r = 0; r < steps; ++r)
        steppedJ.push_back({{"repetition", r}, {"nominalDegrees", start + step * r}, {"relativeWater", signalOf(r)}});
    put(t, "steps", steppedJ, "each repetition's nominal angle and its water signal relative to full water");
    put(t, "startDegrees", start, "nominal angle of repetition 0");
    put(t, "stepDegrees", step, "angle increment per repetition (protocol Spec_MyCalib_Inc)");
    char line[64];
    if (refv) {
        const double step_V = step / 90.0 * kTraRef;
        const double expected = (start + step * best) / 90.0 * kTraRef;
        put(t, "transmitterReference", kTraRef, "the protocol's transmitter reference voltage TraRef, V");
        put(t, "refV", truthValue, "the true reference voltage Vtrue, V");
        put(t, "tolerance", step_V, "one step of the calibration: step / 90 x TraRef, V");
        put(t, "expectedRefV", expected, "what a correct calibration reports: the grid point of the largest water peak");
        std::snprintf(line, sizeof line, "refV = %.1f", expected);
        put(t, "expectedFileLines", std::vector<std::string>{"[CalibValues]", "", line, ""},
            "lines of the calibration values file after this run (the file is written anew)");
    } else {
        const int expected = start + step * best;
        put(t, "vaporFA", truthValue, "the true optimum VAPOR flip angle, degrees");
        put(t, "tolerance", double(step), "one step of the calibration, degrees");
        put(t, "expectedVaporFA", expected, "what a correct calibration reports: the grid point of the smallest water peak");
        std::snprintf(line, sizeof line, "vaporFA = %d ", expected);
        put(t, "expectedFileLines", std::vector<std::string>{line, ""},
            "lines this run appends to the calibration values file (note the blank after the number)");
    }
    put(t, "unambiguous", unambiguous,
        "whether the expected grid point beats its runner-up by more than noise could bridge; when false only "
        "the tolerance holds");
    writeJson(out.truth, t);
}

}  // namespace duvsim
