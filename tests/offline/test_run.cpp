// `duv run` end to end: composing through a module's configurator from the
// module path, properties filled from protocol.txt, --stop-after, failing
// lifecycle calls, bad input, and the outputs. The test module
// (OfflineTestModule) makes every case reachable; the real modules run
// when their libraries are in the build's lib directory.
#include <gtest/gtest.h>

#include <cmath>
#include <sys/stat.h>

#include <csignal>
#include <regex>

#include "../spectroscopy/ProtocolTestSupport.h"
#include "OfflineTestSupport.h"
#include "NiftiMrs.h"
#include "Progress.h"
#include "RunCommand.h"
#include "duvhost/Framework.h"
#include "duvhost/Pipeline.h"

using namespace offlinetest;
using nlohmann::json;
using duvoffline::RunOptions;

namespace {

const std::string kLibDir = DUV_LIB_DIR;

void saveProtocol(const XProtocol& p, const std::string& path) {
    std::string text;
    p.SaveToStream(text);
    std::ofstream(path) << text;
}

XProtocol testModuleProtocol() {
    XProtocol p;
    p.SetString("YAPS.tPatientPosition", "HFS");
    p.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "1H");
    p.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123200000);
    p.SetString("TEST.tLabel", "run_label");
    p.SetLong("TEST.lDwellNs", 200000);
    p.SetLong("TEST.lInitStatus", 0);
    p.SetLong("TEST.lFailAt", -1);
    p.SetLong("TEST.lEndOfJobStatus", 0);
    p.SetLong("TEST.lDisplayEvery", 1);
    p.SetString("TEST.tCalibText", "");
    p.SetLong("TEST.lFullDiskSidecar", 0);
    p.SetString("TEST.tDiagnostic", "");
    return p;
}

class Run : public ::testing::Test {
protected:
    void SetUp() override {
        duvtrace::clearSinks();  // standard error stays for the messages of duv itself
        ModuleLoader::instance().reset();  // every run finds its module as a fresh duv would
        in = dir / "meas";
        out = dir / "out";
        fs::create_directories(in);
        protocol = testModuleProtocol();
        options.input = in;
        options.output = out;
        options.module = "OfflineTestModule";
        options.configurator = "OfflineScanConfigurator";
        options.modulePath = {kLibDir};
    }
    void TearDown() override {
        duvtrace::clearSinks();
        duvtrace::addSink(std::make_shared<duvtrace::StderrTraceSink>(duvtrace::Error));
    }

    void writeReadouts(int n, uint16_t samples = 32) {
        duvfiles::ReadoutWriter w(in + "/readouts.bin", 1);
        for (int k = 0; k < n; ++k) {
            duvfiles::ReadoutRecord r = makeReadout(samples, 1, uint16_t(k));
            w.add(r);
        }
    }
    // Two readouts of a single voxel for Derovo2, the module they need.
    void writeSingleVoxelMeasurement() {
        protocol = FullProtocol(1);
        SingleVoxelOverrides(protocol);
        protocol.SetString("YAPS.tPatientPosition", "HFS");
        protocol.SetBool("MEAS.sSpecPara.ucVoIValid", false);
        protocol.SetString("MEAS.tProtocolName", "svs_se_30");
        duvfiles::ReadoutWriter w(in + "/readouts.bin", 1);
        for (uint16_t set = 0; set < 2; ++set) {
            duvfiles::ReadoutRecord r;
            r.header.ushSamplesInScan = 8;
            r.header.ushUsedChannels = 1;
            r.header.sLC.ushSet = set;
            for (int i = 0; i < 8; ++i) {
                r.samples.push_back(std::cos(0.7f * float(i)));
                r.samples.push_back(std::sin(0.7f * float(i)));
            }
            w.add(r);
        }
        options.module.clear();
        options.configurator.clear();
    }
    void writeImages(int n) {
        duvfiles::ImageWriter w(in + "/images.bin");
        for (int k = 0; k < n; ++k) {
            duvfiles::ImageRecord r;
            r.format = SH;
            r.columns = 4;
            r.lines = 3;
            r.fields = {{"SequenceDescription", MiniHeader::Text, std::string("t1"), false},
                        {"AnatomicalSliceNo", MiniHeader::Int, long(k), false}};
            r.data.assign(4 * 3 * 2, 7);
            w.add(r);
        }
    }
    // Writes the protocol and runs; the exit status, standard error in `err`.
    // Standard output in `said`. However the run ends, descriptors 1 and 2
    // are what they were before it.
    int run() {
        saveProtocol(protocol, in + "/protocol.txt");
        const std::pair<dev_t, ino_t> before[2] = {fileOf(1), fileOf(2)};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::pair<dev_t, ino_t> captured[2] = {fileOf(1), fileOf(2)};
        const int status = duvoffline::runMeasurement(options);
        EXPECT_EQ(fileOf(1), captured[0]);
        EXPECT_EQ(fileOf(2), captured[1]);
        err = testing::internal::GetCapturedStderr();
        said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(fileOf(1), before[0]);
        EXPECT_EQ(fileOf(2), before[1]);
        return status;
    }
    static std::pair<dev_t, ino_t> fileOf(int fd) {
        struct stat st {};
        EXPECT_EQ(fstat(fd, &st), 0) << fd;
        return {st.st_dev, st.st_ino};
    }
    // Folders below (and including) `out` that are empty.
    std::vector<std::string> emptyFolders() {
        std::vector<std::string> empty;
        if (fs::is_directory(out) && fs::is_empty(out)) empty.push_back(out);
        if (fs::is_directory(out))
            for (const auto& e : fs::recursive_directory_iterator(out))
                if (e.is_directory() && fs::is_empty(e.path())) empty.push_back(e.path());
        return empty;
    }
    json summary() { return readJson(out + "/summary.json"); }
    // The header JSON written beside the n-th spectra file.
    json dataSetHeader(size_t n) {
        const std::string nii = summary()["spectraFiles"][n];
        return readJson(nii.substr(0, nii.size() - 4) + ".json");
    }

