// End of job: the store rules, the sending order and the calibration file.
#include <gtest/gtest.h>

#include <random>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "StoreFixture.h"
#include "duvhost/Installation.h"

namespace {

using cf = std::complex<float>;
namespace fs = std::filesystem;

const char* const kOk = "\n==> Sending raw-data to data base finished ok";

std::vector<std::string> comments(const RecordingEnvironment& env) {
    std::vector<std::string> out;
    for (const RecordingEnvironment::Sent& s : env.sent) out.push_back(textField(s, "ImageComment"));
    return out;
}

MrPtr<Derovo2> singleVoxelStage(RecordingEnvironment& env, int receivers, bool prescan = false) {
    StoreShape s;
    s.vectorSize = 2;
    s.receivers = receivers;
    s.prescan = prescan;
    MrPtr<Derovo2> f = makeStage(s, &env);
    markRepetitions(1);
    f->m_iSumSlotReadouts = 1;
    // every measured channel: (1, 0) at sample 0 of the average and the sum slot
    const long measured = f->storeDims().measuredChannels();
    for (long c = 0; c < measured; ++c)
        for (long ave = 0; ave < 2; ++ave) put(*f, {0, ave, 0, 0, 0, 0, c}, {1.0f, 0.0f});
    return f;
}

MrPtr<Derovo2> csiStage(RecordingEnvironment& env) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 4;
    s.phs = 4;
    MrPtr<Derovo2> f = makeStage(s, &env);
    markRepetitions(1);
    for (long i = 0; i < 16; ++i) csiAverages[i] = 1.0f;
    put(*f, {0, 0, 2, 2}, {1.0f, 0.0f});
    return f;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct CalibrationFile : ::testing::Test {
    void SetUp() override {
        dir = fs::temp_directory_path() / ("d2eoj_calib_" + std::to_string(std::random_device()()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        DuvHost::SetSimulationDataDirectory(dir.string());
    }
    void TearDown() override {
        DuvHost::ResetInstallationDefaults();
        fs::remove_all(dir);
    }
    MrPtr<Derovo2> calibrationRun(int mode) {
        MrPtr<Derovo2> f = singleVoxelStage(env, 1);
        f->m_iSpec_AutoCalib = 10;
        f->m_iQOM_ArrayPlot = mode;
        return f;
    }
    fs::path dir;
    RecordingEnvironment env;
};

}  // namespace

TEST(EndOfJob, StoreNeverCreated) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f(Rudu::HeapObject<Derovo2>::Create());
    f->setEnvironment(&env);
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(sink->texts(), (std::vector<std::string>{"\n==>Object not created -> E.g. FirstCall not called"}));
    EXPECT_TRUE(env.sent.empty());
}

TEST(EndOfJob, StoppedCsiIsKeptOnlyWithCompletedAveragesInModeTwo) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f = csiStage(env);
    f->m_iAveraging_Mode = 2;
    f->m_iAcquired_averages = 0;
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_EQ(f->endOfJob(I_FAIL), I_OK);
        EXPECT_TRUE(sink->contains(
            "\n==>dacqAborted == true in the case of a CSI experiment; NO data will be stored"));
        EXPECT_FALSE(sink->contains("Derovo2::endOfJob: return I_OK!"));
        EXPECT_TRUE(env.sent.empty());
    }
    f->m_iAveraging_Mode = 1;
    f->m_iAcquired_averages = 3;
    EXPECT_EQ(f->endOfJob(0), I_OK);
    EXPECT_TRUE(env.sent.empty());

    f->m_iAveraging_Mode = 2;
    f->m_iAcquired_averages = 1;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(0), I_OK);
    EXPECT_TRUE(sink->contains("\n==> (stopped/Aborted) csi-data will be stored"));
    EXPECT_EQ(env.sent.size(), 1u);
}

