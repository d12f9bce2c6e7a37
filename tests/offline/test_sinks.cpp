// The sinks of `duv run`: spectroscopy data sets to NIfTI-MRS volumes and
// files, display images to SVG.
#include <gtest/gtest.h>

#include <cmath>
#include <variant>

#include "DisplaySink.h"
#include "PeakAnalysis.h"
#include "Plots.h"
#include "OfflineTestSupport.h"
#include "DataSetSink.h"
#include "duvhost/Framework.h"
#include "duvhost/Graphics.h"

using namespace offlinetest;
using duvoffline::SpectraSink;
using nlohmann::json;

namespace {

XProtocol protocol(const std::string& patientPosition = "HFS") {
    XProtocol p;
    p.SetString("YAPS.tPatientPosition", patientPosition);
    p.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "1H");
    p.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123200000);
    p.SetString("MEAS.tProtocolName", "csi_protocol");
    return p;
}

// A store laid out as the spectroscopy stage's (COL, AVE, LIN, PHS, SEG)
// with two average slots; the view selects slot 1. Vector p (LIN fastest,
// then PHS, then SEG) holds (p + 1, -t) at time point t; slot 0 holds junk.
struct Store {
    Store(long col, long lin, long phs, long seg) {
        obj = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
        EXPECT_TRUE(obj->create(CXFL, {{COL, col}, {AVE, 2}, {LIN, lin}, {PHS, phs}, {SEG, seg}}));
        auto* c = reinterpret_cast<std::complex<float>*>(obj->data());
        const long vectors = lin * phs * seg;
        for (long p = 0; p < vectors; ++p)
            for (long t = 0; t < col; ++t) {
                c[(2 * p + 0) * col + t] = {-99.0f, -99.0f};
                c[(2 * p + 1) * col + t] = {float(p + 1), -float(t)};
            }
        as = DuvAs(obj);
        EXPECT_TRUE(as.init(AVE, 1, 1, 1));
    }
    MrPtr<DuvObj> obj;
    DuvAs as;
};

MrPtr<MiniHeader> csiHeader(long cols, long rows) {
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    h->set("SpectroData", true, true);
    h->set("RealDwellTime", 250000L);
    h->set("ImageComment", "");
    h->set("SequenceString", "csi_se");
    h->set("TE", 30.0);
    h->set("TR", 1500.0);
    h->set("TI", 0.0);
    h->set("SequenceDescription", "csi_se");
    h->set("SliceThickness", 12.0);
    h->setArrayValues("ColVec", {0.0, 1.0, 0.0});
    h->setArrayValues("RowVec", {1.0, 0.0, 0.0});
    h->setArrayValues("PixelSpacing", {10.0, 5.0});
    h->set("NoOfCols", cols);
    h->set("NoOfRows", rows);
    h->setArrayValues("PosVec", {3.0, -4.0, 20.0});
    h->set("Suffix4DataFileName", "-1_1_1_1_1", true);
    h->set("NumberInSeries", 1L);
    return h;
}

MrPtr<MiniHeader> svsHeader() {
    MrPtr<MiniHeader> h = csiHeader(1, 1);
    h->setArrayValues("ColVec", {0.0, 0.0, 0.0});
    h->setArrayValues("RowVec", {0.0, 0.0, 0.0});
    h->setArrayValues("PixelSpacing", {0.0, 0.0});
    h->setArrayValues("PosVec", {0.0, 0.0, 0.0});
    h->set("SliceThickness", 0.0);
    h->set("SequenceDescription", "svs_se");
    return h;
}

// World (the patient's RAS) of a patient vector, for every patient position.
std::array<double, 3> ras(double sag, double cor, double tra) { return {-sag, -cor, tra}; }

std::array<double, 3> voxelCentre(const niftimrs::Volume& v, double i, double j, double k) {
    std::array<double, 3> w{};
    for (size_t r = 0; r < 3; ++r) w[r] = v.affine[r][0] * i + v.affine[r][1] * j + v.affine[r][2] * k + v.affine[r][3];
    return w;
}

