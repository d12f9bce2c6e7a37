#include "MrsMetadata.h"

#include <cctype>
#include <cmath>
#include <stdexcept>

#include "Geometry.h"
#include "Sampling.h"

namespace duvoffline {

using nlohmann::json;

namespace {

std::optional<double> number(const XProtocol& p, const std::string& path) {
    ReadonlyXNode n = p.At(path, false);
    if (!n.IsOk()) return std::nullopt;
    try {
        const double v = n.ToDouble();
        if (std::isfinite(v)) return v;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::string text(const XProtocol& p, const std::string& path) {
    ReadonlyXNode n = p.At(path, false);
    return n.IsOk() && n.IsType(ReadonlyXNode::String) ? n.ToString() : "";
}

// Mass number followed by the chemical symbol in upper case ("1H", "31P",
// "129XE"); a symbol in other case is brought to it. Empty when the text is
// no nucleus of that form.
std::string standardNucleus(const std::string& s) {
    size_t digits = 0;
    while (digits < s.size() && std::isdigit(static_cast<unsigned char>(s[digits]))) ++digits;
    if (digits == 0 || digits == s.size() || s[0] == '0' || s.size() - digits > 2) return "";
    std::string out = s.substr(0, digits);
    for (size_t i = digits; i < s.size(); ++i) {
        if (!std::isalpha(static_cast<unsigned char>(s[i]))) return "";
        out += char(std::toupper(static_cast<unsigned char>(s[i])));
    }
    return out;
}

// Magnets from 0.05 T to 28 T (1H 2.1 MHz to 1.2 GHz) cover every nucleus
// the standard names at a field a scanner has.
constexpr double kLowestHz = 1e5, kHighestHz = 1.3e9;

}  // namespace

std::optional<double> centreShiftPpm(const std::string& nucleus) {
    if (nucleus == "1H") return duvfiles::kCarrierPpm;
    return std::nullopt;
}

MrsProtocolFacts readMrsProtocol(const XProtocol& p) {
    MrsProtocolFacts f;
    const std::string position = text(p, "YAPS.tPatientPosition");
    try {
        MrMath::TransformDevPat check(position.empty() ? "HFS" : position);
        (void)check;
        f.patientPosition = position.empty() ? "HFS" : position;
    } catch (const std::invalid_argument& e) {
        f.warnings.push_back("PatientPosition left out of the spectra: " + std::string(e.what()));
    }

    const std::string nucleus = text(p, "MEAS.sTXSPEC.asNucleusInfo.0.tNucleus");
    f.nucleus = nucleus.empty() ? "1H" : standardNucleus(nucleus);
    if (f.nucleus.empty())
        f.warnings.push_back("ResonantNucleus left out of the spectra: \"" + nucleus +
                             "\" is no mass number followed by a chemical symbol (such as 1H, 31P)");
    else if (!nucleus.empty() && f.nucleus != nucleus)
        f.warnings.push_back("nucleus \"" + nucleus + "\" written as \"" + f.nucleus + "\"");

    const std::optional<double> hz = number(p, "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency");
    if (hz && *hz >= kLowestHz && *hz <= kHighestHz)
        f.frequencyMHz = *hz / 1e6;
    else
        f.warnings.push_back(
            "SpectrometerFrequency left out of the spectra: MEAS.sTXSPEC.asNucleusInfo.0.lFrequency " +
            (hz ? json(*hz).dump() + " is not the frequency in Hz of a magnet from 0.05 to 28 T" : "is missing"));

    if (const std::optional<double> te = number(p, "MEAS.alTE.0"); te && std::fabs(*te - std::round(*te)) > 1e-6)
        f.warnings.push_back("echo time MEAS.alTE.0 " + json(*te).dump() + " is not a whole number of microseconds");

    f.protocolName = text(p, "MEAS.tProtocolName");
    if (const auto a = number(p, "MEAS.adFlipAngleDegree.0"); a && *a > 0.0 && *a <= 360.0) f.flipAngleDeg = *a;
    if (const auto w = number(p, "MEAS.sPrepPulses.ucWaterSat")) f.waterSuppressed = *w != 0.0;
    f.rxCoil = text(p, "YAPS.atCoilSelectInfoText");
    f.oversamplingRemoved = number(p, "MEAS.sSpecPara.ucRemoveOversampling").value_or(0.0) != 0.0 &&
                            number(p, "YAPS.flReadoutOSFactor").value_or(1.0) > 1.0;
    f.averages = std::lround(number(p, "MEAS.lAverages").value_or(1.0));
    f.averagesResolved = number(p, "YAPS.alDUVProgramPara.11").value_or(0.0) != 0.0;
    f.spatialFilter = number(p, "MEAS.sHammingFilter.ucOn").value_or(0.0) != 0.0;
    f.spatialFilterWidthPercent = std::lround(number(p, "MEAS.sHammingFilter.lWidthPercent").value_or(0.0));

    if (number(p, "MEAS.sSpecPara.ucVoIValid").value_or(0.0) != 0.0) {
        const std::string b = "MEAS.sSpecPara.sVoI";
        const auto at = [&](const std::string& key) { return number(p, b + key).value_or(0.0); };
        try {
            const duvfiles::Frame fr = duvfiles::makeFrame(
                MrMath::VectorPat(at(".sPosition.dSag"), at(".sPosition.dCor"), at(".sPosition.dTra")),
                MrMath::VectorPat(at(".sNormal.dSag"), at(".sNormal.dCor"), at(".sNormal.dTra")),
                at(".dInPlaneRot"));
            const double sizes[3] = {at(".dReadoutFOV"), at(".dPhaseFOV"), at(".dThickness")};
            const MrMath::VectorPat dirs[3] = {fr.readout, fr.phase, fr.normal};
            std::array<std::array<double, 4>, 4> m{};
            for (int c = 0; c < 3; ++c) {
                const auto d = duvfiles::toPatientRas(dirs[c] * sizes[c]);
                for (int r = 0; r < 3; ++r) m[size_t(r)][size_t(c)] = d[size_t(r)];
            }
            const auto o = duvfiles::toPatientRas(fr.centre);
            for (int r = 0; r < 3; ++r) m[size_t(r)][3] = o[size_t(r)];
            m[3] = {0.0, 0.0, 0.0, 1.0};
            if (sizes[0] > 0.0 && sizes[1] > 0.0 && sizes[2] > 0.0) f.voi = m;
        } catch (const std::invalid_argument&) {
            // A volume without a normal has no place: no "VOI".
        }
    }
    return f;
}

void addProtocolKeys(json& j, const MrsProtocolFacts& f, const std::string& channelKind, bool grid,
                     const std::string& time) {
    if (f.frequencyMHz > 0.0) j["SpectrometerFrequency"] = {f.frequencyMHz};
    if (!f.nucleus.empty()) j["ResonantNucleus"] = {f.nucleus};
    // Readers place a 1H spectrum's centre at 4.65 ppm unless told; the
    // carrier of this system is 4.7 ppm.
    if (const auto shift = centreShiftPpm(f.nucleus)) j["SpecFreqChemShift"] = {*shift};
    if (!f.patientPosition.empty()) j["PatientPosition"] = f.patientPosition;
    if (f.flipAngleDeg) j["ExcitationFlipAngle"] = *f.flipAngleDeg;
    if (f.waterSuppressed) j["WaterSuppressed"] = *f.waterSuppressed;
    if (!f.rxCoil.empty()) j["RxCoil"] = f.rxCoil;
    if (grid && f.voi) j["VOI"] = *f.voi;

    json steps = json::array();
    auto step = [&](const std::string& method, const std::string& details) {
        steps.push_back({{"Time", time}, {"Program", "Derovo2"}, {"Method", method}, {"Details", details}});
    };
    if (f.oversamplingRemoved) step("Oversampling removal", "readout oversampling removed before the spectral transform");
    if (f.averages > 1 && !f.averagesResolved)
        step("Signal averaging", std::to_string(f.averages) + " averages summed");
    if (grid && f.spatialFilter)
        step("Spatial filter", "Hamming filter of the k-space grid, width " +
                                   std::to_string(f.spatialFilterWidthPercent) + " %");
    if (channelKind.rfind("_c", 0) == 0)
        step("RF coil combination",
             "channels phased to and weighted by their water reference (or strongest) signal, "
             "scaled by 1/sqrt(sum of squared weights)");
    if (!steps.empty()) j["ProcessingApplied"] = steps;
}

}  // namespace duvoffline