TEST(EndOfJob, CompletedCsiAndStoppedSingleVoxelAreProcessed) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f = csiStage(env);
    f->m_iAveraging_Mode = 0;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    ASSERT_EQ(env.sent.size(), 1u);
    // The centred impulse becomes a constant over the 16 voxels, scaled by
    // 2^25 / (16 voxels x 1 average) and conjugated.
    const std::vector<cf> data = samples(env.sent[0]);
    for (long v = 0; v < 16; ++v) EXPECT_NEAR(data[2 * v].real(), 2097152.0, 1e-6 * 2097152.0) << v;

    RecordingEnvironment env2;
    MrPtr<Derovo2> g = singleVoxelStage(env2, 1);
    put(*g, {1, 1}, {0.5f, 0.25f});
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(g->endOfJob(I_FAIL), I_OK);
    ASSERT_EQ(env2.sent.size(), 1u);
    EXPECT_EQ(samples(env2.sent[0]), (std::vector<cf>{{33554432.0f, 0.0f}, {16777216.0f, -8388608.0f}}));
    EXPECT_EQ(textField(env2.sent[0], "ImageComment"), "");
    EXPECT_TRUE(sink->contains(kOk));
    const std::vector<std::string> t = sink->texts();
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(t.end() - 3, t.end()),
              (std::vector<std::string>{"========================kivstop=============== ",
                                        "Derovo2::endOfJob: return I_OK!", "======================================= "}));
}

TEST(EndOfJob, NoAveragesAreRaisedToOne) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f = singleVoxelStage(env, 1);
    f->m_iSumSlotReadouts = 0;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    EXPECT_TRUE(sink->contains("\n==>max. measured averages was found to be0and is set to 1"));
    EXPECT_EQ(samples(env.sent[0])[0], cf(33554432.0f, 0.0f));
}

TEST(EndOfJob, TwoChannelsSendOnlyTheCombinedOne) {
    for (bool uncombined : {false, true}) {
        RecordingEnvironment env;
        MrPtr<Derovo2> f = singleVoxelStage(env, 1, true);  // prescan: one coil plus the combined slot
        ASSERT_EQ(f->storeDims().cha, 2);
        f->m_bUncombImages = uncombined;
        f->_numberInSeries = 7;
        duvtrace::ScopedMemorySink sink;
        EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
        EXPECT_TRUE(sink->contains("\n==> adding coil arrays (no prescan)"));
        EXPECT_EQ(comments(env), (std::vector<std::string>{"_c_1"}));
        EXPECT_EQ(intField(env.sent[0], "UsedChannelMask"), 2);
        EXPECT_EQ(intField(env.sent[0], "NumberInSeries"), 1);  // counters restart
        EXPECT_TRUE(sink->contains(kOk));
    }
}

TEST(EndOfJob, FourChannelsWithAndWithoutUncombinedImages) {
    {
        RecordingEnvironment env;
        MrPtr<Derovo2> f = singleVoxelStage(env, 3);
        duvtrace::ScopedMemorySink sink;
        EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
        EXPECT_EQ(comments(env), (std::vector<std::string>{"_c_3"}));
        EXPECT_EQ(intField(env.sent[0], "UsedChannelMask"), 8);
        EXPECT_TRUE(sink->contains("==> Sending raw-data to data base finished ok"));
        EXPECT_FALSE(sink->contains(kOk));
        // three coils of weight 1: combined (1 + 1 + 1) / sqrt 3, scaled by 2^25
        EXPECT_NEAR(samples(env.sent[0])[0].real(), 33554432.0 * std::sqrt(3.0), 64.0);
    }
    RecordingEnvironment env;
    MrPtr<Derovo2> f = singleVoxelStage(env, 3);
    f->m_bUncombImages = true;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(comments(env), (std::vector<std::string>{"_u", "_u", "_u", "_c_3"}));
    for (long c = 0; c < 4; ++c) {
        EXPECT_EQ(intField(env.sent[c], "UsedChannelMask"), 1L << c);
        EXPECT_EQ(intField(env.sent[c], "NumberInSeries"), c + 1);
    }
    EXPECT_EQ(sink->count(kOk), 3u);
    EXPECT_EQ(sink->count("==> Sending raw-data to data base finished ok"), 1u);
}

TEST(EndOfJob, MoreThanHundredChannelsSendTheCombinedSeriesFromTheLastSlot) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f = singleVoxelStage(env, 101);
    ASSERT_EQ(f->storeDims().cha, 102);
    f->m_bUncombImages = true;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    EXPECT_TRUE(sink->contains("\n==> ncha > 12  ==> setze ncha auf 100"));
    ASSERT_EQ(env.sent.size(), 100u);
    EXPECT_EQ(textField(env.sent[98], "ImageComment"), "_u");
    EXPECT_EQ(textField(env.sent[98], "Suffix4DataFileName"), "-99_1_1_1_2");
    const RecordingEnvironment::Sent& combined = env.sent[99];
    EXPECT_EQ(textField(combined, "ImageComment"), "_c_101");
    EXPECT_EQ(textField(combined, "Suffix4DataFileName"), "-102_1_1_1_2");
    // 101 coils of weight 1: sqrt 101 x 2^25, where channel slot 99 holds 2^25
    EXPECT_NEAR(samples(combined)[0].real(), 33554432.0 * std::sqrt(101.0), 1e-5 * 33554432.0 * std::sqrt(101.0));
}

