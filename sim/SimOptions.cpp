#include "SimOptions.h"

#include <cmath>
#include <sstream>

#include "duvhost/MrMath.h"

namespace duvsim {

const std::vector<std::string>& kindNames() {
    static const std::vector<std::string> names = {"svs",        "svs-multicoil", "csi2d",    "csi3d",
                                                   "calib-refv", "calib-vapor",   "images2d", "images3d"};
    return names;
}

Kind kindFromName(const std::string& name) {
    const auto& names = kindNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return Kind(i);
    throw SimError("unknown kind \"" + name + "\"");
}

bool isSpectroscopy(Kind k) { return k != Kind::Images2d && k != Kind::Images3d; }
bool isCsi(Kind k) { return k == Kind::Csi2d || k == Kind::Csi3d; }

namespace {

bool powerOfTwo(long n) { return n > 0 && (n & (n - 1)) == 0; }

[[noreturn]] void bad(const std::string& option, const std::string& why) { throw SimError(option + ": " + why); }

std::vector<int> parseMatrix(const std::string& text) {
    std::vector<int> out;
    std::stringstream ss(text);
    std::string part;
    while (std::getline(ss, part, 'x')) {
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 6)
            bad("--matrix", "expected N, NxM or NxMxK with positive integers, got \"" + text + "\"");
        out.push_back(std::stoi(part));
    }
    if (out.empty() || out.size() > 3) bad("--matrix", "expected N, NxM or NxMxK, got \"" + text + "\"");
    return out;
}

void range(const std::string& option, long v, long lo, long hi) {
    if (v < lo || v > hi)
        bad(option, std::to_string(v) + " is outside " + std::to_string(lo) + " ... " + std::to_string(hi));
}

}  // namespace

