// Chemical-shift imaging (csi2d, csi3d): a phantom in voxel space (a brain-like
// ellipse or ellipsoid, one voxel with raised choline, a small region without
// NAA), encoded into the phase-encoding counters: the first direction
// (readout R) in ushLine, the second (phase P) in ushPhase, the third (slab
// normal N, 3D only) in ushSeg, each with the phase of CsiEncoding.h.
#include <cmath>

#include "CsiEncoding.h"
#include "ProtocolBuilder.h"
#include "Readouts.h"
#include "Simulations.h"

namespace duvsim {

namespace {

struct Voxel {
    int i[3];
    int slice;
    VectorPat position;  // centre, patient coordinates
    bool inside;
    bool hot;
    bool withoutNaa;
    std::vector<double> amplitude;  // per resonance of the set
};

struct Grid {
    int n[3];
    double spacing[3];
    VectorPat dir[3];  // R, P, N
};

}  // namespace

void simulateCsi(const SimOptions& o, const OutputPaths& out) {
    const bool is3d = o.kind == Kind::Csi3d;
    Random rng(o.seed);
    const Sampling smp = samplingFor(o);
    const std::vector<Resonance> set = brainSpectrum();
    checkBand(smp, set);

    Grid g;
    for (int d = 0; d < 3; ++d) g.n[d] = o.grid[size_t(d)];
    // Readout FOV 160 mm, phase FOV 144 mm (non-square voxels show a swap of
    // the in-plane spacings), 2D slices 15 mm thick, 3D slab 80 mm.
    const double roFov = 160.0, peFov = 144.0, thickness = is3d ? 80.0 : 15.0, distFactor = 0.5;
    const Frame frame = makeFrame(VectorPat(5.0, -8.0, 22.0), orientationNormal(o.orientation), o.rotationRad);
    g.spacing[0] = roFov / g.n[0];
    g.spacing[1] = peFov / g.n[1];
    g.spacing[2] = is3d ? thickness / g.n[2] : thickness;
    g.dir[0] = frame.readout;
    g.dir[1] = frame.phase;
    g.dir[2] = frame.normal;

    std::vector<SliceSpec> slices;
    for (int s = 0; s < o.slices; ++s) {
        const double offset = (s - (o.slices - 1) * 0.5) * thickness * (1.0 + distFactor);
        Frame f = frame;
        f.centre = frame.centre + frame.normal * offset;
        slices.push_back({f, roFov, peFov, thickness});
    }

    // --- phantom ---
    const int hot[3] = {int(0.70 * g.n[0]), int(0.30 * g.n[1]), is3d ? int(0.6 * g.n[2]) : 0};
    const int lesion[3] = {int(0.28 * g.n[0]), int(0.65 * g.n[1]), is3d ? int(0.4 * g.n[2]) : 0};
    std::vector<Voxel> voxels;
    for (int s = 0; s < o.slices; ++s)
        for (int i3 = 0; i3 < g.n[2]; ++i3)
            for (int i2 = 0; i2 < g.n[1]; ++i2)
                for (int i1 = 0; i1 < g.n[0]; ++i1) {
                    Voxel v{{i1, i2, i3}, s, slices[size_t(s)].frame.centre, false, false, false, {}};
                    double r2 = 0.0;
                    const double semi[3] = {0.85, 0.85, 0.9};
                    for (int d = 0; d < 3; ++d) {
                        const double off = v.i[d] - (g.n[d] - 1) * 0.5;
                        if (d < 2 || is3d) v.position = v.position + g.dir[d] * (off * g.spacing[d]);
                        if (d < 2 || is3d) r2 += std::pow(off / (semi[d] * g.n[d] * 0.5), 2);
                    }
                    v.inside = r2 <= 1.0;
                    v.hot = v.inside && i1 == hot[0] && i2 == hot[1] && i3 == hot[2];
                    const int di = i1 - lesion[0], dj = i2 - lesion[1], dk = i3 - lesion[2];
                    v.withoutNaa = v.inside && di * di + dj * dj + dk * dk <= 1;
                    for (const Resonance& r : set) {
                        double a = v.inside ? r.amplitude : 0.0;
                        if (r.name == "Cho" && v.hot) a *= 3.0;
                        if (r.name == "NAA" && v.withoutNaa) a = 0.0;
                        v.amplitude.push_back(a);
                    }
                    voxels.push_back(v);
                }

    // --- protocol ---
    ProtocolSpec ps;
    ps.protocolName = is3d ? "CSI_3D_PRESS_TE30" : "CSI_2D_PRESS_TE30";
    ps.sequenceFileName = "%CustomerSeq%\\csi_se";
    ps.sequenceString = "csi_se";
    ps.patientPosition = o.patientPosition;
    ps.frequencyMHz = smp.frequencyMHz;
    ps.trUs = kCsiTrUs;
    ps.teUs = kSpectroTeUs;
    ps.channels = o.channels;
    ps.repetitions = o.repetitions;
    ps.slices = slices;
    ps.distFactor = distFactor;
    ps.baseResolution = g.n[0];
    ps.phaseEncodingLines = g.n[1];
    ps.partitions = is3d ? g.n[2] : 1;
    ps.kspaceDimension = is3d ? 4 : 2;
    ps.averagingMode = o.averagingMode;
    ps.spectroscopy = true;
    ps.sampling = smp;
    ps.averages = o.averages;
    ps.finalRead = g.n[0];
    ps.finalPhase = g.n[1];
    ps.finalSlice = is3d ? g.n[2] : 1;
    ps.voiValid = true;
    ps.voi = {frame, 0.6 * roFov, 0.6 * peFov, is3d ? 0.75 * thickness : thickness};
    ps.hammingFilter = o.hamming;
    ps.uncombined = o.uncombined == 1;
    ps.b0Correct = o.waterRef ? 1 : 0;
    writeProtocol(out.protocol, buildProtocol(ps));

    // --- k-space ---
    const auto shapes = resonanceShapes(smp, set);
    const std::vector<cplx> sens = coilSensitivities(o.channels, rng);
    const double sigma = o.snr > 0.0 ? acquiredNoiseSigma(smp, o.snr) : 0.0;
    const int nk = g.n[0] * g.n[1] * g.n[2];
    const size_t perSlice = size_t(nk);
    // Offsets of every voxel from its slice centre along the three directions.
    std::vector<std::array<double, 3>> offsets(voxels.size());
    for (size_t v = 0; v < voxels.size(); ++v) {
        const VectorPat rel = voxels[v].position - slices[size_t(voxels[v].slice)].frame.centre;
        for (int d = 0; d < 3; ++d) offsets[v][size_t(d)] = (d < 2 || is3d) ? rel.dot(g.dir[d]) : 0.0;
    }
    auto kspaceReadout = [&](int slice, int m1, int m2, int m3) {
        const int m[3] = {m1, m2, m3};
        std::vector<cplx> amp(set.size(), 0.0);
        for (size_t v = size_t(slice) * perSlice; v < size_t(slice + 1) * perSlice; ++v) {
            if (!voxels[v].inside) continue;
            double phase = 0.0;
            for (int d = 0; d < 3; ++d) phase += encodingPhase(m[d], g.n[d], g.spacing[d], offsets[v][size_t(d)]);
            const cplx e = std::polar(1.0, phase);
            for (size_t r = 0; r < set.size(); ++r) amp[r] += voxels[v].amplitude[r] * e;
        }
        std::vector<cplx> signal(size_t(smp.acquired()), 0.0);
        for (size_t r = 0; r < set.size(); ++r)
            for (size_t t = 0; t < signal.size(); ++t) signal[t] += amp[r] * shapes[r][t];
        return signal;
    };

    ReadoutStream stream(out.readouts, o.slices, smp, o.channels, kCsiTrUs);
    std::vector<DuvSoda> sodas;
    for (const SliceSpec& s : slices)
        sodas.push_back(makeSoda(s.frame.centre, s.frame, g.spacing[0], g.spacing[1], thickness, o.patientPosition));
    if (o.waterRef) {
        // Unsuppressed water of the whole phantom, not phase encoded.
        double inside = 0.0;
        for (const Voxel& v : voxels) inside += v.inside ? 1.0 : 0.0;
        const auto water = fid({resonanceShape(smp, 0.0, 0.040)}, {{"water", kCarrierPpm, kUnsuppressedWater * inside, 0.040}});
        ReadoutCounters w;
        w.evalMask = MDH_PHASCOR;
        w.line = uint16_t(g.n[0] / 2);
        w.phase = uint16_t(g.n[1] / 2);
        w.seg = uint16_t(g.n[2] / 2);
        stream.add(w, sodas[0], slices[0].frame, channelSamples(water, sens, sigma, rng));
    }
    // The signal of a k-space point is the same for every average: compute it once.
    std::vector<std::vector<cplx>> signals(perSlice * size_t(o.slices));
    for (int s = 0; s < o.slices; ++s)
        for (int m3 = 0; m3 < g.n[2]; ++m3)
            for (int m2 = 0; m2 < g.n[1]; ++m2)
                for (int m1 = 0; m1 < g.n[0]; ++m1)
                    signals[size_t(s) * perSlice + size_t((m3 * g.n[1] + m2) * g.n[0] + m1)] =
                        kspaceReadout(s, m1, m2, m3);
    auto acquire = [&](int rep, int ave, int m1, int m2, int m3) {
        for (int s = 0; s < o.slices; ++s) {
            ReadoutCounters c;
            c.line = uint16_t(m1);
            c.phase = uint16_t(m2);
            c.seg = uint16_t(m3);
            c.set = uint16_t(ave);
            c.slice = uint16_t(s);
            c.repetition = uint16_t(rep);
            c.evalMask = MDH_ONLINE;
            const auto& sig = signals[size_t(s) * perSlice + size_t((m3 * g.n[1] + m2) * g.n[0] + m1)];
            stream.add(c, sodas[size_t(s)], slices[size_t(s)].frame, channelSamples(sig, sens, sigma, rng));
        }
    };
    for (int rep = 0; rep < o.repetitions; ++rep) {
        if (o.averagingMode == 2) {  // long term: the whole k-space once per average
            for (int a = 0; a < o.averages; ++a)
                for (int m3 = 0; m3 < g.n[2]; ++m3)
                    for (int m2 = 0; m2 < g.n[1]; ++m2)
                        for (int m1 = 0; m1 < g.n[0]; ++m1) acquire(rep, a, m1, m2, m3);
        } else {  // short term: every average of a point before the next point
            for (int m3 = 0; m3 < g.n[2]; ++m3)
                for (int m2 = 0; m2 < g.n[1]; ++m2)
                    for (int m1 = 0; m1 < g.n[0]; ++m1)
                        for (int a = 0; a < o.averages; ++a) acquire(rep, a, m1, m2, m3);
        }
    }
    stream.close();

    // --- truth ---
    json t = truthHeader(o, is3d ? "3D chemical-shift imaging of a phantom" : "2D chemical-shift imaging of a phantom");
    put(t, "sampling", samplingTruth(smp), "spectral sampling of the raw readouts and of the sent spectra");
    put(t, "peaks", resonancesTruth(smp, set), "resonances of a normal voxel inside the phantom");
    json grid;
    put(grid, "size", std::vector<int>{g.n[0], g.n[1], g.n[2]},
        "phase-encoding points along the first (readout), second (phase) and third (slab normal) direction");
    put(grid, "spacingMm", std::vector<double>{g.spacing[0], g.spacing[1], g.spacing[2]},
        "voxel size along the three directions (the third: partition thickness in 3D, slice thickness in 2D), mm");
    put(grid, "fovMm", std::vector<double>{roFov, peFov, thickness}, "readout FOV, phase FOV, slice or slab thickness, mm");
    json dirs;
    for (int d = 0; d < 3; ++d) {
        const char* names[3] = {"first", "second", "third"};
        json dj;
        put(dj, "patient", asArray(g.dir[d]), "unit vector, patient coordinates");
        put(dj, "world", toPatientRas(g.dir[d]), "unit vector, world frame (the patient's RAS)");
        dirs[names[d]] = dj;
    }
    dirs["description"] = {{"first", "readout direction R (scan header ushLine)"},
                           {"second", "phase direction P (ushPhase)"},
                           {"third", "slab normal N (ushSeg, 3D only)"}};
    put(grid, "directions", dirs, "the encoded directions");
    json slicesJ = json::array();
    for (const SliceSpec& s : slices)
        slicesJ.push_back(placeTruth(o.patientPosition, s.frame.centre, FileFrame::PatientRas));
    put(grid, "sliceCentres", slicesJ, "centre of each slice or slab (the protocol's slice position)");
    put(t, "grid", grid, "the CSI grid: voxel (i1, i2, i3) of a slice lies at centre + sum (i - (n-1)/2) x spacing x direction");

    // Voxels in lists are compact (their fields are described once, below);
    // the hot voxel describes its own.
    auto amplitudes = [&](const Voxel& v) {
        json amps;
        for (size_t r = 0; r < set.size(); ++r) amps[set[r].name] = v.amplitude[r];
        return amps;
    };
    auto compact = [&](const Voxel& v) {
        return json{{"index", {v.i[0], v.i[1], v.i[2]}},
                    {"slice", v.slice},
                    {"inside", v.inside},
                    {"patient", asArray(v.position)},
                    {"world", toPatientRas(v.position)},
                    {"amplitudes", amplitudes(v)}};
    };
    const std::string fields =
        "; each with index (along the first, second and third direction, before any reorientation), slice, "
        "inside (the phantom), patient and world position of its centre (mm) and the amplitude of each resonance";
    json all = json::array(), lesionJ = json::array();
    for (const Voxel& v : voxels) {
        all.push_back(compact(v));
        if (v.withoutNaa) lesionJ.push_back(compact(v));
        if (!v.hot) continue;
        json h = placeTruth(o.patientPosition, v.position, FileFrame::PatientRas);
        put(h, "index", std::vector<int>{v.i[0], v.i[1], v.i[2]},
            "indices along the first, second and third direction (before any reorientation)");
        put(h, "slice", v.slice, "slice of the voxel");
        put(h, "amplitudes", amplitudes(v), "amplitude of each resonance");
        put(t, "hotVoxel", h, "the voxel with raised choline (3 x the normal amplitude): the choline maximum of a "
                              "correct reconstruction lies here (within half a voxel)");
    }
    put(t, "noNaaVoxels", lesionJ, "voxels inside the phantom without NAA (a small lesion)" + fields);
    put(t, "voxels", all, "every voxel of every slice" + fields);

    put(t, "noiseSigma", sigma / std::sqrt(double(smp.oversampling)),
        "noise standard deviation (real and imaginary part) per kept point of one readout; the unnormalised "
        "spatial transform gives a voxel sqrt(n1 n2 n3) times this noise and n1 n2 n3 times its amplitude");
    put(t, "averages", o.averages, "averages per k-space point (scan header set counter)");
    put(t, "averagingMode", o.averagingMode, "1: all averages of a point in a row; 2: the whole k-space once per average");
    put(t, "readoutsPerAverage", nk * o.slices, "readouts of one full k-space pass (all slices)");
    writeJson(out.truth, t);
}

}  // namespace duvsim