    TempDir dir;
    std::string in, out, err, said;
    XProtocol protocol;
    duvoffline::RunOptions options;
};

TEST_F(Run, ComposesThroughTheConfiguratorAndFillsPropertiesFromTheProtocol) {
    writeReadouts(3);
    const fs::path cwd = fs::current_path();
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(fs::current_path(), cwd);

    const json s = summary();
    EXPECT_EQ(s["ok"], true);
    EXPECT_EQ(s["module"], "OfflineTestModule");
    EXPECT_EQ(s["lifecycle"], json({{"compose", "0x0"}, {"init", "0x0"}, {"endOfJob", "0x0"}}));
    std::vector<std::string> stages;
    for (const json& st : s["stages"]) stages.push_back(st["stage"]);
    EXPECT_EQ(stages, (std::vector<std::string>{"root", "offlinescan", "scansink"}));
    EXPECT_EQ(s["stages"][1]["calls"], 3);
    EXPECT_EQ(s["records"], 3);
    EXPECT_EQ(s["fed"], 3);
    EXPECT_EQ(s["endStatus"], "0x20004");
    EXPECT_EQ(s["passedOnScans"], 3);
    EXPECT_EQ(s["dataSets"], 1);
    EXPECT_EQ(s["dataSetsPerSeries"], json({{"run_label", 1}}));
    EXPECT_EQ(s["displayImages"], 3);
    EXPECT_EQ(s["displayImagesPerKind"], json({{"spectrum", 3}}));
    EXPECT_EQ(s["displayFiles"], json::array({out + "/display/latest_spectrum.svg"}));
    EXPECT_EQ(s["niftiFiles"], json::array());
    EXPECT_TRUE(s["calibrationFile"].is_null());
    EXPECT_GE(s["wallSeconds"].get<double>(), 0.0);

    // The stage's properties came from the protocol: label and dwell time.
    const json h = dataSetHeader(0);
    EXPECT_EQ(h["SequenceDescription"], "run_label");
    EXPECT_EQ(h["RealDwellTime"], 200000);
    EXPECT_EQ(h["ScansSeen"], 3);
    EXPECT_EQ(h["EndStatusSeen"], 0x20004);
    const niftimrs::Volume v = niftimrs::read(s["spectraFiles"][0]);
    EXPECT_EQ(v.dwellSeconds, 2e-4);
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{1, 1, 1, 32}));
    EXPECT_EQ(v.data[5], std::complex<float>(5.0f, 5.5f));  // the last readout's samples, conjugated

    // The host's installation lives under OUT/host; every record is in trace.log.
    for (const char* d : {"host/SimMeasData", "host/temp", "host/MriCustomer/seq", "host/work"})
        EXPECT_TRUE(fs::is_directory(out + "/" + d)) << d;
    EXPECT_NE(readText(out + "/trace.log").find("offlinescan BeginInit, label run_label"), std::string::npos);
}

TEST_F(Run, TraceRecordsReachTheCallersSinksAndTheLogOnlyWhileTheRunLasts) {
    writeReadouts(1);
    duvtrace::ScopedMemorySink memory;
    ASSERT_EQ(run(), 0) << err;
    EXPECT_TRUE(memory->contains("offlinescan BeginInit, label run_label"));
    const std::string log = readText(out + "/trace.log");
    getStdStackTraceStream("DUV.test", duvtrace::Error, 1, "Test", "test", "test_run.cpp", __LINE__, "after", "DLL",
                           false)
        << "after the run";
    EXPECT_EQ(readText(out + "/trace.log"), log);
}

