// Spectra output: headers of the three branches, numbering, texts, every
// abort, and the header dump, with a recording receiver in place of the
// host's next stage.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "StoreFixture.h"

namespace {

using cf = std::complex<float>;

// The series counters and the count of acquired averages keep 64 bits in the
// 32-bit Windows build too, where long has 32.
static_assert(std::is_same_v<decltype(Derovo2::_numberInSeries), std::uint64_t> &&
              std::is_same_v<decltype(Derovo2::_numberInSummedSeries), std::uint64_t>);
static_assert(std::is_same_v<decltype(Derovo2::m_iAcquired_averages), std::int64_t>);

// A stage whose host refuses what a test asks for.
class RefusingStage : public Derovo2 {
public:
    std::vector<std::string> refused;  // header fields refused in every data set
    bool noSingleSpectrum = false;
    long singleLength = 0;  // other than 0: a single-spectrum object of this length
    MrPtr<DuvObj> createSingleSpectrum(long n) override {
        if (noSingleSpectrum) return MrPtr<DuvObj>();
        return Derovo2::createSingleSpectrum(singleLength ? singleLength : n);
    }
    MrPtr<MiniHeader> copyHeaderTemplate(const MiniHeader& t) override {
        MrPtr<MiniHeader> h = Derovo2::copyHeaderTemplate(t);
        for (const std::string& name : refused) h->refuse(name);
        return h;
    }
};

void configure(Derovo2& f) {
    f.m_fReadoutOSFactor = 2.0f;  // dwell 250 us x 2 with oversampling removed
    f.m_iTI_Time = 300000;
    f.m_iTR_Time = 1500000;
    f.m_viTE_Time = {30000};
    f.m_strSequenceString = "svs_se";
    f.m_bVarivevSequence = true;
    f.m_strProtocolName = "svs_se_30";
    f.m_sSBSeriesUID = "2.25.77";
    f.m_iBaseResolution = 2;  // single voxel: "PercentSampling" stays 1
    f.m_iPhaseEncodingLines = 1;
    f.m_iAverages = 4;
}

char* text(const char* s) { return const_cast<char*>(s); }

std::string padded(const char* label, size_t width) {
    std::string s(label);
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}
std::string dumpLine(const char* name, const std::string& v) { return padded((std::string("==>  ") + name + ":").c_str(), 33) + v; }

bool hasField(const RecordingEnvironment::Sent& s, const char* name) { return s.header->has(name); }
bool flagOf(const RecordingEnvironment::Sent& s, const char* name) {
    const MiniHeader::Field* field = s.header->find(name);
    return field && field->flag;
}

// Single voxel, 4 averages (slots 0 ... 3, sum slot 4), 4 points.
template <class Stage = Derovo2>
struct SvsFixture : ::testing::Test {
    void SetUp() override {
        StoreShape s;
        s.vectorSize = 4;
        s.averages = 4;
        f = makeStage<Stage>(s, &env);
        ASSERT_TRUE(f);
        configure(*f);
        markRepetitions(1);
        for (long ave = 0; ave < 5; ++ave)
            for (long k = 0; k < 4; ++k) put(*f, {k, ave}, {float(10 * ave + k), -float(k)});
        f->m_raw->soda(0).setSlicePosVecSBCS({1.5, -2.0, 3.0});
        DuvFramework::ClearLastError();
    }
    RecordingEnvironment env;
    MrPtr<Stage> f;
};
using SvsOutput = SvsFixture<>;
using SvsRefusals = SvsFixture<RefusingStage>;

}  // namespace

TEST_F(SvsOutput, HeaderWithoutVolumeOfInterestFieldByField) {
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 1u);
    const RecordingEnvironment::Sent& s = env.sent[0];

    EXPECT_EQ(intField(s, "Actual3DImaPartNumber"), 0);
    EXPECT_EQ(intField(s, "EchoColumnPosition"), 0);
    EXPECT_EQ(intField(s, "EchoLinePosition"), 0);
    EXPECT_EQ(intField(s, "EchoPartitionPosition"), 0);
    EXPECT_EQ(intField(s, "RealDwellTime"), 500000);
    EXPECT_EQ(intField(s, "EchoTrainLength"), 1);
    EXPECT_EQ(intField(s, "NoOfPhaseEncodingSteps"), 2);
    EXPECT_EQ(intField(s, "SequenceMask"), 0);
    EXPECT_EQ(intField(s, "UsedChannelMask"), 1);
    EXPECT_EQ(intField(s, "AcquisitionNumber"), 1);
    EXPECT_EQ(intField(s, "NoOfAverages"), 4);
    EXPECT_EQ(intField(s, "EchoNumber"), 0);
    EXPECT_EQ(intField(s, "NoOfCols"), 1);
    EXPECT_EQ(intField(s, "NoOfRows"), 1);
    EXPECT_EQ(intField(s, "NumberInSeries"), 1);
    bool spectro = false, swap = true;
    EXPECT_TRUE(s.header->get("SpectroData", spectro));
    EXPECT_TRUE(spectro);
    EXPECT_TRUE(flagOf(s, "SpectroData"));
    EXPECT_TRUE(s.header->get("SwapReadPhase", swap));
    EXPECT_FALSE(swap);
    EXPECT_DOUBLE_EQ(doubleField(s, "PercentSampling"), 1.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "TI"), 300.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "TR"), 1500.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "TriggerTime"), 0.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "SliceMeasurementDuration"), 3500.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "TE"), 30.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "PercentPhaseFoV"), 1.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "SliceThickness"), 0.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "SliceLocation"), 0.0);
    EXPECT_EQ(textField(s, "ImageComment"), "");
    EXPECT_EQ(textField(s, "PhaseEncodingDirection"), "");
    EXPECT_EQ(textField(s, "SequenceString"), "*svs_se");
    EXPECT_EQ(textField(s, "AcquisitionDate"), "20261206");
    EXPECT_EQ(textField(s, "AcquisitionTime"), "123456.25");
    EXPECT_EQ(textField(s, "SequenceDescription"), "svs_se_30");
    EXPECT_EQ(textField(s, "Suffix4DataFileName"), "-1_1_1_1_5");
    EXPECT_TRUE(flagOf(s, "Suffix4DataFileName"));
    EXPECT_EQ(textField(s, "CoilString"), "XXX");
    EXPECT_VEC3(listField(s, "PosVec"), 0, 0, 0);
    EXPECT_VEC3(listField(s, "PosVecSBCS"), 1.5, -2, 3);
    EXPECT_VEC3(listField(s, "ColVec"), 0, 0, 0);
    EXPECT_VEC3(listField(s, "RowVec"), 0, 0, 0);
    EXPECT_EQ(listField(s, "PixelSpacing"), (std::vector<double>{0, 0}));
    EXPECT_FALSE(hasField(s, "mainOrientation"));
    EXPECT_FALSE(hasField(s, "ProtocolSliceNumber"));
    EXPECT_FALSE(hasField(s, "SeriesInstanceUID"));

    EXPECT_EQ(s.control.getColumns(), 4);
    EXPECT_EQ(dimLength(s, COL), 4);
    EXPECT_EQ(samples(s), (std::vector<cf>{{40, 0}, {41, -1}, {42, -2}, {43, -3}}));  // the sum slot

    EXPECT_TRUE(sink->contains("QOM: Creating DUV object for single scan:"));
    EXPECT_TRUE(sink->contains("QOM: sending averages #5-#5"));
    EXPECT_TRUE(sink->contains("\n==> Loop over averages in Send: cAve:    4"));
    EXPECT_TRUE(sink->contains("==> Sending of svs or fid data  - finished  "));
    EXPECT_FALSE(sink->contains("\n MiniHeader"));  // the dump belongs to the first average only
    EXPECT_EQ(f->_numberInSeries, 1u);
    EXPECT_EQ(f->_numberInSummedSeries, 0u);
}