void expectNear(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], 1e-9) << "component " << i;
}

// ---------------------------------------------------------------------------
// Volumes
// ---------------------------------------------------------------------------

TEST(SpectraVolume, CsiGridIsNoOfColsByNoOfRowsWhateverTheViewLengths) {
    // After the exchange of the in-plane directions the view keeps LIN 3 and
    // PHS 4 while the header describes 4 columns and 3 rows.
    Store store(5, 3, 4, 1);
    SpectraSink sink("/nonexistent", protocol());
    const niftimrs::Volume v = sink.toVolume(store.as, *csiHeader(4, 3));
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{4, 3, 1, 5}));
    for (long y = 0; y < 3; ++y)
        for (long x = 0; x < 4; ++x)
            for (long t = 0; t < 5; ++t)
                // Conjugated: the sent (p + 1, -t) rotates the other way in the file.
                EXPECT_EQ(v.data[size_t(x + 4 * y + 12 * t)], std::complex<float>(float(x + 4 * y + 1), float(t)));
    EXPECT_EQ(v.dwellSeconds, 2.5e-4);
    EXPECT_EQ(v.qformCode, 1);
    EXPECT_EQ(v.description, "csi_se");
}

TEST(SpectraVolume, CountsThatDoNotDescribeTheBlockKeepEveryVector) {
    Store store(2, 3, 4, 1);
    SpectraSink sink("/nonexistent", protocol());
    const niftimrs::Volume v = sink.toVolume(store.as, *csiHeader(5, 5));
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{12, 1, 1, 2}));
    EXPECT_EQ(v.data[11], std::complex<float>(12.0f, 0.0f));
}

TEST(SpectraVolume, VoxelCentresLieAroundPosVecAlongRowAndColumn) {
    Store store(2, 4, 3, 1);
    SpectraSink sink("/nonexistent", protocol());
    const niftimrs::Volume v = sink.toVolume(store.as, *csiHeader(4, 3));
    // Column spacing (along RowVec) is PixelSpacing[1] = 5, line spacing 10.
    expectNear(voxelCentre(v, 0, 0, 0), ras(3.0 - 1.5 * 5, -4.0 - 1.0 * 10, 20.0));
    expectNear(voxelCentre(v, 3, 2, 0), ras(3.0 + 1.5 * 5, -4.0 + 1.0 * 10, 20.0));
    expectNear(voxelCentre(v, 1.5, 1, 0), ras(3.0, -4.0, 20.0));
}

TEST(SpectraVolume, PartitionAxisIsTheSlabNormalNotRowCrossColumn) {
    Store store(2, 2, 2, 3);
    // RowVec x ColVec = (0, 0, 1); the slab normal points the other way.
    store.obj->soda(0).setSliceNormVec({0.0, 0.0, -1.0});
    SpectraSink sink("/nonexistent", protocol());
    MrPtr<MiniHeader> h = csiHeader(2, 2);
    h->set("SliceThickness", 8.0);  // partition thickness
    const niftimrs::Volume v = sink.toVolume(store.as, *h);
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{2, 2, 3, 2}));
    // PosVec is the centre of partition 0; partition k lies k x 8 mm along the normal.
    expectNear(voxelCentre(v, 0.5, 0.5, 0), ras(3.0, -4.0, 20.0));
    expectNear(voxelCentre(v, 0.5, 0.5, 2), ras(3.0, -4.0, 20.0 - 16.0));
    EXPECT_EQ(v.data[size_t(1 + 2 * 1 + 4 * 2)], std::complex<float>(12.0f, 0.0f));  // x 1, y 1, z 2
}

TEST(SpectraVolume, SingleVoxelWithoutVolumeOfInterestHasNoPosition) {
    Store store(4, 1, 1, 1);
    SpectraSink sink("/nonexistent", protocol());
    const niftimrs::Volume v = sink.toVolume(store.as, *svsHeader());
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{1, 1, 1, 4}));
    EXPECT_EQ(v.qformCode, 0);
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 4; ++j) EXPECT_EQ(v.affine[i][j], i == j ? 10000.0 : 0.0);
}