TEST_F(Run, StopAfterEndsTheJobWithAStopStatus) {
    writeReadouts(4);
    options.stopAfter = 2;
    ASSERT_EQ(run(), 0) << err;
    const json s = summary();
    EXPECT_EQ(s["stopAfter"], 2);
    EXPECT_EQ(s["fed"], 2);
    EXPECT_EQ(s["records"], 4);
    EXPECT_EQ(s["endStatus"], "0x20006");
    EXPECT_EQ(s["passedOnScans"], 2);
    EXPECT_EQ(dataSetHeader(0)["ScansSeen"], 2);
    EXPECT_EQ(dataSetHeader(0)["EndStatusSeen"], long(duvoffline::kAcquisitionStopped));
}

TEST_F(Run, StopAfterBeyondTheLastRecordIsAnOrdinaryEnd) {
    writeReadouts(2);
    options.stopAfter = 10;
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(summary()["endStatus"], "0x20004");
    EXPECT_EQ(dataSetHeader(0)["ScansSeen"], 2);
}

TEST_F(Run, FailingBeginInitIsReportedWithStatusAndLastError) {
    writeReadouts(2);
    protocol.SetLong("TEST.lInitStatus", long(I_FAIL));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(err, "duv run: stage offlinescan: BeginInit failed with status 0xc0000001; last error 0xc0000001\n");
    const json s = summary();
    EXPECT_EQ(s["ok"], false);
    EXPECT_EQ(s["lifecycle"], json({{"compose", "0x0"}, {"init", "0xc0000001"}, {"endOfJob", nullptr}}));
    EXPECT_EQ(s["stages"][1]["beginInit"], "0xc0000001");
    EXPECT_EQ(s["failure"], "stage offlinescan: BeginInit failed with status 0xc0000001; last error 0xc0000001");
}

TEST_F(Run, FailingComputeScanIsReported) {
    writeReadouts(3);
    protocol.SetLong("TEST.lFailAt", 1);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(err,
              "duv run: stage offlinescan: 1 of 3 calls failed, the first with status 0xc0000001 "
              "(ComputeScan returned 0xc0000001); last error 0xc0000001\n");
    const json s = summary();
    EXPECT_EQ(s["ok"], false);
    EXPECT_EQ(s["stages"][1]["failedCalls"], 1);
    EXPECT_EQ(s["passedOnScans"], 2);  // the failed scan goes no further
    EXPECT_EQ(s["lifecycle"]["endOfJob"], "0x0");
}

// A module's diagnostic without a final line feed, printed every way a module
// prints: all of it in module.log, nothing on duv's standard output or
// error but the one-line reason, which repeats its last line.
TEST_F(Run, WhatTheModulesPrintGoesToModuleLogAndTheReasonRepeatsItsLastLine) {
    writeReadouts(3);
    protocol.SetLong("TEST.lFailAt", 1);
    protocol.SetString("TEST.tDiagnostic", "\n OfflineScanStage::ComputeScan(): Error\n scan 1 refused \n\t\n");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(readText(out + "/module.log"),
              "std::cerr\nstderr\nstd::cout\n\n OfflineScanStage::ComputeScan(): Error\n scan 1 refused \n\t\n");
    const std::string reason =
        "stage offlinescan: 1 of 3 calls failed, the first with status 0xc0000001 (ComputeScan returned "
        "0xc0000001); last error 0xc0000001 (module: scan 1 refused)";
    EXPECT_EQ(err, "duv run: " + reason + "\n");
    EXPECT_EQ(said, "");
    const json s = summary();
    EXPECT_EQ(s["failure"], reason);
    EXPECT_EQ(s["logFiles"], json::array({out + "/trace.log", out + "/module.log"}));
}

TEST_F(Run, FailingEndOfJobIsReported) {
    writeReadouts(1);
    protocol.SetLong("TEST.lEndOfJobStatus", long(I_FAIL));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(err, "duv run: stage offlinescan: end of job failed with status 0xc0000001; last error 0xc0000001\n");
    const json s = summary();
    EXPECT_EQ(s["lifecycle"]["endOfJob"], "0xc0000001");
    EXPECT_EQ(s["dataSets"], 1);  // sent before it failed
}

TEST_F(Run, FailingCompositionIsReported) {
    writeReadouts(1);
    options.configurator = "OfflineFailingConfigurator";
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(err,
              "duv run: composing the pipeline with OfflineFailingConfigurator failed with status 0xc0000001; "
              "last error 0xc0000001\n");
    EXPECT_EQ(summary()["lifecycle"]["compose"], "0xc0000001");
    EXPECT_TRUE(summary()["lifecycle"]["init"].is_null());
}