TEST_F(SvsOutput, ParameterDumpLines) {
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->send(0, text("")));
    std::vector<std::string> t = sink->texts();
    const std::string amps(85, '&');
    auto p = [](const char* label, const std::string& v) { return padded(label, 48) + v; };
    const std::vector<std::string> expected = {
        "\n" + amps,
        "Parameters of data set:  ",
        amps,
        "\n Size of data set:  ",
        std::string(20, '='),
        "==> MRSPEC_DIM_COL / Vectorsize:                4",
        "==> MRSPEC_DIM_AVE / averages                   5",
        "==> MRSPEC_DIM_1ST / 1. PE direct.:             1",
        "==> MRSPEC_DIM_2ND / 2. PE direct.:             1",
        "==> MRSPEC_DIM_3RD / 3. PE direct.:             1",
        "==> MRSPEC_DIM_ECO / Echos                      1",
        "==> MRSPEC_DIM_CHA / channels:                  1",
        "==> MRSPEC_DIM_SLC / slices                     1",
        "==> MRSPEC_DIM_REP / repetitions                1",
        p("==> m_iVectorSize (prot):", "4"),
        p("==> m_vfSliceThickness[0]:", "0"),
        p("==> m_iAverages(prot):", "4"),
        "\n Further scan parameters:  ",
        std::string(27, '='),
        p("==> m_fReadoutOSFactor:", "2"),
        p("==> relevant_samples :", std::to_string(f->m_iRelevant_samples) +
                                        "   (no of samples in raw =f(m_bRemoveOversampling))"),
        p("==> additional_right_samples (measured):", std::to_string(f->m_iAdditional_right_samples)),
        p("==> No_samples_before_echo:", std::to_string(f->m_iNo_samples_before_echo)),
        p("==> no_samples_acquired (mdh), really acquired:", std::to_string(f->m_iNo_samples_acquired)),
        p("==> os_shift_samples:", std::to_string(f->m_iOS_shift_samples)),
        p("==> shift_samples:", std::to_string(f->m_iShift_samples)),
        p("==> m_iBaseResolution:", "2"),
        p("==> m_iPhaseEncodingLines:", "1"),
        p("==> m_iPartitions:", "1"),
        p("==> m_vlRxChannelConnected:", ""),
        p("==> m_strPatientPosition.c_str():", ""),
        p("==> m_iDwellTimeSig:", "250000 ns"),
        p("==> real Bandwith without OS (Prot)(calc.):", "4000 Hz"),
        p("==> m_bVarivevSequence:", "1"),
        p("==> m_strSequenceString.c_str():", "svs_se"),
        p("==> m_iTI_Time:", "300000"),
        p("==> m_iTR_Time:", "1500000 ms"),
        p("==> m_viTE_Time[0]:", "30000 ms"),
        p("==> m_iMaxNoOfRxChannels:", "1"),
        p("==> m_iAveraging_Mode:", "0"),
        p("==> m_strNucleus.c_str():", "1H"),
        p("==> m_iFrequency:", "123200000 Hz"),
        "\n Processing variables:  ",
        std::string(24, '='),
        p("==> m_iResolveAve", "0"),
        p("==> m_iQOM_ArrayPlot", "0"),
        p("==> m_iSpec_B0Correct", "0"),
        p("==> m_bRemoveOversampling:", "1"),
        p("==> m_bPreScanNormalizeFilterOn:", "0"),
        p("==> m_bUncombImages:", "0"),
        p("==> m_bHammingFilterOn:", "0"),
        p("==> m_iWidthPercent:", "0 %"),
        p("==> sizeof( float ):", "4"),
        p("==> sizeof( sScanHeader ):", "192"),
        p("==> InlineFreqCorr Yes/No:", "0"),
        amps,
    };
    ASSERT_GE(t.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(t.begin() + 1, t.begin() + 1 + expected.size()), expected);
}