TEST(SpectraVolume, SingleVoxelWithVolumeOfInterestHasItsSizes) {
    // A single spectrum travels in a fresh object: its slice geometry (here
    // the default normal (0, 0, 1)) says nothing; the volume's normal is
    // ColVec x RowVec, even where the default would be perpendicular too.
    struct Case {
        std::vector<double> row, col;
        std::array<double, 3> normal;
    };
    for (const Case& c : {Case{{0, 0, 1}, {0, 1, 0}, {1, 0, 0}}, Case{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}) {
        Store store(4, 1, 1, 1);
        SpectraSink sink("/nonexistent", protocol());
        MrPtr<MiniHeader> h = svsHeader();
        h->setArrayValues("RowVec", c.row);
        h->setArrayValues("ColVec", c.col);
        h->setArrayValues("PixelSpacing", {20.0, 15.0});  // (PeFOV, RoFOV)
        h->set("SliceThickness", 25.0);
        h->setArrayValues("PosVec", {1.0, 2.0, 3.0});
        const niftimrs::Volume v = sink.toVolume(store.as, *h);
        EXPECT_EQ(v.qformCode, 1);
        expectNear(voxelCentre(v, 0, 0, 0), ras(1.0, 2.0, 3.0));
        expectNear({v.affine[0][0], v.affine[1][0], v.affine[2][0]}, ras(c.row[0] * 15, c.row[1] * 15, c.row[2] * 15));
        expectNear({v.affine[0][1], v.affine[1][1], v.affine[2][1]}, ras(c.col[0] * 20, c.col[1] * 20, c.col[2] * 20));
        expectNear({v.affine[0][2], v.affine[1][2], v.affine[2][2]},
                   ras(c.normal[0] * 25, c.normal[1] * 25, c.normal[2] * 25));
    }
}

TEST(SpectraVolume, GridGeometryNotPerpendicularToThePlaneFallsBackToColumnCrossRow) {
    Store store(2, 2, 2, 2);
    store.obj->soda(0).setSliceNormVec({1.0, 0.0, 0.0});  // lies in the plane of RowVec
    SpectraSink sink("/nonexistent", protocol());
    const niftimrs::Volume v = sink.toVolume(store.as, *csiHeader(2, 2));
    // ColVec x RowVec = (0, 1, 0) x (1, 0, 0) = (0, 0, -1); 12 mm partitions.
    expectNear({v.affine[0][2], v.affine[1][2], v.affine[2][2]}, ras(0, 0, -12.0));
}

TEST(SpectraVolume, TheFrameIsThePatientsForEveryPositionWhichTheHeaderNames) {
    for (const char* position : {"HFS", "HFP", "FFS", "FFP", "HFDL", "HFDR", "FFDL", "FFDR"}) {
        Store store(2, 4, 3, 1);
        SpectraSink sink("/nonexistent", protocol(position));
        const niftimrs::Volume v = sink.toVolume(store.as, *csiHeader(4, 3));
        EXPECT_EQ(v.qformCode, 1) << position;
        expectNear(voxelCentre(v, 3, 2, 0), ras(3.0 + 1.5 * 5, -4.0 + 1.0 * 10, 20.0));
        EXPECT_EQ(json::parse(v.json)["PatientPosition"], position);
    }
}

TEST(SpectraVolume, UnknownPatientPositionKeepsThePatientFrame) {
    Store store(2, 2, 2, 1);
    SpectraSink sink("/nonexistent", protocol("XYZ"));
    const niftimrs::Volume v = sink.toVolume(store.as, *csiHeader(2, 2));
    EXPECT_EQ(v.qformCode, 1);
    expectNear(voxelCentre(v, 0.5, 0.5, 0), ras(3.0, -4.0, 20.0));
}

TEST(SpectraVolume, ExtensionHoldsTheRequiredAndStandardKeys) {
    Store store(2, 1, 1, 1);
    SpectraSink sink("/nonexistent", protocol());
    MrPtr<MiniHeader> h = svsHeader();
    h->set("TI", 300.0);
    h->set("ImageComment", "_c_3");
    const json j = json::parse(sink.toVolume(store.as, *h).json);
    EXPECT_EQ(j["SpectrometerFrequency"], json::array({123.2}));
    EXPECT_EQ(j["ResonantNucleus"], json::array({"1H"}));
    EXPECT_DOUBLE_EQ(j["EchoTime"].get<double>(), 0.030);
    EXPECT_DOUBLE_EQ(j["RepetitionTime"].get<double>(), 1.5);
    EXPECT_DOUBLE_EQ(j["InversionTime"].get<double>(), 0.3);
    EXPECT_DOUBLE_EQ(j["SpectralWidth"].get<double>(), 4000.0);
    EXPECT_EQ(j["ProtocolName"], "csi_protocol");
    EXPECT_EQ(j["SequenceName"], "csi_se");
    EXPECT_EQ(j["SeriesDescription"]["Value"], "svs_se");
    EXPECT_EQ(j["PatientPosition"], "HFS");
    EXPECT_EQ(j["ConversionMethod"], "duv run");
    EXPECT_EQ(j["ImageComment"]["Value"], "_c_3");
    for (const char* user : {"SeriesDescription", "ImageComment", "NumberInSeries"})
        EXPECT_TRUE(j[user].contains("Description")) << user;
    // The carrier's chemical shift, stated so that readers put NAA at 2.01 ppm.
    EXPECT_EQ(j["SpecFreqChemShift"], json::array({4.7}));
    ASSERT_EQ(j["ProcessingApplied"].size(), 1u);
    EXPECT_EQ(j["ProcessingApplied"][0]["Method"], "RF coil combination");
    EXPECT_FALSE(j.contains("VOI"));  // a single voxel has none
}

TEST(SpectraVolume, ProtocolValuesTheStandardForbidsAreLeftOutWithAWarning) {
    struct Case {
        const char* path;
        std::variant<std::string, double> value;
        const char* leftOut;  // key missing from the extension, or "" when only warned
        const char* warning;
    };
    const Case cases[] = {
        {"MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", std::string("proton"), "ResonantNucleus",
         "ResonantNucleus left out of the spectra: \"proton\" is no mass number followed by a chemical symbol "
         "(such as 1H, 31P)"},
        {"MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", std::string("31p"), "",
         "nucleus \"31p\" written as \"31P\""},
        {"MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123.2, "SpectrometerFrequency",
         "SpectrometerFrequency left out of the spectra: MEAS.sTXSPEC.asNucleusInfo.0.lFrequency 123.2 is not the "
         "frequency in Hz of a magnet from 0.05 to 28 T"},
        {"MEAS.alTE.0", 30000.5, "", "echo time MEAS.alTE.0 30000.5 is not a whole number of microseconds"},
        {"YAPS.tPatientPosition", std::string("XYZ"), "PatientPosition",
         "PatientPosition left out of the spectra: unknown patient position \"XYZ\""},
    };
    for (const Case& c : cases) {
        XProtocol p = protocol();
        if (const auto* t = std::get_if<std::string>(&c.value))
            p.SetString(c.path, *t);
        else
            p.SetDouble(c.path, std::get<double>(c.value));
        duvtrace::ScopedMemorySink trace;
        SpectraSink sink("/nonexistent", p);
        EXPECT_EQ(sink.warnings(), std::vector<std::string>{c.warning}) << c.path;
        EXPECT_EQ(trace->find("DUV.duv", duvtrace::Warning, "SpectraSink", c.warning).size(), 1u) << c.path;
        Store store(2, 1, 1, 1);
        const json j = json::parse(sink.toVolume(store.as, *svsHeader()).json);
        if (*c.leftOut) {
            EXPECT_FALSE(j.contains(c.leftOut)) << c.path;
        }
    }
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

TEST(SpectraFiles, NamesSayWhatTheDataSetIsAndNeverCollide) {
    TempDir dir;
    SpectraSink sink(dir.path().string(), protocol());
    Store svs(4, 1, 1, 1);
    EXPECT_EQ(sink.receive(svs.as, *svsHeader()), I_OK);
    // Two slices of one pass share their suffix.
    Store csi(2, 2, 2, 1);
    for (long slice : {0L, 1L}) {
        MrPtr<MiniHeader> h = csiHeader(2, 2);
        h->set("ImageComment", "_c_3");
        h->set("ProtocolSliceNumber", slice);
        EXPECT_EQ(sink.receive(csi.as, *h), I_OK);
    }
    // A description that is no file name.
    MrPtr<MiniHeader> odd = svsHeader();
    odd->set("SequenceDescription", "a/b c");
    EXPECT_EQ(sink.receive(svs.as, *odd), I_OK);
    // Each text keeps 64 characters at most.
    for (char c : {'d', 'e'}) {
        MrPtr<MiniHeader> h = svsHeader();
        h->set("SequenceDescription", std::string(c == 'd' ? 64 : 65, c));
        EXPECT_EQ(sink.receive(svs.as, *h), I_OK);
    }

    const std::vector<std::string> expected = {"0001_svs_se-1_1_1_1_1", "0002_csi_se_c_3-1_1_1_1_1_slc0",
                                               "0003_csi_se_c_3-1_1_1_1_1_slc1", "0004_a_b_c-1_1_1_1_1",
                                               "0005_" + std::string(64, 'd') + "-1_1_1_1_1",
                                               "0006_" + std::string(64, 'e') + "-1_1_1_1_1"};
    ASSERT_EQ(sink.files().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(sink.files()[i], (dir / (expected[i] + ".nii")));
        EXPECT_TRUE(fs::exists(dir / (expected[i] + ".nii")));
        EXPECT_TRUE(fs::exists(dir / (expected[i] + ".json")));
    }
    EXPECT_EQ(sink.count(), 6);
    EXPECT_EQ(sink.seriesCounts(), (std::map<std::string, long>{{"svs_se", 1},
                                                                 {"csi_se_c_3", 2},
                                                                 {"a/b c", 1},
                                                                 {std::string(64, 'd'), 1},
                                                                 {std::string(65, 'e'), 1}}));
}

TEST(SpectraFiles, HeaderJsonHoldsEveryField) {
    TempDir dir;
    SpectraSink sink(dir.path().string(), protocol());
    Store csi(2, 2, 2, 1);
    MrPtr<MiniHeader> h = csiHeader(2, 2);
    ASSERT_EQ(sink.receive(csi.as, *h), I_OK);
    const json j = readJson(sink.files()[0].substr(0, sink.files()[0].size() - 4) + ".json");
    ASSERT_EQ(j.size(), h->fields().size());
    EXPECT_EQ(j["SpectroData"], true);
    EXPECT_EQ(j["RealDwellTime"], 250000);
    EXPECT_EQ(j["PixelSpacing"], json::array({10.0, 5.0}));
    EXPECT_EQ(j["Suffix4DataFileName"], "-1_1_1_1_1");
    EXPECT_EQ(j["TE"], 30.0);
    // The NIfTI-MRS file reads back with the volume's content.
    const niftimrs::Volume v = niftimrs::read(sink.files()[0]);
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{2, 2, 1, 2}));
    EXPECT_EQ(v.data[3], std::complex<float>(4.0f, 0.0f));
}