TEST_F(Run, AModuleThatCannotBeLoadedIsReported) {
    writeReadouts(1);
    options.module = "NoSuchModule";
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(err.rfind("duv run: composing the pipeline failed: cannot load module 'NoSuchModule': "
                        "libNoSuchModule.so not loadable from [" + kLibDir + "]",
                        0),
              0u)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST_F(Run, ARelativeModulePathMeansWhereDuvStarted) {
    writeReadouts(1);
    const fs::path cwd = fs::current_path();
    fs::current_path(fs::path(kLibDir).parent_path());
    options.modulePath = {fs::path(kLibDir).filename().string()};
    const int status = run();
    fs::current_path(cwd);
    EXPECT_EQ(status, 0) << err;
}

TEST_F(Run, AProtocolWithoutAPropertysNodeIsBadInput) {
    writeReadouts(1);
    protocol = XProtocol();
    protocol.SetString("YAPS.tPatientPosition", "HFS");
    protocol.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "1H");
    protocol.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123200000);
    protocol.SetString("TEST.tLabel", "no init status");
    protocol.SetLong("TEST.lDwellNs", 1000);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err.rfind("duv run: protocol: ", 0), 0u) << err;
    EXPECT_NE(err.find("TEST.lInitStatus"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(out + "/summary.json"));
}

TEST_F(Run, BadInputIsRefusedInOneLineBeforeAnythingIsWritten) {
    writeReadouts(2);
    const std::string file = in + "/readouts.bin";
    auto bytes = readBytes(file);
    bytes.resize(bytes.size() - 1);
    writeBytes(file, bytes);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err, "duv run: " + file + ": record 1: field samples: truncated record\n");
    EXPECT_FALSE(fs::exists(out));

    writeReadouts(2);
    duvfiles::ImageWriter(in + "/images.bin").close();
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err, "duv run: " + in + ": needs exactly one of readouts.bin and images.bin\n");
    EXPECT_FALSE(fs::exists(out));

    options.input = dir / "missing";
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err, "duv run: " + (dir / "missing") + ": not a directory\n");

    options.input = in;
    fs::remove(in + "/images.bin");
    std::ofstream(in + "/protocol.txt") << "A.b = 1\nthis is no protocol line\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(duvoffline::runMeasurement(options), 2);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("protocol.txt"), std::string::npos) << err;
    EXPECT_NE(err.find('2'), std::string::npos) << err;  // the line
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Run, ImagesPassImaFinishAndTheExportStageWritesIntoOutNifti) {
    writeImages(2);
    options.configurator = "OfflineExportConfigurator";
    ASSERT_EQ(run(), 0) << err;
    const json s = summary();
    EXPECT_EQ(s["recordKind"], "images");
    EXPECT_EQ(s["passedOnImages"], 2);
    EXPECT_EQ(s["niftiFiles"], json::array({out + "/nifti/images.txt"}));
    EXPECT_EQ(readText(out + "/nifti/images.txt"), "2\n");
    std::vector<std::string> stages, services;
    for (const json& st : s["stages"]) {
        stages.push_back(st["stage"]);
        services.push_back(st["service"]);
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"root", "imafinish", "offlinewriter", "imasink"}));
    EXPECT_EQ(services, (std::vector<std::string>{"root_ps", "root_ps", "offline_ps", "offline_ps"}));
}

TEST_F(Run, KeepDisplaysKeepsEveryDisplayImage) {
    writeReadouts(3);
    options.keepDisplays = true;
    ASSERT_EQ(run(), 0) << err;
    for (const char* f : {"spectrum_00001.svg", "spectrum_00002.svg", "spectrum_00003.svg", "latest_spectrum.svg"})
        EXPECT_TRUE(fs::exists(out + "/display/" + f)) << f;
    EXPECT_EQ(readText(out + "/display/spectrum_00003.svg"), readText(out + "/display/latest_spectrum.svg"));
    EXPECT_NE(readText(out + "/display/spectrum_00001.svg"), readText(out + "/display/spectrum_00002.svg"));
}

TEST_F(Run, TheCalibrationFileIsNamedWhenTheRunWroteIt) {
    writeReadouts(1);
    const std::string calib = out + "/host/SimMeasData/zorp_calibs.ini";
    protocol.SetString("TEST.tCalibText", "refV = 52.3");
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(summary()["calibrationFile"], json({{"path", calib}, {"content", "refV = 52.3\n\n"}}));

    // A run that writes nothing leaves the file and does not claim it.
    protocol.SetString("TEST.tCalibText", "");
    ASSERT_EQ(run(), 0) << err;
    EXPECT_TRUE(summary()["calibrationFile"].is_null());
    EXPECT_TRUE(fs::exists(calib));

    // A later run appends to what the earlier one left, as on the scanner.
    protocol.SetString("TEST.tCalibText", "vaporFA = 95 ");
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(summary()["calibrationFile"]["content"], "refV = 52.3\n\nvaporFA = 95 \n\n");
}

