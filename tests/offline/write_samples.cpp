// Writes what the Python checks read with independent readers, plus the
// truth they compare against (expectations.json):
//   spectra/   data sets through SpectraSink (single voxel with and without a
//              volume of interest, a rotated non-square 2D CSI grid, a 3D
//              grid whose slab normal opposes RowVec x ColVec)
//   display/   the SVG of a known overlay
//   inspect/   synthetic FIDs with known peaks (written with niftimrs::write)
//   measurement/  protocol.txt and readouts.bin for OfflineTestModule
// Usage: write_samples DIR
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <nlohmann/json.hpp>

#include "DisplaySink.h"
#include "MeasurementFiles.h"
#include "NiftiMrs.h"
#include "DataSetSink.h"
#include "duvhost/Graphics.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const double kPi = 3.14159265358979323846;
constexpr double kFrequencyMHz = 123.2;
constexpr long kDwellNs = 250000;

XProtocol spectraProtocol() {
    XProtocol p;
    p.SetString("YAPS.tPatientPosition", "HFS");
    p.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "1H");
    p.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123200000);
    p.SetString("MEAS.tProtocolName", "sample protocol");
    return p;
}

// A store laid out as the spectroscopy stage's (COL, LIN, PHS, SEG); vector
// p (LIN fastest) holds (p + 1, t) at time point t.
DuvAs store(long col, long lin, long phs, long seg, const sVec& normal) {
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    obj->create(CXFL, {{COL, col}, {LIN, lin}, {PHS, phs}, {SEG, seg}});
    auto* c = reinterpret_cast<std::complex<float>*>(obj->data());
    for (long p = 0; p < lin * phs * seg; ++p)
        for (long t = 0; t < col; ++t) c[p * col + t] = {float(p + 1), float(t)};
    obj->soda(0).setSliceNormVec(normal);
    return DuvAs(obj);
}

struct DataSet {
    std::string description;
    long lin, phs, seg, cols, rows;
    std::vector<double> pos, row, col, spacing;
    double thickness;
    sVec normal;
    long slice;  // -1: none
};

json writeSpectra(const fs::path& dir) {
    fs::create_directories(dir);
    duvoffline::SpectraSink sink(dir.string(), spectraProtocol());
    const double s = std::sqrt(0.5);
    const DataSet sets[] = {
        {"svs_novoi", 1, 1, 1, 1, 1, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0}, 0.0, {0, 0, 1}, -1},
        {"svs_voi", 1, 1, 1, 1, 1, {5, -10, 20}, {s, s, 0}, {-s, s, 0}, {20, 15}, 10.0, {0, 0, 1}, -1},
        // Rotated in plane by 45 degrees; the view's LIN/PHS (3 x 4) differ from the header's 4 x 3.
        {"csi2d", 3, 4, 1, 4, 3, {12.5, -7.0, 31.0}, {s, -s, 0}, {s, s, 0}, {10, 6}, 15.0, {0, 0, 1}, 2},
        // Coronal slab whose normal opposes RowVec x ColVec.
        {"csi3d", 4, 4, 3, 4, 4, {-3.0, 8.0, 1.0}, {1, 0, 0}, {0, 0, -1}, {7, 5}, 9.0, {0, -1, 0}, 0},
    };
    json expect = json::array();
    for (const DataSet& d : sets) {
        DuvAs as = store(16, d.lin, d.phs, d.seg, d.normal);
        MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
        h->set("SpectroData", true, true);
        h->set("RealDwellTime", kDwellNs);
        h->set("ImageComment", "");
        h->set("TE", 30.0);
        h->set("TR", 2000.0);
        h->set("TI", 0.0);
        h->set("SequenceString", "svs_se");
        h->set("SequenceDescription", d.description);
        h->set("SliceThickness", d.thickness);
        h->setArrayValues("ColVec", d.col);
        h->setArrayValues("RowVec", d.row);
        h->setArrayValues("PixelSpacing", d.spacing);
        h->set("NoOfCols", d.cols);
        h->set("NoOfRows", d.rows);
        if (d.slice >= 0) h->set("ProtocolSliceNumber", d.slice);
        h->setArrayValues("PosVec", d.pos);
        h->set("Suffix4DataFileName", "-1_1_1_1_1", true);
        if (sink.receive(as, *h) != I_OK) throw std::runtime_error(sink.lastError());
        expect.push_back({{"file", fs::path(sink.files().back()).filename().string()},
                          {"description", d.description},
                          {"shape", {d.cols, d.rows, d.seg, 16}},
                          {"dwell", kDwellNs / 1e9},
                          {"frequencyMHz", kFrequencyMHz},
                          {"PosVec", d.pos},
                          {"RowVec", d.row},
                          {"ColVec", d.col},
                          {"PixelSpacing", d.spacing},
                          {"SliceThickness", d.thickness},
                          {"normal", {d.normal.x, d.normal.y, d.normal.z}}});
    }
    return expect;
}