TEST(SpectraFiles, DataThatAreNotComplexFailWithTheReason) {
    TempDir dir;
    SpectraSink sink(dir.path().string(), protocol());
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    ASSERT_TRUE(obj->create(FL, {{COL, 4}}));
    DuvAs as(obj);
    EXPECT_EQ(sink.receive(as, *svsHeader()), I_FAIL);
    EXPECT_EQ(sink.lastError(), "data set is not complex float");
    EXPECT_EQ(sink.count(), 0);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SpectraFiles, AnUnwritableDirectoryFails) {
    SpectraSink sink("/nonexistent/spectra", protocol());
    Store svs(4, 1, 1, 1);
    EXPECT_EQ(sink.receive(svs.as, *svsHeader()), I_FAIL);
    EXPECT_EQ(sink.lastError(), "/nonexistent/spectra/0001_svs_se-1_1_1_1_1.nii: cannot be created");
}

// ---------------------------------------------------------------------------
// Display images
// ---------------------------------------------------------------------------

MrPtr<MiniHeader> displayHeader(const std::string& title, double marker = 0.5) {
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    h->set("SecondaryCaptured", true, true);
    GraphOverlay overlay(h->getProtocol());
    const MrPoint pts[2] = {{marker, 0.1}, {marker, 0.9}};
    XNode p = XNodeTraits_MrPolygon_createNode(overlay, "1");
    XNodeTraits_MrPolygon_setValue(p, MrPolygon(pts, 2, MrColor(0.6, 0.6, 0.6)));
    if (!title.empty()) {
        XNode t = XNodeTraits_MrText_createNode(overlay, "2");
        XNodeTraits_MrText_setValue(t, MrText(MrPoint(0.3, 0.05), MrColor(0, 1, 0), title));
    }
    return h;
}

