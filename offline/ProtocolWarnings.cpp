#include "ProtocolWarnings.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "duvhost/MrMath.h"

namespace duvoffline {

namespace {

constexpr const char* kPosition = "YAPS.tPatientPosition";
constexpr const char* kNucleus = "MEAS.sTXSPEC.asNucleusInfo.0.tNucleus";
constexpr const char* kFrequency = "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency";

// |gyromagnetic ratio| / 2 pi in MHz per tesla of the nuclei measured in
// spectroscopy.
const std::map<std::string, double>& gammaMHzPerTesla() {
    static const std::map<std::string, double> g = {
        {"1H", 42.577}, {"2H", 6.536},   {"3He", 32.434}, {"7Li", 16.546},  {"13C", 10.708},
        {"15N", 4.316}, {"17O", 5.772},  {"19F", 40.078}, {"23Na", 11.262}, {"31P", 17.235},
        {"39K", 1.989}, {"129Xe", 11.777}};
    return g;
}

// Weakest and strongest field strength a frequency may stand for.
constexpr double kLowestTesla = 0.05, kHighestTesla = 21.0;

bool readString(const XProtocol& p, const char* path, std::string& value) {
    ReadonlyXNode n = p.At(path, false);
    if (!n.IsOk() || !n.IsType(ReadonlyXNode::String)) return false;
    value = n.ToString();
    return true;
}

}  // namespace

std::vector<std::string> protocolWarnings(const XProtocol& protocol, bool spectroscopy) {
    std::vector<std::string> w;
    if (!spectroscopy) {
        // The spectra sink reports the patient position and the nucleus of
        // spectroscopy runs itself (what its files leave out).
        std::string position;
        if (!readString(protocol, kPosition, position)) {
            w.push_back(std::string("no patient position (") + kPosition + "): HFS is assumed");
        } else {
            try {
                MrMath::TransformDevPat check(position);
                (void)check;
            } catch (const std::invalid_argument&) {
                w.push_back("patient position \"" + position +
                            "\" is none of HFS, HFP, FFS, FFP, HFDL, HFDR, FFDL, FFDR: the files get no orientation");
            }
        }
        return w;
    }

    // Implausible for the nucleus although inside the range the spectra
    // sink accepts (0.05 to 28 T for protons).
    std::string nucleus;
    const auto& gamma = gammaMHzPerTesla();
    if (!readString(protocol, kNucleus, nucleus) || !gamma.count(nucleus)) return w;
    ReadonlyXNode f = protocol.At(kFrequency, false);
    const double hz = f.IsOk() ? f.ToDouble() : 0.0;
    const double tesla = hz / 1e6 / gamma.at(nucleus);
    if (hz / 1e6 / gamma.at("1H") >= 0.05 && (tesla < kLowestTesla || tesla > kHighestTesla)) {
        char text[160];
        std::snprintf(text, sizeof text, "frequency %.6g MHz means %.3g T for %s: the ppm axis will be wrong",
                      hz / 1e6, tesla, nucleus.c_str());
        w.push_back(text);
    }
    return w;
}

}  // namespace duvoffline