void resolve(SimOptions& o) {
    o.kind = kindFromName(o.kindName);
    const Kind k = o.kind;
    const bool spectro = isSpectroscopy(k);

    // Defaults of the kind.
    if (o.channels == 0) o.channels = k == Kind::SvsMulticoil ? 8 : 1;
    if (o.averages == 0) o.averages = (k == Kind::Svs || k == Kind::SvsMulticoil) ? 4 : 1;
    if (o.vectorSize == 0) o.vectorSize = isCsi(k) ? 512 : 1024;
    if (o.orientation.empty()) o.orientation = k == Kind::Images3d ? "sag" : "tra";
    if (o.repetitions == 0) o.repetitions = k == Kind::CalibRefV ? 16 : k == Kind::CalibVapor ? 12 : 1;
    if (o.uncombined < 0) o.uncombined = k == Kind::SvsMulticoil ? 1 : 0;
    if (o.matrix.empty()) {
        switch (k) {
            case Kind::Csi2d: o.matrix = "16x16"; break;
            case Kind::Csi3d: o.matrix = "8x8x4"; break;
            case Kind::Images2d: o.matrix = "256x256"; break;
            case Kind::Images3d: o.matrix = "256x256x176"; break;
            default: o.matrix = "1"; break;
        }
    }
    o.grid = parseMatrix(o.matrix);
    if (o.rotationDeg > 1e299) o.rotationDeg = o.orientation == "oblique" ? 20.0 : 0.0;
    if (!std::isfinite(o.rotationDeg) || std::fabs(o.rotationDeg) > 360.0)
        bad("--rotation", "expected degrees in -360 ... 360");
    o.rotationRad = o.rotationDeg * M_PI / 180.0;

    // Checks.
    if (o.orientation != "tra" && o.orientation != "cor" && o.orientation != "sag" && o.orientation != "oblique")
        bad("--orientation", "expected tra, cor, sag or oblique, got \"" + o.orientation + "\"");
    try {
        MrMath::TransformDevPat check(o.patientPosition);
        (void)check;
    } catch (const std::invalid_argument&) {
        bad("--patient-position", "expected HFS, HFP, FFS, FFP, HFDL, HFDR, FFDL or FFDR, got \"" +
                                      o.patientPosition + "\"");
    }
    if (!(o.snr >= 0.0) || !std::isfinite(o.snr)) bad("--snr", "expected a number >= 0 (0: no noise)");
    if (o.fieldTesla != 3 && o.fieldTesla != 7) bad("--field", "expected 3 or 7 (tesla)");

    if (spectro) {
        range("--channels", o.channels, 1, 128);
        range("--averages", o.averages, 1, 1024);
        if (o.oversampling != 1 && o.oversampling != 2) bad("--oversampling", "expected 1 or 2");
        if (!powerOfTwo(o.vectorSize) || o.vectorSize < 64 || o.vectorSize > 16384)
            bad("--vector-size", "expected a power of two in 64 ... 16384, got " + std::to_string(o.vectorSize));
        // The reconstruction ignores at most a quarter of the oversampled
        // window before and after the echo.
        range("--pre-echo", o.preEcho, 0, o.vectorSize * o.oversampling / 4);
        range("--repetitions", o.repetitions, 1, 512);
        range("--ref-scans", o.refScans, 0, 16);
        if (o.averagingMode != 1 && o.averagingMode != 2) bad("--averaging-mode", "expected 1 (short term) or 2 (long term)");
    } else {
        range("--channels", o.channels, 1, 64);
        range("--repetitions", o.repetitions, 1, 64);
        if (o.repetitions * o.channels > 256) bad("--repetitions", "repetitions x channels must not exceed 256");
        if (o.imageFormat != "int16" && o.imageFormat != "float" && o.imageFormat != "complex")
            bad("--image-format", "expected int16, float or complex, got \"" + o.imageFormat + "\"");
    }

    switch (k) {
        case Kind::Svs:
        case Kind::SvsMulticoil:
        case Kind::CalibRefV:
        case Kind::CalibVapor:
            if (o.grid.size() != 1 || o.grid[0] != 1) bad("--matrix", "a single voxel has no matrix (1)");
            if (k == Kind::CalibRefV || k == Kind::CalibVapor) range("--repetitions", o.repetitions, 3, 64);
            break;
        case Kind::Csi2d:
            if (o.grid.size() == 1) o.grid.push_back(o.grid[0]);
            if (o.grid.size() != 2) bad("--matrix", "a 2D CSI takes NxM");
            o.grid.push_back(1);
            if (o.slices == 0) o.slices = 1;
            range("--slices", o.slices, 1, 8);
            break;
        case Kind::Csi3d:
            if (o.grid.size() != 3) bad("--matrix", "a 3D CSI takes NxMxK");
            o.slices = 1;
            break;
        case Kind::Images2d:
            if (o.grid.size() == 1) o.grid.push_back(o.grid[0]);
            if (o.grid.size() == 3) {
                if (o.slices != 0 && o.slices != o.grid[2]) bad("--slices", "differs from the matrix's third number");
                o.slices = o.grid[2];
                o.grid.pop_back();
            }
            if (o.slices == 0) o.slices = 20;
            range("--slices", o.slices, 1, 256);
            o.grid.push_back(o.slices);
            break;
        case Kind::Images3d:
            if (o.grid.size() != 3) bad("--matrix", "a 3D series takes COLSxLINESxPARTITIONS");
            range("--matrix partitions", o.grid[2], 2, 512);
            o.slices = 1;
            break;
    }
    if (isCsi(k)) {
        for (size_t d = 0; d < 3; ++d) {
            if (k == Kind::Csi2d && d == 2) break;
            if (!powerOfTwo(o.grid[d]) || o.grid[d] < 2 || o.grid[d] > 64)
                bad("--matrix", "CSI sizes must be powers of two in 2 ... 64, got " + o.matrix);
        }
        if (long(o.grid[0]) * o.grid[1] * o.grid[2] > 32768) bad("--matrix", "more than 32768 phase-encoding points");
    }
    if (!spectro) {
        range("--matrix columns", o.grid[0], 2, 2048);
        range("--matrix lines", o.grid[1], 2, 2048);
    }
}

}  // namespace duvsim