TEST(Display, KindComesFromTheTitle) {
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("Single-shot spectrum (Ave 1/4); signal max. = 1.00e+00")),
              "spectrum");
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("Current phase-encoded spectrum; signal max. = 2e+00")),
              "spectrum");
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("VoI profile (Ave 1/1; Rep 1/1)")), "trace");
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("OVS profile (Ave 1/1; Rep 1/1)")), "trace");
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("Excite flip angle calibration (90-180 deg)")), "calibration");
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("Calibration (1-9); Ave 1/1; Rep 1/8")), "calibration");
    EXPECT_EQ(duvoffline::displayKind(*displayHeader("")), "display");
}

// Font size and lines of the first text of an SVG.
std::pair<double, std::vector<std::string>> firstText(const std::string& svg) {
    const size_t at = svg.find("<text ");
    const size_t f = svg.find("font-size=\"", at) + 11;
    std::vector<std::string> lines;
    for (size_t p = svg.find("<tspan", at); p < svg.find("</text>", at); p = svg.find("<tspan", p + 1)) {
        const size_t b = svg.find('>', p) + 1;
        lines.push_back(svg.substr(b, svg.find("</tspan>", b) - b));
    }
    return {std::stod(svg.substr(f)), lines};
}

TEST(Display, TextsAreFittedIntoThePicture) {
    // Fits at the normal size (2.2% of the picture).
    EXPECT_EQ(firstText(duvoffline::overlayToSvg(*displayHeader("short", 0.25), 640)),
              std::make_pair(14.08, std::vector<std::string>{"short"}));
    // 60 characters from x = 0.3: smaller, and the line ends inside the picture.
    const std::string sixty(60, 'x');
    auto [font, lines] = firstText(duvoffline::overlayToSvg(*displayHeader(sixty, 0.25), 640));
    EXPECT_LT(font, 14.08);
    EXPECT_LE(192 + 0.6 * font * 60, 640 - 3.2 + 0.01);  // the font size is written with 6 digits
    EXPECT_EQ(lines, std::vector<std::string>{sixty});
    // Too long even at the smallest size (1.4%, 82 characters): wrapped at a blank.
    std::string first, rest;
    for (int k = 0; k < 24; ++k) (k < 16 ? first : rest) += (k % 16 ? " " : "") + std::string("abcd");
    std::tie(font, lines) = firstText(duvoffline::overlayToSvg(*displayHeader(first + " " + rest, 0.25), 640));
    EXPECT_DOUBLE_EQ(font, 8.96);
    EXPECT_EQ(lines, (std::vector<std::string>{first, rest}));
}