TEST_F(SvsOutput, VolumeOfInterestGeometry) {
    f->m_bVoIValid = true;
    f->m_fVoI_Normal_Tra = 1.0f;
    f->m_fVoI_Position_Sag = 10.0f;
    f->m_fVoI_Position_Cor = -20.0f;
    f->m_fVoI_Position_Tra = 30.0f;
    f->m_fVoI_PeFOV = 20.0f;
    f->m_fVoI_RoFOV = 25.0f;
    f->m_fVoI_SliceThickness = 15.0f;
    ASSERT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 1u);
    const RecordingEnvironment::Sent& s = env.sent[0];
    EXPECT_EQ(intField(s, "mainOrientation"), 2);
    EXPECT_TRUE(flagOf(s, "mainOrientation"));
    EXPECT_VEC3(listField(s, "PosVec"), 10, -20, 30);
    EXPECT_VEC3(listField(s, "PosVecSBCS"), 11.5, -22, 33);
    EXPECT_VEC3(listField(s, "ColVec"), 0, 1, 0);
    EXPECT_VEC3(listField(s, "RowVec"), -1, 0, 0);
    EXPECT_EQ(listField(s, "PixelSpacing"), (std::vector<double>{20, 25}));
    EXPECT_DOUBLE_EQ(doubleField(s, "SliceThickness"), 15.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "SliceLocation"), -10.0);
    EXPECT_DOUBLE_EQ(doubleField(s, "PercentPhaseFoV"), 1.0);
    EXPECT_EQ(intField(s, "NoOfCols"), 1);
    EXPECT_EQ(intField(s, "NoOfRows"), 1);
    EXPECT_FALSE(hasField(s, "ProtocolSliceNumber"));
}

TEST_F(SvsOutput, AverageRangesNumberingAndTheSummedSeries) {
    f->m_iResolveAve = 1;
    {
        duvtrace::ScopedMemorySink sink;
        ASSERT_TRUE(f->send(0, text("")));
        EXPECT_TRUE(sink->contains("QOM: sending averages #1-#4"));
        EXPECT_EQ(sink->count("\n MiniHeader"), 1u);  // first average only
    }
    ASSERT_EQ(env.sent.size(), 4u);
    for (long a = 0; a < 4; ++a) {
        EXPECT_EQ(textField(env.sent[a], "Suffix4DataFileName"), "-1_1_1_1_" + std::to_string(a + 1));
        EXPECT_EQ(intField(env.sent[a], "NumberInSeries"), a + 1);
        EXPECT_EQ(samples(env.sent[a])[1], cf(float(10 * a + 1), -1.0f));
        EXPECT_FALSE(hasField(env.sent[a], "SeriesInstanceUID"));
    }

    env.sent.clear();
    f->_numberInSeries = f->_numberInSummedSeries = 0;
    f->m_iResolveAve = 2;
    {
        duvtrace::ScopedMemorySink sink;
        ASSERT_TRUE(f->send(0, text("")));
        EXPECT_TRUE(sink->contains("QOM: sending averages #1-#5"));
    }
    ASSERT_EQ(env.sent.size(), 5u);
    for (long a = 0; a < 4; ++a) {
        EXPECT_EQ(intField(env.sent[a], "NumberInSeries"), a + 1);
        EXPECT_EQ(textField(env.sent[a], "SequenceDescription"), "svs_se_30");
    }
    const RecordingEnvironment::Sent& sum = env.sent[4];
    EXPECT_EQ(textField(sum, "SeriesInstanceUID"), "2.25.77");
    EXPECT_TRUE(flagOf(sum, "SeriesInstanceUID"));
    EXPECT_EQ(textField(sum, "SequenceDescription"), "svs_se_30_SUM");
    EXPECT_EQ(intField(sum, "NumberInSeries"), 1);
    EXPECT_EQ(textField(sum, "Suffix4DataFileName"), "-1_1_1_1_5");
    EXPECT_EQ(f->_numberInSeries, 4u);
    EXPECT_EQ(f->_numberInSummedSeries, 1u);

    env.sent.clear();
    f->m_iResolveAve = 0;
    ASSERT_TRUE(f->send(0, text("")));  // numbers go on across calls
    ASSERT_EQ(env.sent.size(), 1u);
    EXPECT_EQ(intField(env.sent[0], "NumberInSeries"), 5);
}

TEST_F(SvsOutput, SequenceStringAndCommentAreCutToTheirRoom) {
    f->m_bVarivevSequence = false;
    ASSERT_TRUE(f->send(0, text("")));
    EXPECT_EQ(textField(env.sent.back(), "SequenceString"), "svs_se");
    f->m_bVarivevSequence = true;
    f->m_strSequenceString = "abcdefghijklmnopqrst";
    const std::string longComment(130, 'x');
    ASSERT_TRUE(f->send(0, const_cast<char*>(longComment.c_str())));
    ASSERT_EQ(env.sent.size(), 2u);
    EXPECT_EQ(textField(env.sent.back(), "SequenceString"), "*abcdefghijklmno");
    EXPECT_EQ(textField(env.sent.back(), "ImageComment"), std::string(127, 'x'));
    EXPECT_EQ(samples(env.sent.back()).size(), 4u);
}