TEST_F(Run, OutputsOfAnEarlierRunAreReplacedAfterANotice) {
    writeReadouts(2);
    options.keepDisplays = true;
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(err, "");
    options.keepDisplays = false;
    protocol.SetLong("TEST.lDisplayEvery", 0);
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(err, "duv run: " + out + " holds an earlier run: its results are replaced\n");
    EXPECT_TRUE(fs::is_empty(out + "/display"));
    EXPECT_EQ(summary()["spectraFiles"].size(), 1u);
    size_t niiFiles = 0;
    for (const auto& e : fs::directory_iterator(out + "/spectra")) niiFiles += e.path().extension() == ".nii";
    EXPECT_EQ(niiFiles, 1u);
}

TEST_F(Run, ASuccessfulRunSaysInOneLineWhatWentInAndWhatCameOut) {
    writeReadouts(3);
    ASSERT_EQ(run(), 0) << err;
    EXPECT_TRUE(std::regex_match(said, std::regex("duv run: 3 readouts -> 1 spectra file, 3 display images in " + out +
                                                  " \\([0-9]+\\.[0-9] s\\)\n")))
        << said;
    options.stopAfter = 1;
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(said.substr(0, said.find(" in /")),
              "duv run: 1 of 3 readouts (stopped) -> 1 spectra file, 1 display image");
}

TEST_F(Run, ProtocolWarningsGoToStandardErrorOneLineEach) {
    writeReadouts(1);
    protocol.SetString("YAPS.tPatientPosition", "HFX");
    protocol.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "h1");
    protocol.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 1230);
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(err,
              "duv run: warning: PatientPosition left out of the spectra: unknown patient position \"HFX\"\n"
              "duv run: warning: ResonantNucleus left out of the spectra: \"h1\" is no mass number followed by a "
              "chemical symbol (such as 1H, 31P)\n"
              "duv run: warning: SpectrometerFrequency left out of the spectra: "
              "MEAS.sTXSPEC.asNucleusInfo.0.lFrequency 1230.0 is not the frequency in Hz of a magnet from 0.05 to 28 T\n");
    // Plausible for protons, not for the nucleus named.
    protocol.SetString("YAPS.tPatientPosition", "HFS");
    protocol.SetString("MEAS.sTXSPEC.asNucleusInfo.0.tNucleus", "31P");
    protocol.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 600000000);
    fs::remove_all(out);
    ASSERT_EQ(run(), 0) << err;
    EXPECT_EQ(err, "duv run: warning: frequency 600 MHz means 34.8 T for 31P: the ppm axis will be wrong\n");
}

TEST_F(Run, FailedRunsLeaveNoEmptyFolders) {
    writeReadouts(2);
    protocol.SetLong("TEST.lInitStatus", long(I_FAIL));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(fs::exists(out + "/summary.json"));
    EXPECT_EQ(emptyFolders(), std::vector<std::string>{});
    // A protocol without a property's node: refused after the folders were made.
    fs::remove_all(out);
    protocol = XProtocol();
    protocol.SetString("YAPS.tPatientPosition", "HFS");
    EXPECT_EQ(run(), 2);
    EXPECT_TRUE(fs::exists(out + "/trace.log"));
    EXPECT_EQ(emptyFolders(), std::vector<std::string>{});
}

// Raises a signal when the stage begins: the run must end like a stopped
// measurement however early the signal comes.
class SignalAtBeginInit : public duvtrace::TraceSink {
public:
    explicit SignalAtBeginInit(int signal) : signal_(signal) {}
    bool wants(const std::string&, int) const override { return true; }
    void write(const duvtrace::TraceRecord& r) override {
        if (r.text.find("BeginInit, label") != std::string::npos) std::raise(signal_);
    }

private:
    int signal_;
};

class Interrupted : public Run, public ::testing::WithParamInterface<int> {};

TEST_P(Interrupted, EndsLikeAStoppedMeasurementWithStatus130) {
    writeReadouts(3);
    auto sink = std::make_shared<SignalAtBeginInit>(GetParam());
    duvtrace::addSink(sink);
    const int status = run();
    duvtrace::removeSink(sink);
    EXPECT_EQ(status, 130) << err;
    const std::string name = GetParam() == SIGINT ? "SIGINT" : "SIGTERM";
    EXPECT_EQ(err, "duv run: interrupted by " + name + " after 0 of 3 readouts; what was stored so far is in " + out +
                       "\n");
    const json s = summary();
    EXPECT_EQ(s["interrupted"], name);
    EXPECT_EQ(s["ok"], false);
    EXPECT_EQ(s["fed"], 0);
    EXPECT_EQ(s["endStatus"], "0x20006");
    EXPECT_EQ(s["lifecycle"]["endOfJob"], "0x0");
    // The disposition before the run is back.
    struct sigaction now {};
    sigaction(GetParam(), nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM));