TEST(Display, SvgScalesTheImageAndEscapesTexts) {
    MrPtr<MiniHeader> h = displayHeader("a < b & \"c\"\nsecond\x01line", 0.25);
    const std::string svg = duvoffline::overlayToSvg(*h, 640);
    EXPECT_NE(svg.find("width=\"640\" height=\"640\""), std::string::npos);
    EXPECT_NE(svg.find("points=\"160,64 160,576\""), std::string::npos);
    EXPECT_NE(svg.find("stroke=\"rgb(153,153,153)\""), std::string::npos);
    EXPECT_NE(svg.find(">a &lt; b &amp; &quot;c&quot;</tspan>"), std::string::npos);
    EXPECT_NE(svg.find(">second?line</tspan>"), std::string::npos);
    // Non-finite points (a graph without range) stay inside the picture.
    MrPtr<MiniHeader> n = displayHeader("t", std::nan(""));
    EXPECT_NE(duvoffline::overlayToSvg(*n, 640).find("points=\"0,64 0,576\""), std::string::npos);
}

TEST(Display, SinkKeepsTheLatestOfEachKindAndEveryOneOnRequest) {
    TempDir latestDir, allDir;
    duvoffline::DisplaySink latest(latestDir.path().string(), false), all(allDir.path().string(), true);
    const std::vector<MrPtr<MiniHeader>> images = {displayHeader("Single-shot spectrum 1", 0.1),
                                                   displayHeader("VoI profile", 0.2),
                                                   displayHeader("Single-shot spectrum 2", 0.3)};
    for (const auto& h : images) {
        EXPECT_EQ(latest.receive(*h), I_OK);
        EXPECT_EQ(all.receive(*h), I_OK);
    }
    EXPECT_EQ(latest.count(), 3);
    EXPECT_EQ(latest.countsByKind(), (std::map<std::string, long>{{"spectrum", 2}, {"trace", 1}}));
    EXPECT_TRUE(fs::is_empty(latestDir.path()));  // rendering waits for flush
    const auto files = latest.flush();
    EXPECT_EQ(files, (std::vector<std::string>{latestDir / "latest_spectrum.svg", latestDir / "latest_trace.svg"}));
    EXPECT_EQ(readText(latestDir / "latest_spectrum.svg"), duvoffline::overlayToSvg(*images[2]));
    EXPECT_EQ(readText(latestDir / "latest_trace.svg"), duvoffline::overlayToSvg(*images[1]));

    all.flush();
    EXPECT_EQ(readText(allDir / "spectrum_00001.svg"), duvoffline::overlayToSvg(*images[0]));
    EXPECT_EQ(readText(allDir / "spectrum_00002.svg"), duvoffline::overlayToSvg(*images[2]));
    EXPECT_EQ(readText(allDir / "trace_00001.svg"), duvoffline::overlayToSvg(*images[1]));
    EXPECT_TRUE(fs::exists(allDir / "latest_spectrum.svg"));
}

}  // namespace