TEST_F(SvsOutput, EchoesBeyondTheTeListTakeTheFirstTe) {
    StoreShape s;
    s.vectorSize = 2;
    s.echoes = 3;
    RecordingEnvironment env3;
    MrPtr<Derovo2> g = makeStage(s, &env3);
    configure(*g);
    markRepetitions(1);
    g->m_viTE_Time = {30000, 40000};
    ASSERT_TRUE(g->send(0, text("")));
    ASSERT_EQ(env3.sent.size(), 3u);
    EXPECT_DOUBLE_EQ(doubleField(env3.sent[0], "TE"), 30.0);
    EXPECT_DOUBLE_EQ(doubleField(env3.sent[1], "TE"), 40.0);
    EXPECT_DOUBLE_EQ(doubleField(env3.sent[2], "TE"), 30.0);
    EXPECT_EQ(textField(env3.sent[2], "Suffix4DataFileName"), "-1_1_1_3_2");
    EXPECT_EQ(intField(env3.sent[2], "EchoTrainLength"), 3);
    g->m_viTE_Time.clear();
    ASSERT_TRUE(g->send(0, text("")));
    EXPECT_DOUBLE_EQ(doubleField(env3.sent.back(), "TE"), 0.0);
}

TEST(Output, RepetitionWithoutDataEndsTheCall) {
    StoreShape s;
    s.vectorSize = 2;
    s.reps = 3;
    RecordingEnvironment env;
    MrPtr<Derovo2> f = makeStage(s, &env);
    configure(*f);
    markRepetitions(3);
    dateStamp[1] = 0.0f;
    EXPECT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 1u);
    markRepetitions(3);
    goc_per_rep[1] = 0.5f;
    EXPECT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 2u);
    markRepetitions(3);
    EXPECT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 5u);
    EXPECT_EQ(intField(env.sent[4], "AcquisitionNumber"), 3);
    EXPECT_EQ(textField(env.sent[4], "Suffix4DataFileName"), "-1_3_1_1_2");
}

TEST(Output, RepetitionsBeyondTheTablesAreNotSent) {
    StoreShape s;
    s.vectorSize = 2;
    RecordingEnvironment env;
    MrPtr<Derovo2> f = makeStage(s, &env);
    configure(*f);
    // The first call refuses such a store; one made otherwise must still be
    // sent without reading past the per-repetition tables.
    f->m_raw = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
    ASSERT_TRUE(f->m_raw->create(CXFL, {{COL, 2}, {AVE, 2}, {LIN, 1}, {PHS, 1}, {SEG, 1}, {ECO, 1}, {CHA, 1},
                                        {SLC, 1}, {REP, 513}}));
    f->m_rawAs = DuvAs(f->m_raw);
    markRepetitions(513);
    EXPECT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 512u);
    EXPECT_EQ(intField(env.sent.back(), "AcquisitionNumber"), 512);
}

TEST(Output, ChannelMaskAndCoilStrings) {
    StoreShape s;
    s.vectorSize = 2;
    s.receivers = 32;  // slots 0 ... 31 measured, 32 combined
    RecordingEnvironment env;
    MrPtr<Derovo2> f = makeStage(s, &env);
    configure(*f);
    markRepetitions(1);
    std::vector<std::string> names(32);
    names[3] = "Head_3";
    f->m_vvstrCoilElementName = {names};
    f->m_strCoilInfoText = "HeadNeck";
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->send(3, text("_u")));
    ASSERT_TRUE(f->send(31, text("_u")));
    ASSERT_TRUE(f->send(32, text("_c_32")));
    ASSERT_EQ(env.sent.size(), 3u);
    EXPECT_EQ(intField(env.sent[0], "UsedChannelMask"), 8);
    EXPECT_EQ(intField(env.sent[1], "UsedChannelMask"), INT_MIN);
    EXPECT_EQ(intField(env.sent[2], "UsedChannelMask"), 1);
    EXPECT_EQ(textField(env.sent[0], "CoilString"), "Head_3");
    EXPECT_EQ(textField(env.sent[1], "CoilString"), "XXX");  // empty name
    EXPECT_EQ(sink->count("pMiniHeader->set('DUMMY CoilString') - set dummy value (fault back) "), 1u);
    EXPECT_EQ(textField(env.sent[2], "CoilString"), "HeadNeck");
    EXPECT_EQ(textField(env.sent[2], "ImageComment"), "_c_32");
    EXPECT_EQ(textField(env.sent[2], "Suffix4DataFileName"), "-33_1_1_1_2");

    f->m_vvstrCoilElementName = {std::vector<std::string>(31, "a")};  // one short
    ASSERT_TRUE(f->send(3, text("_u")));
    EXPECT_EQ(textField(env.sent.back(), "CoilString"), "XXX");
    f->m_vvstrCoilElementName.clear();
    ASSERT_TRUE(f->send(3, text("_u")));
    EXPECT_EQ(textField(env.sent.back(), "CoilString"), "XXX");
    f->m_strCoilInfoText.clear();
    ASSERT_TRUE(f->send(32, text("_c_32")));
    EXPECT_EQ(textField(env.sent.back(), "CoilString"), "XXX");
}

namespace {

// A 2D CSI of 4 x 4 points, two slices, transverse.
struct Csi2DOutput : ::testing::Test {
    void SetUp() override { build(4, 4, {0, 0, 1}); }
    void build(int lin, int phs, std::vector<float> normal) {
        StoreShape s;
        s.vectorSize = 2;
        s.lin = lin;
        s.phs = phs;
        s.slices = 2;
        f = makeStage(s, &env);
        ASSERT_TRUE(f);
        configure(*f);
        markRepetitions(1);
        f->m_iBaseResolution = 4;
        f->m_iPhaseEncodingLines = 3;
        f->m_iAverages = 1;
        f->m_iAveraging_Mode = 2;
        f->m_iAcquired_averages = 2;
        f->m_vfNormal_Sag = {normal[0], normal[0]};
        f->m_vfNormal_Cor = {normal[1], normal[1]};
        f->m_vfNormal_Tra = {normal[2], normal[2]};
        f->m_vfInPlaneRotAngle = {0.0f, 0.0f};
        f->m_vfPosition_Sag = {5.0f, 7.0f};
        f->m_vfPosition_Cor = {0.0f, 0.0f};
        f->m_vfPosition_Tra = {-10.0f, 10.0f};
        f->m_vfSliceThickness = {8.0f, 8.0f};
        f->m_fRoFOV = 200.0f;
        f->m_fPeFOV = 160.0f;
        for (long slc = 0; slc < 2; ++slc)
            for (long i2 = 0; i2 < phs; ++i2)
                for (long i1 = 0; i1 < lin; ++i1) put(*f, {0, 0, i1, i2, 0, 0, 0, slc}, {float(i1 + 10 * i2), float(slc)});
        f->m_raw->soda(1).setSlicePosVecSBCS({0.0, 0.0, 10.0});
    }
    RecordingEnvironment env;
    MrPtr<Derovo2> f;
};

}  // namespace