// A known overlay: polygons and texts in an order that mixes them, a
// multi-line text, characters that XML escapes.
json writeDisplay(const fs::path& dir) {
    fs::create_directories(dir);
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    GraphOverlay overlay(h->getProtocol());
    json elements = json::array();
    auto polygon = [&](std::vector<MrPoint> pts, MrColor c) {
        XNode n = XNodeTraits_MrPolygon_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
        XNodeTraits_MrPolygon_setValue(n, MrPolygon(pts.data(), long(pts.size()), c));
        json p = json::array();
        for (const MrPoint& q : pts) p.push_back({q.X, q.Y});
        elements.push_back({{"type", "polygon"}, {"color", {c.red, c.green, c.blue}}, {"points", p}});
    };
    auto text = [&](MrPoint at, MrColor c, const std::string& t) {
        XNode n = XNodeTraits_MrText_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
        XNodeTraits_MrText_setValue(n, MrText(at, c, t));
        elements.push_back({{"type", "text"}, {"color", {c.red, c.green, c.blue}}, {"position", {at.X, at.Y}}, {"text", t}});
    };
    polygon({{0.05, 0.05}, {0.95, 0.05}, {0.95, 0.675}, {0.05, 0.675}, {0.05, 0.05}}, MrColor(0.6, 0.6, 0.6));
    text({0.3, 0.05}, MrColor(0, 1, 0), "Single-shot spectrum (Ave 1/4); signal max. = 1.23e+04");
    polygon({{0.05, 0.6}, {0.5, 0.1}, {0.95, 0.6}}, MrColor(0, 1, 0));
    text({0.525, 0.725}, MrColor(1, 0, 0), "* Max = 90 deg\n   RefV = 52.3 V");
    polygon({{0.5, 0.05}, {0.5, 0.675}}, MrColor(0, 1, 1));
    text({0.15583333, 0.9}, MrColor(1, 1, 0), "a < b & c > \"d\"");
    std::ofstream(dir / "known.svg") << duvoffline::overlayToSvg(*h, 640);
    return {{"file", "known.svg"}, {"size", 640}, {"elements", elements}};
}

// FID of Lorentzian lines at the given ppm values; a line above the carrier
// rotates counter-clockwise (exp(+i 2 pi f t)).
std::vector<std::complex<float>> fid(const std::vector<double>& ppms, double referencePpm, long n, double dwell,
                                     double amplitude = 1.0) {
    std::vector<std::complex<float>> out(static_cast<size_t>(n));
    for (long t = 0; t < n; ++t) {
        std::complex<double> s = 0.0;
        for (double ppm : ppms) {
            const double f = (ppm - referencePpm) * kFrequencyMHz, time = double(t) * dwell;
            s += amplitude * std::exp(-time / 0.08) * std::polar(1.0, 2.0 * kPi * f * time);
        }
        out[size_t(t)] = std::complex<float>(s);
    }
    return out;
}

