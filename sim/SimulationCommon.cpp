#include <fstream>
#include <stdexcept>

#include "Simulations.h"

namespace duvsim {

VectorPat orientationNormal(const std::string& orientation) {
    if (orientation == "tra") return {0.0, 0.0, 1.0};
    if (orientation == "cor") return {0.0, 1.0, 0.0};
    if (orientation == "sag") return {1.0, 0.0, 0.0};
    // Tilted toward the patient's left and toward anterior: no component is
    // zero, so neither in-plane direction lies along a patient axis.
    if (orientation == "oblique") return VectorPat(0.28, -0.34, 0.90).normalized();
    throw SimError("--orientation: expected tra, cor, sag or oblique, got \"" + orientation + "\"");
}

Sampling samplingFor(const SimOptions& o) {
    Sampling s;
    // 1H at 3 T or 7 T; the kept bandwidth grows with the field so that the
    // metabolite range stays inside it (2000 Hz and 4000 Hz).
    s.frequencyMHz = o.fieldTesla == 7 ? 297.2 : 123.2;
    s.dwell = o.fieldTesla == 7 ? 250e-6 : 500e-6;
    s.vectorSize = o.vectorSize;
    s.oversampling = o.oversampling;
    s.pre = o.preEcho;
    // As many samples after the vector as before the echo, so that the
    // reconstruction can centre its oversampling-removal windows.
    s.post = o.preEcho;
    return s;
}

void writeProtocol(const std::string& path, const XProtocol& protocol) {
    std::ofstream f(path);
    if (!f) throw std::runtime_error(path + ": cannot be written");
    f << "# Measurement protocol written by duv simulate\n";
    if (protocol.SaveToStream(f) != 0 || !f) throw std::runtime_error(path + ": write failed");
}

json truthHeader(const SimOptions& o, const std::string& whatItIs) {
    json t;
    put(t, "about", whatItIs, "what this measurement is");
    put(t, "kind", o.kindName, "the kind given to duv simulate");
    put(t, "seed", o.seed, "seed of the random numbers (noise, sensitivities, calibration truth)");
    json opt;
    opt["channels"] = o.channels;
    opt["averages"] = o.averages;
    opt["vectorSize"] = o.vectorSize;
    opt["oversampling"] = o.oversampling;
    opt["preEcho"] = o.preEcho;
    opt["matrix"] = o.grid;
    opt["orientation"] = o.orientation;
    opt["rotationDegrees"] = o.rotationDeg;
    opt["patientPosition"] = o.patientPosition;
    opt["snr"] = o.snr;
    opt["waterRef"] = o.waterRef;
    opt["noiseScan"] = o.noiseScan;
    opt["repetitions"] = o.repetitions;
    opt["fieldTesla"] = o.fieldTesla;
    opt["refScans"] = o.refScans;
    opt["uncombined"] = o.uncombined == 1;
    opt["averagingMode"] = o.averagingMode;
    opt["hamming"] = o.hamming;
    opt["slices"] = o.slices;
    opt["imageFormat"] = o.imageFormat;
    put(t, "options", opt, "the options in effect, defaults of the kind filled in");
    return t;
}

}  // namespace duvsim