TEST(Progress, TheLineFitsEveryWidthAndShowsRateAndTimeLeft) {
    EXPECT_EQ(duvoffline::progressLine(250, 1000, 2.0, 80, "readouts"),
              "[#########.............................]  25% 250/1000 readouts 125/s 0:06 left");
    EXPECT_EQ(duvoffline::progressLine(0, 1000, 0.0, 40, "readouts"), "[.....................]   0% --:-- left");
    EXPECT_EQ(duvoffline::progressLine(5, 10, 1.0, 16, "readouts"), " 50% 0:01 left");
    for (int width = 1; width <= 300; ++width)
        for (uint64_t done : {uint64_t(0), uint64_t(7), uint64_t(999999), uint64_t(1000000)}) {
            const std::string line = duvoffline::progressLine(done, 1000000, 3600.0, width, "readouts");
            EXPECT_LT(int(line.size()), std::max(width, 1)) << width;
            EXPECT_EQ(line.find('\n'), std::string::npos);
        }
}

// ---------------------------------------------------------------------------
// The real modules, when the build has them
// ---------------------------------------------------------------------------

bool haveModule(const std::string& name) { return fs::exists(kLibDir + "/lib" + name + ".so"); }

TEST_F(Run, Derovo2ReconstructsASingleVoxelMeasurement) {
    if (!haveModule("Derovo2")) GTEST_SKIP() << "libDerovo2.so is not in " << kLibDir;
    writeSingleVoxelMeasurement();
    ASSERT_EQ(run(), 0) << err;
    const json s = summary();
    EXPECT_EQ(s["module"], "Derovo2");
    EXPECT_EQ(s["configurator"], "Derovo2Configurator");
    EXPECT_EQ(s["passedOnScans"], 2);
    ASSERT_GE(s["dataSets"].get<long>(), 1);
    EXPECT_GE(s["displayImages"].get<long>(), 1);
    // The dwell time and echo time are the protocol's (properties filled from protocol.txt).
    const niftimrs::Volume v = niftimrs::read(s["spectraFiles"][0]);
    EXPECT_EQ(v.dims, (std::array<int64_t, 4>{1, 1, 1, 8}));
    EXPECT_EQ(v.dwellSeconds, 2.5e-4);
    EXPECT_EQ(v.qformCode, 0);
    const json meta = json::parse(v.json);
    EXPECT_DOUBLE_EQ(meta["EchoTime"].get<double>(), 0.030);
    EXPECT_EQ(meta["ProtocolName"], "svs_se_30");
    EXPECT_EQ(meta["SpectrometerFrequency"], json::array({123.2}));

    // A header that refuses "CoilString" makes the module's end of job fail:
    // the run reports it with the module's last error.
    MiniHeader::refuseEverywhere("CoilString");
    const int status = run();
    MiniHeader::clearRefusalsEverywhere();
    EXPECT_EQ(status, 1);
    const json failed = summary();
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["lifecycle"]["endOfJob"], "0xc0000001");
    EXPECT_EQ(failed["dataSets"], 0);
    const std::string stage = failed["stages"][1]["stage"];
    EXPECT_EQ(err, "duv run: " + out + " holds an earlier run: its results are replaced\nduv run: stage " + stage +
                       ": end of job failed with status 0xc0000001; last error 0xc0000001\n");
}