TEST_F(Csi2DOutput, TransverseSlicesAreMirroredAndDescribed) {
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 2u);
    EXPECT_EQ(sink->count("\n MiniHeader"), 2u);
    for (long slc = 0; slc < 2; ++slc) {
        const RecordingEnvironment::Sent& s = env.sent[slc];
        EXPECT_EQ(intField(s, "ProtocolSliceNumber"), slc);
        EXPECT_DOUBLE_EQ(doubleField(s, "SliceThickness"), 8.0);
        EXPECT_VEC3(listField(s, "PosVec"), slc ? 7 : 5, 0, slc ? 10 : -10);
        EXPECT_VEC3(listField(s, "PosVecSBCS"), 0, 0, slc ? 10 : 0);
        EXPECT_EQ(intField(s, "mainOrientation"), 2);
        EXPECT_VEC3(listField(s, "ColVec"), 0, 1, 0);
        EXPECT_VEC3(listField(s, "RowVec"), 1, 0, 0);  // readout (-1, 0, 0), mirrored
        EXPECT_EQ(listField(s, "PixelSpacing"), (std::vector<double>{40, 50}));
        EXPECT_EQ(intField(s, "NoOfCols"), 4);
        EXPECT_EQ(intField(s, "NoOfRows"), 4);
        EXPECT_DOUBLE_EQ(doubleField(s, "PercentPhaseFoV"), 1.25);
        EXPECT_DOUBLE_EQ(doubleField(s, "SliceLocation"), slc ? 7.0 : 5.0);
        EXPECT_DOUBLE_EQ(doubleField(s, "PercentSampling"), 0.75);
        EXPECT_EQ(intField(s, "NoOfAverages"), 3);  // stopped CSI, averaging mode 2
        EXPECT_EQ(intField(s, "NumberInSeries"), slc + 1);
        EXPECT_EQ(textField(s, "Suffix4DataFileName"), "-1_1_1_1_1");
        EXPECT_EQ(dimLength(s, LIN), 4);
        EXPECT_EQ(dimLength(s, PHS), 4);
        const std::vector<cf> data = samples(s);
        ASSERT_EQ(data.size(), 32u);
        for (long i2 = 0; i2 < 4; ++i2)
            for (long i1 = 0; i1 < 4; ++i1)
                EXPECT_EQ(data[2 * (i1 + 4 * i2)], cf(float(3 - i1 + 10 * i2), float(slc)));
    }
}

TEST_F(Csi2DOutput, SliceDurationAcrossMidnight) {
    time_span[0] = -30.0;
    ASSERT_TRUE(f->send(0, text("")));
    EXPECT_DOUBLE_EQ(doubleField(env.sent[0], "SliceMeasurementDuration"), 43186500.0);
}

TEST_F(Csi2DOutput, CoronalGridIsExchanged) {
    build(2, 4, {0, 1, 0});
    ASSERT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 2u);
    const RecordingEnvironment::Sent& s = env.sent[0];
    EXPECT_EQ(intField(s, "mainOrientation"), 1);
    EXPECT_VEC3(listField(s, "RowVec"), 1, 0, 0);  // the phase direction
    EXPECT_VEC3(listField(s, "ColVec"), 0, 0, -1);
    EXPECT_EQ(listField(s, "PixelSpacing"), (std::vector<double>{100, 40}));
    EXPECT_EQ(intField(s, "NoOfCols"), 4);
    EXPECT_EQ(intField(s, "NoOfRows"), 2);
    EXPECT_DOUBLE_EQ(doubleField(s, "PercentPhaseFoV"), 0.8);
    EXPECT_EQ(dimLength(s, LIN), 2);  // the view keeps the store's lengths
    const std::vector<cf> data = samples(s);
    for (long j2 = 0; j2 < 2; ++j2)
        for (long j1 = 0; j1 < 4; ++j1) EXPECT_EQ(data[2 * (j1 + 4 * j2)].real(), float(j2 + 10 * j1));
}

TEST_F(Csi2DOutput, SagittalAndUndefinedNormalsAreMirroredAndExchanged) {
    build(2, 4, {1, 0, 0});
    ASSERT_TRUE(f->send(0, text("")));
    EXPECT_EQ(intField(env.sent[0], "mainOrientation"), 0);
    EXPECT_VEC3(listField(env.sent[0], "RowVec"), 0, 1, 0);
    EXPECT_VEC3(listField(env.sent[0], "ColVec"), 0, 0, -1);
    EXPECT_EQ(intField(env.sent[0], "NoOfCols"), 4);
    std::vector<cf> data = samples(env.sent[0]);
    for (long j2 = 0; j2 < 2; ++j2)
        for (long j1 = 0; j1 < 4; ++j1) EXPECT_EQ(data[2 * (j1 + 4 * j2)].real(), float(1 - j2 + 10 * j1));

    env.sent.clear();
    build(2, 4, {1, 1, 0});
    ASSERT_TRUE(f->send(0, text("")));
    EXPECT_EQ(intField(env.sent[0], "mainOrientation"), 0);
    const double h = std::sqrt(0.5);
    EXPECT_VEC3(listField(env.sent[0], "RowVec"), 0, 0, -1);
    EXPECT_VEC3(listField(env.sent[0], "ColVec"), h, -h, 0);
    data = samples(env.sent[0]);
    for (long j2 = 0; j2 < 2; ++j2)
        for (long j1 = 0; j1 < 4; ++j1) EXPECT_EQ(data[2 * (j1 + 4 * j2)].real(), float(1 - j2 + 10 * j1));
}