TEST(EndOfJob, FailedSendEndsTheJob) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f = singleVoxelStage(env, 3);
    f->m_bUncombImages = true;
    env.receiveStatus = I_FAIL;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_FAIL);
    EXPECT_EQ(sink->count("\n==> Sending raw-data to data base finished NOT ok"), 1u);
    EXPECT_FALSE(sink->contains("Derovo2::endOfJob: return I_OK!"));

    RecordingEnvironment env1;
    MrPtr<Derovo2> g = singleVoxelStage(env1, 1);
    env1.receiveStatus = I_FAIL;
    EXPECT_EQ(g->endOfJob(I_ACQ_END), I_FAIL);
}

TEST(EndOfJob, FailedCombinationIsReportedOnStandardOutput) {
    RecordingEnvironment env;
    MrPtr<Derovo2> f = singleVoxelStage(env, 2);
    f->m_qom_ref = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());  // no reference store
    f->m_qom_refAs = DuvAs(f->m_qom_ref);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_FAIL);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n never happen error: even add_coil_arrays() using no pre-scan return with error! ");
    EXPECT_TRUE(env.sent.empty());
}

// The file is opened in text mode ("wt", "at"): each line feed becomes CR LF
// on Windows.
#ifdef _WIN32
const std::string kTextLineEnd = "\r\n";
#else
const std::string kTextLineEnd = "\n";
#endif

std::string textLines(std::string text) {
    std::string out;
    for (char c : text) out += c == '\n' ? kTextLineEnd : std::string(1, c);
    return out;
}

TEST_F(CalibrationFile, ReferenceVoltageThenWaterSuppression) {
    const fs::path file = dir / "zorp_calibs.ini";
    { std::ofstream(file) << "old contents\n"; }
    MrPtr<Derovo2> f = calibrationRun(6);
    f->myDeterminedRefVal = 52.3f;
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
        EXPECT_TRUE(sink->contains(" Succesfully written to file: Determined refV 52.3"));
    }
    EXPECT_EQ(readFile(file), textLines("[CalibValues]\n\nrefV = 52.3\n\n"));

    MrPtr<Derovo2> g = calibrationRun(8);
    g->myVaporFAVal = 95;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(g->endOfJob(I_ACQ_END), I_OK);
    EXPECT_TRUE(sink->contains(" Succesfully written to file: Determined  vaporFA 95"));
    EXPECT_EQ(readFile(file), textLines("[CalibValues]\n\nrefV = 52.3\n\nvaporFA = 95 \n\n"));
#ifdef _WIN32
    EXPECT_EQ(readFile(file).size(), 49u);
#else
    EXPECT_EQ(readFile(file).size(), 43u);
#endif
}

TEST(CalibrationFileLocation, HostsSimulationDataDirectoryByDefault) {
    DuvHost::ResetInstallationDefaults();
#ifdef _WIN32
    EXPECT_EQ(DuvHost::SimulationDataDirectory(), "C:\\Zarezu\\SimMeasData\\");
#else
    EXPECT_EQ(DuvHost::SimulationDataDirectory(), "/opt/med/SimMeasData/");
#endif
}

TEST_F(CalibrationFile, OnlyInTheAutomaticCalibrationModes) {
    MrPtr<Derovo2> f = calibrationRun(6);
    f->m_iSpec_AutoCalib = 9;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    MrPtr<Derovo2> g = calibrationRun(7);
    EXPECT_EQ(g->endOfJob(I_ACQ_END), I_OK);
    EXPECT_FALSE(fs::exists(dir / "zorp_calibs.ini"));
}

TEST_F(CalibrationFile, UnopenableFileIsSkippedSilently) {
    DuvHost::SetSimulationDataDirectory((dir / "missing").string());
    MrPtr<Derovo2> f = calibrationRun(6);
    f->myDeterminedRefVal = 40.0f;
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(f->endOfJob(I_ACQ_END), I_OK);
    EXPECT_FALSE(sink->containsSubstring("Succesfully written"));
    EXPECT_TRUE(sink->contains("Derovo2::endOfJob: return I_OK!"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_EQ(env.sent.size(), 1u);
}