// Three 8 x 6 images with the protocol the Viviv writer reads, run with the
// module's own configurator.
void writeVivivMeasurement(XProtocol& protocol, const std::string& in, RunOptions& options) {
    protocol = XProtocol();
    protocol.SetLong("YAPS.iMaxNoOfRxChannels", 1);
    protocol.SetLong("MEAS.sSliceArray.lSize", 3);
    protocol.SetLong("MEAS.sKSpace.lImagesPerSlab", 1);
    protocol.SetLong("YAPS.iNoOfFourierPartitions", 1);
    protocol.SetLong("YAPS.iNSet", 1);
    protocol.SetLong("YAPS.iNIda", 1);
    protocol.SetLong("MEAS.sPhysioImaging.lPhases", 1);
    protocol.SetLong("MEAS.lRepetitions", 0);
    protocol.SetLong("MEAS.sKSpace.lBaseResolution", 8);
    protocol.SetLong("MEAS.sKSpace.lPhaseEncodingLines", 6);
    protocol.SetDouble("MEAS.sSliceArray.asSlice.0.dReadoutFOV", 220.0);
    protocol.SetDouble("MEAS.sSliceArray.asSlice.0.dPhaseFOV", 165.0);
    protocol.SetDouble("MEAS.sSliceArray.asSlice.0.dThickness", 4.0);
    protocol.SetDouble("MEAS.sGroupArray.asGroup.0.dDistFact", 0.25);
    protocol.SetString("YAPS.tPatientPosition", "HFS");
    protocol.SetLong("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", 123251815);
    protocol.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetX", 0);
    protocol.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetY", 0);
    protocol.SetLong("MEAS.sGRADSPEC.asGPAData.0.lOffsetZ", 0);
    protocol.SetLong("MEAS.sGRADSPEC.alShimCurrent.0", 0);
    protocol.SetLong("MEAS.alTR.0", 2300000);
    for (long i = 0; i < 16; ++i) protocol.SetLong("YAPS.alDUVProgramPara." + std::to_string(i), 0);
    protocol.SetString("MEAS.tProtocolName", "t1_se");
    {
        duvfiles::ImageWriter w(in + "/images.bin");
        for (int slice = 0; slice < 3; ++slice) {
            duvfiles::ImageRecord r;
            r.format = SH;
            r.columns = 8;
            r.lines = 6;
            for (int d = 0; d < DUV_DIM_COUNT; ++d) {
                r.control.setCount(DuvDim(d), 1);
                r.control.setIndex(DuvDim(d), 0);
            }
            r.control.setCount(SLC, 3);
            r.control.setIndex(SLC, slice);
            r.soda.setSlicePosVec({0.0, 0.0, 4.0 * slice});
            r.soda.setRowSpacing(220.0 / 8);
            r.soda.setColumnSpacing(165.0 / 6);
            r.soda.setThickness(4.0);
            r.fields = {{"SequenceDescription", MiniHeader::Text, std::string("t1_se"), false},
                        {"AnatomicalSliceNo", MiniHeader::Int, long(slice), false}};
            r.data.assign(8 * 6 * 2, static_cast<unsigned char>(slice + 1));
            w.add(r);
        }
    }
    options.module.clear();
    options.configurator.clear();
}

TEST_F(Run, VivivExportsImagesIntoOutNifti) {
    if (!haveModule("Viviv")) GTEST_SKIP() << "libViviv.so is not in " << kLibDir;
    writeVivivMeasurement(protocol, in, options);
    ASSERT_EQ(run(), 0) << err;
    const json s = summary();
    EXPECT_EQ(s["module"], "Viviv");
    EXPECT_EQ(s["passedOnImages"], 3);
    size_t nii = 0;
    for (const json& f : s["niftiFiles"]) {
        const std::string name = f;
        EXPECT_EQ(name.rfind(out + "/nifti/", 0), 0u) << name;
        nii += name.size() > 4 && name.substr(name.size() - 4) == ".nii";
    }
    EXPECT_EQ(nii, 1u) << s["niftiFiles"].dump();
}

// When the export configurator cannot write into the host's temp directory
// it falls back to the installation's root directory, which duv keeps under
// OUT: nothing a run does lands outside OUT.
TEST_F(Run, TheProtocolExportFallbackStaysUnderOut) {
    if (!haveModule("Viviv")) GTEST_SKIP() << "libViviv.so is not in " << kLibDir;
    writeVivivMeasurement(protocol, in, options);
    fs::create_directories(out + "/host/temp/current_prot.evp");  // a directory cannot be opened as the file
    const bool rootHadOne = fs::exists("/current_prot.evp");
    ASSERT_EQ(run(), 0) << err;
    EXPECT_TRUE(fs::is_regular_file(out + "/host/current_prot.evp"));
    if (!rootHadOne) {
        EXPECT_FALSE(fs::exists("/current_prot.evp"));
    }
    EXPECT_TRUE(summary()["ok"].get<bool>());
}

// Bytes that are not UTF-8 in a folder name and in a protocol text that
// becomes a series name: the run succeeds and summary.json stays valid JSON,
// with those bytes escaped.
TEST_F(Run, TextThatIsNotUtf8IsEscapedInTheSummary) {
    in = dir / "meas\xff";
    fs::create_directories(in);
    options.input = in;
    protocol.SetString("TEST.tLabel", "lab\xfe" "el");
    writeReadouts(2);
    ASSERT_EQ(run(), 0) << err;
    const json s = summary();
    EXPECT_EQ(s["input"], dir / "meas\\xFF");
    EXPECT_TRUE(s["dataSetsPerSeries"].contains("lab\\xFEel")) << s["dataSetsPerSeries"].dump();
}