json writeInspect(const fs::path& dir) {
    fs::create_directories(dir);
    json expect = json::array();
    const double dwell = kDwellNs / 1e9;
    const long n = 2048;
    // Single voxel, 1H: NAA, creatine, choline; the centre at 4.7 ppm as the
    // file says, or at the readers' 4.65 ppm when it says nothing.
    for (const bool stated : {true, false}) {
        niftimrs::Volume v;
        v.dims = {1, 1, 1, n};
        v.dwellSeconds = dwell;
        json meta = {{"SpectrometerFrequency", {kFrequencyMHz}}, {"ResonantNucleus", {"1H"}}};
        if (stated) meta["SpecFreqChemShift"] = {4.7};
        v.json = meta.dump();
        v.data = fid({2.01, 3.03, 3.21}, stated ? 4.7 : 4.65, n, dwell);
        const std::string name = stated ? "peaks_1h.nii" : "peaks_1h_unstated_centre.nii";
        niftimrs::write((dir / name).string(), v);
        expect.push_back({{"file", name}, {"ppm", {3.21, 3.03, 2.01}}});
    }
    // 31P: the carrier is 0 ppm.
    {
        niftimrs::Volume v;
        v.dims = {1, 1, 1, n};
        v.dwellSeconds = dwell;
        v.json = json({{"SpectrometerFrequency", {kFrequencyMHz}}, {"ResonantNucleus", {"31P"}}}).dump();
        v.data = fid({4.5, -2.5}, 0.0, n, dwell);
        niftimrs::write((dir / "peaks_31p.nii").string(), v);
        expect.push_back({{"file", "peaks_31p.nii"}, {"ppm", {4.5, -2.5}}});
    }
    // Axes that are not finite or absurdly wide: no extension (no frequency),
    // a zero frequency, a tiny dwell time. inspect reports them and ends.
    for (const auto& [name, header, seconds] :
         {std::tuple{"no_extension.nii", std::string(), dwell},
          std::tuple{"zero_frequency.nii", json({{"SpectrometerFrequency", {0.0}}}).dump(), dwell},
          std::tuple{"tiny_dwell.nii", json({{"SpectrometerFrequency", {kFrequencyMHz}}}).dump(), 1e-30}}) {
        niftimrs::Volume v;
        v.dims = {1, 1, 1, 64};
        v.dwellSeconds = seconds;
        v.json = header;
        v.data = fid({2.01}, 4.7, 64, dwell);
        niftimrs::write((dir / name).string(), v);
        expect.push_back({{"file", name}});
    }
    // 3 x 2 CSI grid: choline only in voxel (2, 1), NAA everywhere.
    {
        niftimrs::Volume v;
        v.dims = {3, 2, 1, n};
        v.dwellSeconds = dwell;
        v.qformCode = 1;
        v.affine = {{{-10, 0, 0, 10}, {0, -10, 0, 5}, {0, 0, 10, 0}}};
        v.json = json({{"SpectrometerFrequency", {kFrequencyMHz}}, {"ResonantNucleus", {"1H"}}, {"SpecFreqChemShift", {4.7}}})
                     .dump();
        v.data.resize(size_t(3 * 2 * n));
        for (long y = 0; y < 2; ++y)
            for (long x = 0; x < 3; ++x) {
                const auto f = x == 2 && y == 1 ? fid({2.01, 3.21}, 4.7, n, dwell) : fid({2.01}, 4.7, n, dwell);
                for (long t = 0; t < n; ++t) v.data[size_t(x + 3 * y + 6 * t)] = f[size_t(t)];
            }
        niftimrs::write((dir / "csi_map.nii").string(), v);
        expect.push_back({{"file", "csi_map.nii"}, {"mapMaxIndex", {2, 1, 0}}, {"mapMaxWorld", {-10.0, -5.0, 0.0}}});
    }
    return expect;
}

// A measurement for OfflineTestModule: 5 readouts of 64 points.
json writeMeasurement(const fs::path& dir) {
    fs::create_directories(dir);
    XProtocol p = spectraProtocol();
    p.SetString("TEST.tLabel", "cli_run");
    p.SetLong("TEST.lDwellNs", kDwellNs);
    p.SetLong("TEST.lInitStatus", 0);
    p.SetLong("TEST.lFailAt", -1);
    p.SetLong("TEST.lEndOfJobStatus", 0);
    p.SetLong("TEST.lDisplayEvery", 1);
    p.SetString("TEST.tCalibText", "");
    p.SetString("TEST.tDiagnostic", "");
    std::ofstream(dir / "protocol.txt") << [&] {
        std::string text;
        p.SaveToStream(text);
        return text;
    }();
    duvfiles::ReadoutWriter w((dir / "readouts.bin").string(), 1);
    for (int k = 0; k < 5; ++k) {
        duvfiles::ReadoutRecord r;
        r.header.ushSamplesInScan = 64;
        r.header.ushUsedChannels = 1;
        const auto f = fid({2.01}, 4.7, 64, kDwellNs / 1e9);
        for (const auto& c : f) {
            r.samples.push_back(c.real());
            r.samples.push_back(c.imag());
        }
        w.add(r);
    }
    w.close();
    return {{"readouts", 5}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_samples DIR\n");
        return 2;
    }
    try {
        const fs::path dir = argv[1];
        fs::remove_all(dir);
        json expect;
        expect["spectra"] = writeSpectra(dir / "spectra");
        expect["display"] = writeDisplay(dir / "display");
        expect["inspect"] = writeInspect(dir / "inspect");
        expect["measurement"] = writeMeasurement(dir / "measurement");
        std::ofstream(dir / "expectations.json") << expect.dump(2) << "\n";
    } catch (const std::exception& e) {
        std::fprintf(stderr, "write_samples: %s\n", e.what());
        return 1;
    }
    return 0;
}