TEST(Output, Csi3DSlabAsOneBlock) {
    StoreShape s;
    s.vectorSize = 2;
    s.lin = 8;
    s.phs = 8;
    s.seg = 4;
    RecordingEnvironment env;
    MrPtr<Derovo2> f = makeStage(s, &env);
    configure(*f);
    markRepetitions(1);
    f->m_vfNormal_Sag = {0.0f};
    f->m_vfNormal_Cor = {0.0f};
    f->m_vfNormal_Tra = {1.0f};
    f->m_vfInPlaneRotAngle = {0.0f};
    f->m_vfPosition_Sag = {3.0f};
    f->m_vfPosition_Cor = {0.0f};
    f->m_vfPosition_Tra = {5.0f};
    f->m_vfSliceThickness = {40.0f};
    f->m_fRoFOV = 160.0f;
    f->m_fPeFOV = 160.0f;
    f->m_raw->soda(0).setSlicePosVecSBCS({1.0, 2.0, 3.0});
    put(*f, {1, 0, 1, 2, 3}, {7.0f, 0.0f});
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 1u);
    const RecordingEnvironment::Sent& r = env.sent[0];
    EXPECT_DOUBLE_EQ(doubleField(r, "SliceThickness"), 10.0);
    EXPECT_VEC3(listField(r, "PosVec"), 3, 0, -10);  // slab centre - 15 mm: centre of partition 0
    EXPECT_VEC3(listField(r, "PosVecSBCS"), 1, 2, -12);
    EXPECT_EQ(intField(r, "ProtocolSliceNumber"), 0);
    EXPECT_EQ(intField(r, "mainOrientation"), 2);
    EXPECT_VEC3(listField(r, "RowVec"), 1, 0, 0);
    EXPECT_VEC3(listField(r, "ColVec"), 0, 1, 0);
    EXPECT_EQ(listField(r, "PixelSpacing"), (std::vector<double>{20, 20}));
    EXPECT_EQ(intField(r, "NoOfCols"), 8);
    EXPECT_EQ(intField(r, "NoOfRows"), 8);
    EXPECT_DOUBLE_EQ(doubleField(r, "PercentPhaseFoV"), 1.0);
    EXPECT_DOUBLE_EQ(doubleField(r, "SliceLocation"), 3.0);
    EXPECT_EQ(textField(r, "Suffix4DataFileName"), "-1_1_1_1_1");
    EXPECT_EQ(dimLength(r, SEG), 4);
    const std::vector<cf> data = samples(r);
    ASSERT_EQ(data.size(), 2u * 8 * 8 * 4);
    EXPECT_EQ(data[1 + 2 * (6 + 8 * (2 + 8 * 3))], cf(7.0f, 0.0f));  // mirrored along the first direction
    EXPECT_TRUE(sink->contains("\n==> Sending 3D data as one 3D block - finished  "));
    EXPECT_EQ(sink->count("\n MiniHeader"), 1u);
}

// --- aborts -----------------------------------------------------------------

namespace {

void expectAbort(duvtrace::MemoryTraceSink& sink, const std::string& text, int level, bool hostError) {
    EXPECT_EQ(sink.find(kChannel, level, "send", text).size(), 1u) << text;
    EXPECT_EQ(DuvFramework::GetLastError(), hostError ? I_FAIL : 0UL) << text;
}

}  // namespace

TEST_F(SvsRefusals, SingleSpectrumObjectCannotBeCreated) {
    f->noSingleSpectrum = true;
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(f->send(0, text("")));
    expectAbort(*sink, "QOM: Failed while creating single_img, aborting... status = 0x0", duvtrace::Error, true);
    EXPECT_TRUE(env.sent.empty());
}

TEST_F(SvsRefusals, SeriesIdentifierAndDescriptionRefused) {
    f->m_iResolveAve = 2;
    f->refused = {"SeriesInstanceUID"};
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(0, text("")));
        expectAbort(*sink,
                    "pMiniHeader->set('SeriesInstanceUID', m_sSBSeriesUID) failed! Aborting ... status = 0xc0000001",
                    duvtrace::Error, true);
        EXPECT_EQ(env.sent.size(), 4u);  // the individual averages went out before
    }
    DuvFramework::ClearLastError();
    env.sent.clear();
    f->refused = {"SequenceDescription"};
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(f->send(0, text("")));
    expectAbort(*sink,
                "pMiniHeader->set('SequenceDescription', strSeqDescription) failed! Aborting ... status = 0xc0000001",
                duvtrace::Error, true);
    EXPECT_TRUE(env.sent.empty());
}

TEST_F(SvsRefusals, ViewSelectionRefused) {
    testing::internal::CaptureStderr();
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(5, text("")));  // no such channel slot
        expectAbort(*sink, "==> Initialization of DUV AccessSpecifier m_rawAs failed! status = 0x0", duvtrace::Error,
                    true);
    }
    DuvFramework::ClearLastError();
    f->m_bVoIValid = true;  // no selection before the one for sending
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(5, text("")));
        expectAbort(*sink, "==>Creation of DUV AccessSpecifier with m_rawAs.init failed! (Sending of svs or fid data)",
                    duvtrace::Notice, false);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(env.sent.empty());
}