// A protocol value of another type than its reader needs (here the nucleus
// frequency that the spectra sink turns into ppm) is bad input in one line.
TEST_F(Run, AProtocolValueOfTheWrongTypeIsBadInput) {
    protocol.SetString("MEAS.sTXSPEC.asNucleusInfo.0.lFrequency", "123 MHz");
    writeReadouts(2);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err.rfind("duv run: protocol: ", 0), 0u) << err;
    EXPECT_NE(err.find("lFrequency"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(fs::exists(out + "/summary.json"));
}

// A full disk (writes through /dev/full) under the summary, the trace log,
// the report page or the JSON sidecar of an exported file: exit 1 naming the
// file, never 0.
TEST_F(Run, AWriteThatFailsIsNoSuccess) {
    for (const std::string name : {"summary.json.partial", "trace.log", "index.html"}) {
        SCOPED_TRACE(name);
        fs::remove_all(out);
        fs::create_directories(out);
        fs::create_symlink("/dev/full", out + "/" + name);
        writeReadouts(2);
        EXPECT_EQ(run(), 1);
        const std::string file = name == "summary.json.partial" ? out + "/summary.json" : out + "/" + name;
        // The failure is the last line (a notice about the earlier run's
        // files may come first).
        const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
        EXPECT_EQ(last.rfind("duv run: " + file + ": write failed", 0), 0u) << err;
        // The summary written afterwards says so.
        EXPECT_FALSE(summary()["ok"].get<bool>());
    }
    fs::remove_all(out);
    fs::remove(in + "/readouts.bin");
    writeImages(1);
    options.configurator = "OfflineExportConfigurator";
    protocol.SetLong("TEST.lFullDiskSidecar", 1);
    EXPECT_EQ(run(), 1);
    const std::string sidecar = out + "/nifti/images.json";
    EXPECT_EQ(err.rfind("duv run: " + sidecar + ": write failed: No space left on device; last error ", 0), 0u) << err;
    EXPECT_EQ(summary()["failure"].get<std::string>().rfind(sidecar + ": write failed", 0), 0u);
    EXPECT_FALSE(fs::exists(sidecar));
}

// Two readouts whose protocol asks for 100000 edit steps would make 200000
// files of empty spectra: refused before anything is written, naming the
// value and the option. The options set the caps exactly: the estimate is the
// number of files (and bytes of samples) the run then writes.
TEST_F(Run, OutputFarBeyondTheInputIsRefusedUnlessAllowed) {
    if (!haveModule("Derovo2")) GTEST_SKIP() << "libDerovo2.so is not in " << kLibDir;
    writeSingleVoxelMeasurement();
    protocol.SetLong("YAPS.alDUVProgramPara.12", 100000);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err,
              "duv run: protocol: YAPS.alDUVProgramPara.12 = 100000 (edit steps) makes 200000 spectra files from 2 "
              "readouts, more than 1000 per readout; --max-files N lets a run write up to N\n");
    EXPECT_FALSE(fs::exists(out));

    // Three edit steps, each average sent as well as their sum (2 averages,
    // 3 slots): 9 data sets, 18 files; with --data-sets 36.
    protocol.SetLong("YAPS.alDUVProgramPara.12", 3);
    protocol.SetLong("MEAS.lAverages", 2);
    protocol.SetLong("YAPS.alDUVProgramPara.11", 2);
    options.dataSets = true;
    options.maxFiles = 35;
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err, "duv run: protocol: YAPS.alDUVProgramPara.12 = 3 (edit steps) makes 36 spectra files from 2 "
                   "readouts, more than --max-files 35\n");
    EXPECT_FALSE(fs::exists(out));
    // Their samples: 9 data sets of 8 points, 8 bytes each, twice.
    options.maxFiles = 36;
    options.maxBytes = 1151;
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err, "duv run: protocol: MEAS.sSpecPara.lVectorSize = 8 (spectral points) makes 1152 bytes of spectra "
                   "from " + std::to_string(fs::file_size(in + "/readouts.bin")) +
                       " bytes of readouts.bin, more than --max-bytes 1151\n");
    options.maxBytes = 1152;
    ASSERT_EQ(run(), 0) << err;
    size_t files = 0;
    for (const char* sub : {"/spectra", "/data-sets"})
        for (const auto& e : fs::recursive_directory_iterator(out + sub)) files += e.is_regular_file();
    EXPECT_EQ(files, 36u);
    const json s = summary();
    for (const json& f : s["spectraFiles"]) EXPECT_EQ(niftimrs::read(f).data.size(), 8u);
}

// A protocol number that is not finite (the text form reads nan and inf)
// would reach the transforms of the files: refused where it enters.
TEST_F(Run, NonFiniteProtocolNumbersAreBadInput) {
    protocol.SetDouble("MEAS.sSliceArray.asSlice.0.dThickness", std::nan(""));
    writeReadouts(2);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(err, "duv run: protocol: MEAS.sSliceArray.asSlice.0.dThickness: nan is not a finite number\n");
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
