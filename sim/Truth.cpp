#include "Truth.h"

#include <fstream>
#include <stdexcept>

namespace duvsim {

void put(json& j, const std::string& key, json value, const std::string& description) {
    j[key] = std::move(value);
    j["description"][key] = description;
}

std::array<double, 3> inFileFrame(const std::string& patientPosition, const VectorPat& p, FileFrame frame) {
    return frame == FileFrame::PatientRas ? toPatientRas(p) : toWorld(patientPosition, p);
}

json placeTruth(const std::string& patientPosition, const VectorPat& p, FileFrame frame) {
    json j;
    put(j, "patient", asArray(p), "position in patient coordinates (sag, cor, tra) = (left, posterior, head), mm");
    put(j, "device", toDevice(patientPosition, p),
        "position in device coordinates (X right seen from the front of the bore, Y up, Z out of the bore), mm");
    put(j, "world", inFileFrame(patientPosition, p, frame),
        frame == FileFrame::PatientRas
            ? "position in the world frame of the NIfTI-MRS files: the patient's RAS (-sag, -cor, tra), mm"
            : "position in the world frame of the exported NIfTI-1 files, (-X, Y, -Z) of the device "
              "coordinates (the patient's RAS for HFS only), mm");
    return j;
}

json samplingTruth(const Sampling& s) {
    json j;
    put(j, "frequencyMHz", s.frequencyMHz, "1H resonance frequency of the scanner (spectrometer frequency), MHz");
    put(j, "carrierPpm", kCarrierPpm, "ppm of the carrier frequency: water is on resonance");
    put(j, "vectorSize", s.vectorSize, "complex points per sent spectrum (after oversampling removal)");
    put(j, "dwellSeconds", s.dwell, "time between points of the sent spectra (the data set's RealDwellTime), s");
    put(j, "bandwidthHz", 1.0 / s.dwell, "spectral width of the sent spectra, Hz");
    put(j, "oversampling", s.oversampling, "readout oversampling factor of the raw readouts (1 or 2)");
    put(j, "acquiredDwellNs", s.dwellTimeSigNs(), "dwell time of the raw readout samples (protocol DwellTimeSig), ns");
    put(j, "preEchoSamples", s.pre, "raw samples before the echo top (scan header program parameter 4)");
    put(j, "postSamples", s.post, "raw samples after the kept vector");
    put(j, "samplesInScan", s.acquired(), "raw samples per readout and channel");
    return j;
}

json resonancesTruth(const Sampling& s, const std::vector<Resonance>& set, double scale) {
    double naa = 0.0;
    for (const Resonance& r : set)
        if (r.name == "NAA") naa = r.amplitude;
    json list = json::array();
    for (const Resonance& r : set) {
        json p;
        put(p, "name", r.name, "resonance");
        put(p, "ppm", r.ppm, "chemical shift, ppm");
        put(p, "hz", s.offsetHz(r.ppm), "offset from the carrier (4.7 ppm), Hz; positive above the carrier");
        put(p, "amplitude", r.amplitude * scale,
            "FID amplitude at the echo top for one channel of unit sensitivity and one average (the peak's integral)");
        put(p, "relativeAmplitude", naa > 0.0 ? r.amplitude / naa : 0.0, "amplitude relative to NAA");
        put(p, "t2starSeconds", r.t2star, "exponential decay constant; linewidth (FWHM) = 1 / (pi T2*)");
        list.push_back(p);
    }
    return list;
}

void writeJson(const std::string& path, const json& j) {
    std::ofstream f(path);
    if (!f) throw std::runtime_error(path + ": cannot be written");
    f << j.dump(2) << "\n";
    if (!f) throw std::runtime_error(path + ": write failed");
}

}  // namespace duvsim