TEST_F(SvsRefusals, PositionInScannerCoordinatesRefused) {
    f->refused = {"PosVecSBCS"};
    const std::string t = "Could not set PositionVectorSBCS (SBCS) in miniheader, aborting...\n status = 0x0";
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(0, text("")));
        expectAbort(*sink, t, duvtrace::Error, true);
    }
    DuvFramework::ClearLastError();
    f->m_bVoIValid = true;
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(f->send(0, text("")));
    expectAbort(*sink, t, duvtrace::Error, true);
    EXPECT_TRUE(env.sent.empty());
}

TEST_F(SvsRefusals, CoilStringRefused) {
    f->refused = {"CoilString"};
    struct Case {
        std::vector<std::vector<std::string>> names;
        std::string info;
        const char* suffix;
        std::string trace;
    };
    // The store has one channel slot, so a "_u" list matches when it is empty.
    const std::vector<Case> cases = {
        {{{}}, "", "_u", "pMiniHeader->set('DUMMY CoilString') failed. status = 0x0"},
        {{{"a"}}, "", "_u", "pMiniHeader->set('DUMMY CoilString') failed. status = 0x0"},
        {{}, "Body", "", "dataHeader.set( 'CoilString' ) failed. status = 0x0"},
        {{}, "", "_c_1", "dataHeader.set('DUMMY CoilString') failed. status = 0x0"},
    };
    for (const Case& c : cases) {
        DuvFramework::ClearLastError();
        f->m_vvstrCoilElementName = c.names;
        f->m_strCoilInfoText = c.info;
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(0, const_cast<char*>(c.suffix)));
        expectAbort(*sink, c.trace, duvtrace::Error, true);
    }
    EXPECT_TRUE(env.sent.empty());
}

TEST(OutputRefusals, CoilNamesRefusedInTheSingleVoxelAndThe3DBranch) {
    for (bool csi : {false, true}) {
        StoreShape s;
        s.vectorSize = 2;
        s.receivers = 2;
        if (csi) s.lin = s.phs = s.seg = 2;
        RecordingEnvironment env;
        MrPtr<RefusingStage> f = makeStage<RefusingStage>(s, &env);
        configure(*f);
        markRepetitions(1);
        f->refused = {"CoilString"};
        f->m_vvstrCoilElementName = {{"Coil_0", ""}};
        DuvFramework::ClearLastError();
        {
            duvtrace::ScopedMemorySink sink;
            EXPECT_FALSE(f->send(0, text("_u")));
            expectAbort(*sink, "pMiniHeader->set('CoilString') failed. status = 0x0", duvtrace::Error, true);
        }
        DuvFramework::ClearLastError();
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(1, text("_u")));  // empty name: "XXX"
        expectAbort(*sink,
                    csi ? "pMiniHeader->set('CoilString') failed. status = 0x0"
                        : "pMiniHeader->set('DUMMY CoilString') failed. status = 0x0",
                    duvtrace::Error, true);
        EXPECT_TRUE(env.sent.empty());
    }
}

TEST_F(SvsRefusals, CopyIntoTheSingleSpectrumFails) {
    f->singleLength = 5;
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(f->send(0, text("")));
    expectAbort(*sink, "Duv.Copy(singleAs, m_rawAs)) failed, aborting... status = 0x0", duvtrace::Error, true);
    EXPECT_TRUE(env.sent.empty());
}

TEST_F(SvsRefusals, ReceiverFailure) {
    env.receiveStatus = I_FAIL;
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(f->send(0, text("")));
        expectAbort(*sink, "Failed during DuvUtils::send(...), aborting...\n status = 0xc0000001", duvtrace::Error,
                    true);
        EXPECT_EQ(f->_numberInSeries, 0u);
    }
    DuvFramework::ClearLastError();
    f->setEnvironment(nullptr);  // no receiver at all
    duvtrace::ScopedMemorySink sink;
    EXPECT_FALSE(f->send(0, text("")));
    EXPECT_EQ(sink->find(kChannel, duvtrace::Error, "send", "").size(), 1u);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
}

TEST_F(SvsRefusals, SoftRefusalsAreTracedAndTheDataSetStillGoesOut) {
    f->refused = {"PosVec", "Suffix4DataFileName", "PixelSpacing", "NoOfCols"};
    duvtrace::ScopedMemorySink sink;
    EXPECT_TRUE(f->send(0, text("")));
    ASSERT_EQ(env.sent.size(), 1u);
    EXPECT_EQ(sink->find(kChannel, duvtrace::Notice, "send", "Could not set PosVec in miniheader, !!! \n").size(),
              1u);
    EXPECT_EQ(sink->find(kChannel, duvtrace::Notice, "send", "pMiniHeader->set( 'Suffix4DataFileName' ) failed.")
                  .size(),
              1u);
    EXPECT_EQ(sink->find(kChannel, duvtrace::Notice, "send",
                         "Could not set PixelSpacing in pMiniHeader, aborting...\n")
                  .size(),
              1u);
    EXPECT_FALSE(hasField(env.sent[0], "PosVec"));
    EXPECT_FALSE(hasField(env.sent[0], "NoOfCols"));
    EXPECT_EQ(DuvFramework::GetLastError(), 0UL);
}

