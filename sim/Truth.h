// truth.json: what a correct reconstruction of a simulated measurement must
// show. Every object carries a "description" object that explains each of
// its fields in words, so that the file documents itself.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Geometry.h"
#include "MetaboliteSignal.h"

namespace duvsim {

using duvfiles::asArray;
using duvfiles::toDevice;
using duvfiles::toPatientRas;
using duvfiles::toWorld;
using duvfiles::VectorPat;

using json = nlohmann::json;

// j[key] = value and j["description"][key] = description.
void put(json& j, const std::string& key, json value, const std::string& description);

// The frame of the files a measurement's run writes: the spectra's patient
// RAS or the image export's device-based frame (formats/Geometry.h).
enum class FileFrame { PatientRas, Export };

// A point in patient, device and world coordinates (mm); "world" is the
// frame of the files.
json placeTruth(const std::string& patientPosition, const VectorPat& p, FileFrame frame);
// A point or direction in the frame of the files.
std::array<double, 3> inFileFrame(const std::string& patientPosition, const VectorPat& p, FileFrame frame);

// Frequency, dwell, bandwidth and sizes of the sent spectra.
json samplingTruth(const Sampling& s);

// Each resonance: name, ppm, offset in Hz from the carrier, amplitude
// (absolute and relative to NAA), T2*.
json resonancesTruth(const Sampling& s, const std::vector<Resonance>& set, double scale = 1.0);

void writeJson(const std::string& path, const json& j);

}  // namespace duvsim
