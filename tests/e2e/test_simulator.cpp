// The simulator on its own: options, the spectral and spatial signs, the
// protocol against the modules' property tables, the readout stream and the
// image series, the truth's self-description.
#include <gtest/gtest.h>

#include <unistd.h>

#include <complex>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "CsiEncoding.h"
#include "MeasurementFiles.h"
#include "SimOptions.h"
#include "Simulations.h"
#include "MetaboliteSignal.h"
#include "duvhost/MrMath.h"
#include "duvhost/Rudu.h"

extern "C" Rudu::Component* Derovo2__CreateObject(const char* typeName);
extern "C" Rudu::Component* Viviv__CreateObject(const char* typeName);

namespace fs = std::filesystem;
using duvsim::SimError;
using duvsim::SimOptions;
using nlohmann::json;

namespace {

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("duvsim-test-" + std::to_string(::getpid()) + "-" + std::to_string(next_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
    static inline int next_ = 0;
};

SimOptions options(const std::string& kind, std::function<void(SimOptions&)> adjust = {}) {
    SimOptions o;
    o.kindName = kind;
    if (adjust) adjust(o);
    duvsim::resolve(o);
    return o;
}

// Simulates into dir and returns the truth.
json simulate(const SimOptions& o, const TempDir& dir) {
    const duvsim::OutputPaths out{dir.file("protocol.txt"), dir.file("readouts.bin"), dir.file("images.bin"),
                                  dir.file("truth.json")};
    switch (o.kind) {
        case duvsim::Kind::Svs:
        case duvsim::Kind::SvsMulticoil: duvsim::simulateSingleVoxel(o, out); break;
        case duvsim::Kind::Csi2d:
        case duvsim::Kind::Csi3d: duvsim::simulateCsi(o, out); break;
        case duvsim::Kind::CalibRefV:
        case duvsim::Kind::CalibVapor: duvsim::simulateCalibration(o, out); break;
        default: duvsim::simulateImageSeries(o, out); break;
    }
    std::ifstream f(out.truth);
    return json::parse(f);
}

std::string refusal(const std::string& kind, std::function<void(SimOptions&)> adjust) {
    try {
        options(kind, adjust);
    } catch (const SimError& e) {
        return e.what();
    }
    return "(accepted)";
}

std::vector<duvfiles::ReadoutRecord> readAll(const std::string& path) {
    duvfiles::ReadoutReader r(path);
    std::vector<duvfiles::ReadoutRecord> out;
    duvfiles::ReadoutRecord rec;
    while (r.next(rec)) out.push_back(rec);
    return out;
}

}  // namespace

TEST(SimOptions, DefaultsOfTheKinds) {
    const SimOptions svs = options("svs-multicoil");
    EXPECT_EQ(svs.channels, 8);
    EXPECT_EQ(svs.averages, 4);
    EXPECT_EQ(svs.uncombined, 1);
    EXPECT_EQ(svs.vectorSize, 1024);
    const SimOptions csi = options("csi3d");
    EXPECT_EQ(csi.grid, (std::vector<int>{8, 8, 4}));
    EXPECT_EQ(csi.vectorSize, 512);
    const SimOptions calib = options("calib-refv");
    EXPECT_EQ(calib.repetitions, 16);
    const SimOptions images = options("images3d");
    EXPECT_EQ(images.grid, (std::vector<int>{256, 256, 176}));
    EXPECT_EQ(images.orientation, "sag");
    const SimOptions oblique = options("csi2d", [](SimOptions& o) { o.orientation = "oblique"; });
    EXPECT_DOUBLE_EQ(oblique.rotationDeg, 20.0);
    EXPECT_EQ(oblique.grid, (std::vector<int>{16, 16, 1}));
}

TEST(SimOptions, RefusalsNameTheOption) {
    EXPECT_EQ(refusal("svs", [](SimOptions& o) { o.oversampling = 3; }), "--oversampling: expected 1 or 2");
    EXPECT_EQ(refusal("csi2d", [](SimOptions& o) { o.matrix = "12x12"; }),
              "--matrix: CSI sizes must be powers of two in 2 ... 64, got 12x12");
    EXPECT_EQ(refusal("svs", [](SimOptions& o) { o.patientPosition = "HFX"; }),
              "--patient-position: expected HFS, HFP, FFS, FFP, HFDL, HFDR, FFDL or FFDR, got \"HFX\"");
    EXPECT_EQ(refusal("svs", [](SimOptions& o) { o.vectorSize = 1000; }),
              "--vector-size: expected a power of two in 64 ... 16384, got 1000");
    EXPECT_EQ(refusal("svs", [](SimOptions& o) { o.preEcho = 513; }), "--pre-echo: 513 is outside 0 ... 512");
    EXPECT_EQ(refusal("csi3d", [](SimOptions& o) { o.matrix = "8x8"; }), "--matrix: a 3D CSI takes NxMxK");
    EXPECT_EQ(refusal("images2d", [](SimOptions& o) { o.imageFormat = "double"; }),
              "--image-format: expected int16, float or complex, got \"double\"");
    EXPECT_EQ(refusal("svs", [](SimOptions& o) { o.matrix = "4x4"; }), "--matrix: a single voxel has no matrix (1)");
    EXPECT_EQ(refusal("frobnicate", {}), "unknown kind \"frobnicate\"");
}

TEST(SpectralModel, ReadoutsRotateCounterClockwiseAboveTheCarrierAndPeakAtTheEchoTop) {
    duvsim::Sampling s;
    s.vectorSize = 64;
    s.oversampling = 2;
    s.pre = 6;
    s.post = 6;
    EXPECT_EQ(s.acquired(), 140);
    EXPECT_EQ(s.dwellTimeSigNs(), 250000);
    const auto shape = duvsim::resonanceShape(s, 100.0, 0.05);
    EXPECT_DOUBLE_EQ(std::abs(shape[6]), 1.0);
    EXPECT_NEAR(std::abs(shape[5]), std::abs(shape[7]), 1e-12);  // the echo's rising half
    EXPECT_LT(std::abs(shape[0]), std::abs(shape[5]));
    // +100 Hz over one acquired dwell (250 us): +2 pi x 0.025 rad, counter-clockwise.
    EXPECT_NEAR(std::arg(shape[7] / shape[6]), 2.0 * M_PI * 100.0 * 250e-6, 1e-12);
    EXPECT_NEAR(s.offsetHz(2.01), (2.01 - 4.7) * 123.2, 1e-9);
}

TEST(SpectralModel, ResonancesOutsideTheKeptBandAreRefused) {
    duvsim::Sampling s;
    s.dwell = 2e-3;  // +-250 Hz: NAA at -331 Hz does not fit
    try {
        duvsim::checkBand(s, duvsim::brainSpectrum());
        FAIL() << "accepted";
    } catch (const SimError& e) {
        EXPECT_STREQ(e.what(), "NAA at 2.01 ppm (-331 Hz) lies outside the kept band of +-225 Hz");
    }
}

// The centred transform of the reconstruction, as docs/conventions.md states
// it: rotate by n/2, exp(-i 2 pi m k / n), rotate by n/2.
std::vector<std::complex<double>> centredTransform(const std::vector<std::complex<double>>& in) {
    const int n = int(in.size());
    std::vector<std::complex<double>> out(in.size());
    for (int j = 0; j < n; ++j)
        for (int m = 0; m < n; ++m)
            out[size_t((j + n / 2) % n)] +=
                in[size_t((m + n / 2) % n)] * std::polar(1.0, -2.0 * M_PI * double(m) * double(j) / n);
    return out;
}

TEST(CsiEncoding, EveryVoxelComesBackAtItsIndex) {
    for (int n : {2, 4, 8, 16, 32}) {
        const double spacing = 7.5;
        for (int j = 0; j < n; ++j) {
            const double offset = (j - (n - 1) * 0.5) * spacing;  // voxel centre from the grid centre
            std::vector<std::complex<double>> k(static_cast<size_t>(n));
            for (int m = 0; m < n; ++m) k[size_t(m)] = std::polar(1.0, duvsim::encodingPhase(m, n, spacing, offset));
            const auto v = centredTransform(k);
            for (int i = 0; i < n; ++i)
                EXPECT_NEAR(std::abs(v[size_t(i)]), i == j ? double(n) : 0.0, 1e-9) << "n " << n << " voxel " << j;
        }
    }
}

TEST(Protocols, EveryModulePropertyFillsFromEveryKind) {
    MrPtr<Rudu::Component> derovo(Derovo2__CreateObject("Derovo2"));
    MrPtr<Rudu::Component> writer(Viviv__CreateObject("Viviv_NS_qomNiftiWriter"));
    ASSERT_TRUE(derovo);
    ASSERT_TRUE(writer);
    for (const std::string& kind : duvsim::kindNames()) {
        SCOPED_TRACE(kind);
        TempDir dir;
        SimOptions o = options(kind, [](SimOptions& x) {
            if (x.kindName == "images3d") x.matrix = "16x16x8";
            if (x.kindName == "images2d") x.matrix = "16x16x3";
        });
        simulate(o, dir);
        const XProtocol p = XProtocol::LoadFromFile(dir.file("protocol.txt"));
        // The writer's properties come from every protocol; the spectroscopy
        // stage's from the spectroscopy kinds' (which also carry the paths
        // its configurator reads).
        EXPECT_NO_THROW(Rudu::FillPropertiesFromProtocol(*writer, "writer", p));
        if (!duvsim::isSpectroscopy(o.kind)) continue;
        EXPECT_NO_THROW(Rudu::FillPropertiesFromProtocol(*derovo, "Derovo2Instance", p));
        EXPECT_TRUE(p.At("MEAS.sPreScanNormalizeFilter.ucOn", false).IsOk());
        EXPECT_EQ(std::get<int>(Rudu::GetProperty(*derovo, "d", "VectorSize")), o.vectorSize);
        EXPECT_EQ(std::get<int>(Rudu::GetProperty(*derovo, "d", "DwellTimeSig")), 500000 / o.oversampling);
        EXPECT_EQ(std::get<int>(Rudu::GetProperty(*derovo, "d", "MaxNoOfRxChannels")), o.channels);
        EXPECT_EQ(std::get<std::vector<float>>(Rudu::GetProperty(*derovo, "d", "Position_Tra")).size(),
                  size_t(o.slices > 0 ? o.slices : 1));
    }
}

TEST(Readouts, SingleVoxelStreamInAcquisitionOrder) {
    TempDir dir;
    const SimOptions o = options("svs-multicoil", [](SimOptions& x) {
        x.averages = 3;
        x.waterRef = true;
        x.noiseScan = true;
        x.refScans = 1;
        x.preEcho = 8;
        x.vectorSize = 128;
    });
    const json truth = simulate(o, dir);
    const auto recs = readAll(dir.file("readouts.bin"));
    ASSERT_EQ(recs.size(), 1u + 1u + 3u + 4u);
    const MdhProxy noise(const_cast<sScanHeader*>(&recs[0].header)), water(const_cast<sScanHeader*>(&recs[1].header));
    EXPECT_TRUE(noise.isFlagSet(MDH_NOISEADJSCAN));
    EXPECT_TRUE(water.isFlagSet(MDH_PHASCOR));
    for (size_t i = 0; i < recs.size(); ++i) {
        const sScanHeader& h = recs[i].header;
        EXPECT_EQ(h.ulTimeStamp, 14400000u + 800u * i) << i;  // TR 2 s in 2.5 ms ticks
        EXPECT_EQ(h.ushUsedChannels, 8);
        EXPECT_EQ(h.ushSamplesInScan, 128 * 2 + 8 + 8);
        EXPECT_EQ(h.aushDuvProgramPara[4], 8);
        EXPECT_EQ(h.ulScanCounter, i + 1);
        if (i >= 2 && i < 5) {
            EXPECT_EQ(h.sLC.ushSet, i - 2);
            EXPECT_EQ(h.aushDuvProgramPara[5], 0);
        }
        if (i >= 5) {
            EXPECT_EQ(h.sLC.ushSet, 3 + (i - 5));
            EXPECT_EQ(h.aushDuvProgramPara[5], 1);
        }
    }
    // Slice geometry from MrMath: transverse, unrotated.
    const DuvSoda& s = recs[2].soda;
    EXPECT_DOUBLE_EQ(s.getRowVec().x, -1.0);    // readout: the patient's right
    EXPECT_DOUBLE_EQ(s.getColumnVec().y, 1.0);  // phase: posterior
    EXPECT_DOUBLE_EQ(s.getSlicePosVec().x, 12.0);
    EXPECT_DOUBLE_EQ(s.getSlicePosVecSBCS().y, 8.0);  // HFS: Y = -cor
    EXPECT_DOUBLE_EQ(s.getSlicePosVecSBCS().z, -18.0);
    // The noise readout holds noise only: far below the signal readouts.
    double noisePower = 0.0, signalPower = 0.0;
    for (size_t k = 0; k < 2 * 16; ++k) {
        noisePower += recs[0].samples[2 * 8 + k] * recs[0].samples[2 * 8 + k];
        signalPower += recs[2].samples[2 * 8 + k] * recs[2].samples[2 * 8 + k];
    }
    EXPECT_LT(noisePower * 20.0, signalPower);
    EXPECT_EQ(truth["refScans"], 4);
}

std::string bytesOf(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(Readouts, OneSeedGivesOneMeasurement) {
    TempDir a, b, c;
    simulate(options("svs", [](SimOptions& x) { x.seed = 42; }), a);
    simulate(options("svs", [](SimOptions& x) { x.seed = 42; }), b);
    simulate(options("svs", [](SimOptions& x) { x.seed = 43; }), c);
    EXPECT_EQ(bytesOf(a.file("readouts.bin")), bytesOf(b.file("readouts.bin")));
    EXPECT_NE(bytesOf(a.file("readouts.bin")), bytesOf(c.file("readouts.bin")));
    EXPECT_EQ(bytesOf(a.file("protocol.txt")), bytesOf(c.file("protocol.txt")));
}

TEST(Readouts, CsiAveragingModesOrderTheCounters) {
    for (int mode : {1, 2}) {
        TempDir dir;
        const SimOptions o = options("csi2d", [mode](SimOptions& x) {
            x.matrix = "4x2";
            x.averages = 2;
            x.averagingMode = mode;
            x.vectorSize = 64;
        });
        simulate(o, dir);
        const auto recs = readAll(dir.file("readouts.bin"));
        ASSERT_EQ(recs.size(), 16u);
        for (size_t i = 0; i < recs.size(); ++i) {
            const sLoopCounter& c = recs[i].header.sLC;
            const size_t point = mode == 2 ? i % 8 : i / 2;
            EXPECT_EQ(c.ushSet, mode == 2 ? i / 8 : i % 2) << mode << " " << i;
            EXPECT_EQ(c.ushLine, point % 4);
            EXPECT_EQ(c.ushPhase, point / 4);
            EXPECT_EQ(c.ushSeg, 0);
        }
    }
}

TEST(ImageSeries, InterleavedSlicesWithCentrePixelPositionsAndLandmarks) {
    TempDir dir;
    const SimOptions o = options("images2d", [](SimOptions& x) {
        x.matrix = "8x6x3";
        x.imageFormat = "int16";
    });
    const json truth = simulate(o, dir);
    duvfiles::ImageReader reader(dir.file("images.bin"));
    std::vector<duvfiles::ImageRecord> recs;
    duvfiles::ImageRecord rec;
    while (reader.next(rec)) recs.push_back(rec);
    ASSERT_EQ(recs.size(), 3u);
    const long anatomical[3] = {0, 2, 1};
    const double step = 4.0 * 1.25;  // thickness x (1 + distance factor)
    for (size_t i = 0; i < 3; ++i) {
        const MrPtr<MiniHeader> h = duvfiles::makeImageHeader(recs[i]);
        long slice = -1;
        ASSERT_TRUE(h->get("AnatomicalSliceNo", slice));
        EXPECT_EQ(slice, anatomical[i]);
        EXPECT_EQ(recs[i].control.getIndex(SLC), long(i));
        EXPECT_EQ(recs[i].control.getCount(SLC), 3);
        // Pixel (4, 3) centre: stack centre + (slice - 1) x step along the
        // normal + half a pixel along row and column (even sizes).
        const sVec& p = recs[i].soda.getSlicePosVec();
        EXPECT_NEAR(p.x, 3.0 - 0.5 * 220.0 / 8, 1e-9);  // row vector: the patient's right
        EXPECT_NEAR(p.y, 12.0 + 0.5 * 200.0 / 6, 1e-9);
        EXPECT_NEAR(p.z, 18.0 + (double(slice) - 1.0) * step, 1e-9);
    }
    for (const json& m : truth["landmarks"]) {
        const size_t i = m["slice"] == 0 ? 0 : m["slice"] == 2 ? 1 : 2;
        int16_t v;
        std::memcpy(&v, recs[i].data.data() + (size_t(m["line"]) * 8 + size_t(m["column"])) * 2, 2);
        EXPECT_EQ(v, m["value"].get<double>());
    }
}

TEST(Calibration, TruthOnAGridPointGivesItsLine) {
    TempDir dir;
    const SimOptions o = options("calib-refv", [](SimOptions& x) { x.calibTruth = 277.7; });
    const json t = simulate(o, dir);
    EXPECT_NEAR(t["expectedRefV"].get<double>(), 100.0 / 90.0 * 250.0, 1e-9);
    EXPECT_EQ(t["expectedFileLines"][2], "refV = 277.8");
    EXPECT_TRUE(t["unambiguous"].get<bool>());
    const SimOptions outside = options("calib-vapor", [](SimOptions& x) { x.calibTruth = 200.0; });
    EXPECT_THROW(simulate(outside, dir), SimError);
}

// Every object that has a description describes each of its fields.
void expectDescribed(const json& j, const std::string& where) {
    if (j.is_array()) {
        for (size_t i = 0; i < j.size(); ++i) expectDescribed(j[i], where + "[" + std::to_string(i) + "]");
        return;
    }
    if (!j.is_object()) return;
    if (j.contains("description"))
        for (const auto& [key, value] : j.items()) {
            if (key == "description") continue;
            EXPECT_TRUE(j["description"].contains(key)) << where << "." << key;
        }
    for (const auto& [key, value] : j.items())
        if (key != "description") expectDescribed(value, where + "." + key);
}

TEST(Truth, EveryFieldIsDescribed) {
    for (const std::string& kind : duvsim::kindNames()) {
        TempDir dir;
        const SimOptions o = options(kind, [](SimOptions& x) {
            if (x.kindName == "images3d") x.matrix = "16x16x8";
            if (x.kindName == "images2d") x.matrix = "16x16x3";
        });
        const json t = simulate(o, dir);
        ASSERT_TRUE(t.contains("description")) << kind;
        expectDescribed(t, kind);
    }
}
