// What `duv simulate` was asked for, with the defaults of each kind filled
// in and every value checked before anything is written.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace duvsim {

// A request the simulator cannot honour; `duv simulate` reports it in one
// line and exits with status 2.
class SimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Kind { Svs, SvsMulticoil, Csi2d, Csi3d, CalibRefV, CalibVapor, Images2d, Images3d };

const std::vector<std::string>& kindNames();  // in the order of Kind
Kind kindFromName(const std::string& name);   // throws SimError

struct SimOptions {
    std::string kindName;
    std::string dir;
    uint64_t seed = 1;

    // 0 (or empty) means "the kind's default"; resolve() fills them in.
    int channels = 0;
    int averages = 0;
    int vectorSize = 0;
    int oversampling = 2;
    int preEcho = 0;
    std::string matrix;
    std::string orientation;
    std::string patientPosition = "HFS";
    double snr = 20.0;
    bool waterRef = false;
    bool noiseScan = false;
    int repetitions = 0;
    int fieldTesla = 3;
    int refScans = 0;
    int uncombined = -1;  // -1: kind default, 0 no, 1 yes
    int averagingMode = 2;
    bool hamming = false;
    int slices = 0;
    std::string imageFormat = "int16";
    double rotationDeg = 1e300;  // unset: 20 degrees for oblique, else 0
    double calibTruth = 0.0;     // 0: drawn from the seed (reference voltage in V, or VAPOR flip angle in degrees)

    // Filled by resolve().
    Kind kind = Kind::Svs;
    std::vector<int> grid;  // matrix: 1 (SVS) .. 3 numbers
    double rotationRad = 0.0;
};

// Fills the defaults of the kind and checks every value; throws SimError.
void resolve(SimOptions& o);

bool isSpectroscopy(Kind k);
bool isCsi(Kind k);

}  // namespace duvsim