TEST(OutputRefusals, CsiBranches) {
    for (int seg : {1, 2}) {
        StoreShape s;
        s.vectorSize = 2;
        s.lin = s.phs = 2;
        s.seg = seg;
        RecordingEnvironment env;
        MrPtr<RefusingStage> f = makeStage<RefusingStage>(s, &env);
        configure(*f);
        markRepetitions(1);
        DuvFramework::ClearLastError();
        testing::internal::CaptureStderr();
        {
            duvtrace::ScopedMemorySink sink;
            EXPECT_FALSE(f->send(3, text("")));
            expectAbort(*sink, "==> Initialization of DUV AccessSpecifier m_rawAs failed! status = 0x0",
                        duvtrace::Error, true);
        }
        testing::internal::GetCapturedStderr();
        DuvFramework::ClearLastError();
        f->refused = {"PosVecSBCS", "PixelSpacing"};
        duvtrace::ScopedMemorySink sink;
        if (seg == 1) {  // 2D: the position is required
            EXPECT_FALSE(f->send(0, text("")));
            expectAbort(*sink, "Could not set PositionVectorSBCS (SBCS) in miniheader, aborting...\n status = 0x0",
                        duvtrace::Error, true);
            EXPECT_TRUE(env.sent.empty());
        } else {  // 3D goes on without it
            EXPECT_TRUE(f->send(0, text("")));
            ASSERT_EQ(env.sent.size(), 1u);
            EXPECT_FALSE(hasField(env.sent[0], "PosVecSBCS"));
            EXPECT_TRUE(sink->contains("Could not set PixelSpacing in pMiniHeader, aborting...\n"));
            EXPECT_EQ(DuvFramework::GetLastError(), 0UL);
        }
    }
}

// --- header dump ------------------------------------------------------------

TEST_F(SvsOutput, HeaderDumpOfASentDataSet) {
    f->m_iResolveAve = 1;
    duvtrace::ScopedMemorySink sink;
    ASSERT_TRUE(f->send(0, text("")));
    std::vector<std::string> lines;
    for (const duvtrace::TraceRecord& r : sink->find(kChannel, duvtrace::Notice, "print_MiniHeader", ""))
        lines.push_back(r.text);
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines[0], "\n" + std::string(34, '&') + "  Derovo2  " + std::string(35, '&'));
    EXPECT_EQ(lines[1], "\n MiniHeader");
    EXPECT_EQ(lines[2], "============");
    EXPECT_EQ(lines[3], "==>  AcquisitionNumber:          1");
    EXPECT_EQ(lines[4], dumpLine("AcquisitionTime", "123456.25"));
    EXPECT_EQ(lines[5], dumpLine("AcquisitionDate", "20261206"));
    EXPECT_EQ(lines[6], dumpLine("CoilString", "XXX"));
    EXPECT_EQ(lines[7], dumpLine("ImageComment", ""));
    EXPECT_EQ(lines[13], dumpLine("EchoTrainLength", "1"));
    EXPECT_EQ(lines[14], dumpLine("mainOrientation", "1"));  // not in a single-voxel header: the previous int
    EXPECT_EQ(lines[19], dumpLine("NumberInSeries", "1"));
    EXPECT_EQ(lines[23], dumpLine("RealDwellTime", "500000"));
    EXPECT_EQ(lines[26], dumpLine("SliceMeasurementDuration", "3500"));
    EXPECT_EQ(lines[28], dumpLine("TE", "30"));
    EXPECT_EQ(lines[32], dumpLine("UsedChannelMask", "1"));
    EXPECT_EQ(lines[33], dumpLine("ColVec", "0 0 0"));
    EXPECT_EQ(lines[34], dumpLine("PixelSpacing", "0 0"));
    EXPECT_EQ(lines[35], dumpLine("PosVec", "0 0 0"));
    EXPECT_EQ(lines[36], dumpLine("PosVecSBCS", "1.5 -2 3"));
    EXPECT_EQ(lines[37], dumpLine("RowVec", "0 0 0"));
    EXPECT_EQ(lines[38], dumpLine("Suffix4DataFileName", "-1_1_1_1_1"));
    EXPECT_EQ(lines[39], std::string(85, '&') + "\n");
    for (const char* hidden : {"SpectroData", "PhaseEncodingDirection", "SequenceString", "SwapReadPhase",
                               "SequenceDescription"})
        for (const std::string& l : lines) EXPECT_EQ(l.find(hidden), std::string::npos) << hidden;
}

TEST(HeaderDump, MissingFieldsShowStartValuesCarriedValuesAndMarkers) {
    MrPtr<Derovo2> f(Rudu::HeapObject<Derovo2>::Create());
    MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
    h->set("AcquisitionTime", std::string("101010.00"));
    h->set("EchoNumber", 7);
    h->set("TE", 2.5);
    h->setArrayValues("PixelSpacing", {4.0, 5.0});
    duvtrace::ScopedMemorySink sink;
    f->print_MiniHeader(h);
    const std::vector<std::string> t = sink->texts();
    ASSERT_EQ(t.size(), 40u);
    EXPECT_EQ(t[3], dumpLine("AcquisitionNumber", "0"));    // first int missing: start value
    EXPECT_EQ(t[4], dumpLine("AcquisitionTime", "101010.00"));
    EXPECT_EQ(t[5], dumpLine("AcquisitionDate", "101010.00"));  // carried over from the previous text
    EXPECT_EQ(t[8], dumpLine("Actual3DImaPartNumber", "0"));
    EXPECT_EQ(t[11], dumpLine("EchoNumber", "7"));
    EXPECT_EQ(t[12], dumpLine("EchoPartitionPosition", "7"));
    EXPECT_EQ(t[20], dumpLine("PercentPhaseFoV", "0"));  // first double missing: start value
    EXPECT_EQ(t[28], dumpLine("TE", "2.5"));
    EXPECT_EQ(t[29], dumpLine("TI", "2.5"));
    EXPECT_EQ(t[33], dumpLine("ColVec", "0 0 0"));
    EXPECT_EQ(t[34], dumpLine("PixelSpacing", "4 5"));
    EXPECT_EQ(t[35], dumpLine("PosVec", "111111 222222"));
    EXPECT_EQ(t[36], dumpLine("PosVecSBCS", "111111 222222 333333"));
    EXPECT_EQ(t[37], dumpLine("RowVec", "111111 222222 333333"));
    EXPECT_EQ(t[38], dumpLine("Suffix4DataFileName", "NOTHING SAVED"));
}