// A file's dwell time and frequency may be any numbers: where they give no
// finite ppm scale the spectrum is drawn over the point index, without peaks.
TEST(SpectrumPicture, DwellAndFrequencyWithoutAFinitePpmScaleGiveNoPeaks) {
    std::vector<std::complex<double>> fid(64);
    for (size_t m = 0; m < fid.size(); ++m) fid[m] = std::polar(std::exp(-0.05 * double(m)), 0.7 * double(m));
    const duvoffline::SpectrumAxis good{5e-4, 123.2, 4.65};
    EXPECT_TRUE(good.hasPpmScale(256));
    EXPECT_EQ(duvoffline::findPeaks(fid, good).size(), 1u);
    for (const duvoffline::SpectrumAxis& bad : {duvoffline::SpectrumAxis{1e-320, 1e-10, 4.65},
                                               duvoffline::SpectrumAxis{INFINITY, 123.2, 4.65},
                                               duvoffline::SpectrumAxis{5e-4, 123.2, INFINITY}}) {
        EXPECT_FALSE(bad.hasPpmScale(256));
        EXPECT_TRUE(duvoffline::findPeaks(fid, bad).empty());
        const std::string svg = duvoffline::spectrumSvg(fid, bad, "t");
        EXPECT_NE(svg.find("point (no frequency: no ppm axis)"), std::string::npos);
        EXPECT_EQ(svg.find("nan"), std::string::npos);
    }
}
