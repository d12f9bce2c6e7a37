// Calibration display: peak window, largest and smallest peak, the curve,
// the title and legends, and the calibration values of automatic mode.
#include <cmath>

#include "DisplayRecorder.h"
#include "duvhost/Framework.h"

namespace {

const double kTol = 1e-6;

class CalibDisplay : public DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        src = stage->_current_ondisp_array;
        std::fill(src, src + 64 * 4096, 0.0f);
        stage->m_iDwellTimeSig = 250000;  // 4000 Hz: 51 points of 1024 in 200 Hz
        stage->m_bRemoveOversampling = false;
        stage->m_fReadoutOSFactor = 1.0f;
        stage->m_fFlipAngleDeg1 = 60.0f;
        stage->m_iSpec_MyCalib_Inc = 10;
        stage->m_fSpec_TraRef = 300.0f;
        stage->m_iSpec_AutoCalib = 0;
    }
    // A three-point peak of height h at window point p of repetition r
    // (1024 points, window from 486).
    void peak(long r, long p, float h, long n = 1024, long start = 486)
    {
        float* w = src + r * n + start;
        w[p - 1] = h / 2, w[p] = h, w[p + 1] = h / 2;
    }
    std::vector<OverlayElement> polygons()
    {
        std::vector<OverlayElement> out;
        for (const OverlayElement& e : overlay())
            if (e.polygon) out.push_back(e);
        return out;
    }
    float* src = nullptr;
};

}  // namespace

TEST_F(CalibDisplay, WindowOf51PointsFrom486)
{
    for (int k = 0; k < 51; ++k) src[486 + k] = float(1 + k);
    src[485] = src[537] = 1000.0f;  // just outside the window
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 0, 4);
    std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 4u);  // curve, frame, title, maximum legend: the marker lines are not drawn
    ASSERT_TRUE(e[0].polygon && e[1].polygon);
    ExpectColor(e[0].poly.color, 0, 1, 1);
    ExpectColor(e[1].poly.color, 0.6, 0.6, 0.6);
    ASSERT_EQ(e[0].poly.points.size(), 51u);
    const float step = 0.9f / 51;
    for (int k = 0; k < 51; ++k) {
        EXPECT_NEAR(e[0].poly.points[k].X, 0.05f + float(k) * step, kTol);
        EXPECT_NEAR(e[0].poly.points[k].Y, GraphY(float(1 + k), 0.05f, 0.85f, -1.02f, 52.02f), kTol);
    }
    ASSERT_EQ(e[1].poly.points.size(), 5u);
    EXPECT_NEAR(e[1].poly.points[2].X, 0.95, kTol);
    EXPECT_NEAR(e[1].poly.points[2].Y, 0.9, kTol);

    EXPECT_EQ(e[2].text.text, "Excite flip angle calibration (60-100 deg); Ave 1/1; Rep 1/4");
    ExpectColor(e[2].text.color, 0, 1, 0);
    EXPECT_DOUBLE_EQ(e[2].text.position.X, 0.3);
    EXPECT_DOUBLE_EQ(e[2].text.position.Y, 0.05);
    // Largest mean (49 + 50 + 51) / 3 centred on window point 49.
    EXPECT_EQ(e[3].text.text, "* Max = 60 deg\n   RefV = 200.0 V");
    ExpectColor(e[3].text.color, 1, 0, 0);
    EXPECT_NEAR(e[3].text.position.X, 0.05f + 49.0f * step, kTol);
    EXPECT_DOUBLE_EQ(e[3].text.position.Y, 0.1);

    // With oversampling removal the dwell time counts at the acquired rate.
    stage->m_bRemoveOversampling = true;
    stage->m_fReadoutOSFactor = 2.0f;
    stage->m_iDwellTimeSig = 125000;
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 0, 4);
    EXPECT_EQ(polygons()[0].poly.points.size(), 51u);
    stage->m_bRemoveOversampling = false;  // 8000 Hz: 26 points
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 0, 4);
    EXPECT_EQ(polygons()[0].poly.points.size(), 26u);
}

TEST_F(CalibDisplay, FirstRepetitionShowsOnlyTheMaximum)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iSpec_AutoCalib = 10;
    stage->m_iSpec_VAPORFA = 100;
    stage->myVaporFAVal = 77;
    peak(0, 25, 10.0f);
    stage->feed_online_display_calib(src, 1024, 8, 0, 2, 0, 4);
    EXPECT_EQ(texts(), (std::vector<std::string>{"VAPOR flip angle calibration (100-140 deg); Ave 1/1; Rep 1/4",
                                                 "* Max = 100 deg"}));
    EXPECT_EQ(stage->myVaporFAVal, 0);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Notice, "feed_online_display_calib",
                         "current WS FA from minimum water peak: 0 deg")
                  .size(),
              1u);
}

TEST_F(CalibDisplay, MaximumInTheSecondOfFourRepetitions)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iSpec_AutoCalib = 10;
    const float heights[4] = {5.0f, 9.0f, 6.0f, 2.0f};
    for (int r = 0; r < 4; ++r) peak(r, 25, heights[r]);
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 3, 4);

    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 5u);
    for (size_t i = 0; i < e.size(); ++i) EXPECT_EQ(e[i].name, std::to_string(i + 1));
    ASSERT_EQ(e[0].poly.points.size(), 204u);
    const float step = 0.9f / 204;
    EXPECT_EQ(e[2].text.text, "Excite flip angle calibration (60-100 deg); Ave 1/1; Rep 4/4");
    EXPECT_EQ(e[3].text.text, "* Max = 70 deg\n   RefV = 233.3 V");
    EXPECT_NEAR(e[3].text.position.X, 0.05f + 76.0f * step, kTol);
    EXPECT_DOUBLE_EQ(e[3].text.position.Y, 0.1);
    // The smallest peak at the same window point: repetition 3, at its curve point.
    EXPECT_EQ(e[4].text.text, "* Min = 90 deg");
    ExpectColor(e[4].text.color, 1, 0, 0);
    EXPECT_NEAR(e[4].text.position.X, 0.05f + 178.0f * step, kTol);
    EXPECT_NEAR(e[4].text.position.Y, GraphY(2.0f, 0.05f, 0.85f, -0.18f, 9.18f) + 0.025, kTol);

    EXPECT_FLOAT_EQ(stage->myDeterminedRefVal, 70.0f / 90.0f * 300.0f);
    EXPECT_TRUE(sink->contains("Current RefV from max. water peak: 233.333 V"));
}

TEST_F(CalibDisplay, EqualMaximaKeepTheEarlier)
{
    const float heights[4] = {5.0f, 8.0f, 8.0f, 3.0f};
    for (int r = 0; r < 4; ++r) peak(r, 25, heights[r]);
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 3, 4);
    const std::vector<std::string> t = texts();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1], "* Max = 70 deg\n   RefV = 233.3 V");
    EXPECT_EQ(t[2], "* Min = 90 deg");
}

TEST_F(CalibDisplay, SettingsTitlesAndUnitsPerKind)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iSpec_AutoCalib = 10;
    stage->myDeterminedRefVal = 12.5f;
    stage->myVaporFAVal = 33;
    stage->m_fFlipAngleDeg1 = 45.4f;
    stage->m_fFlipAngleDeg2 = 149.6f;
    stage->m_iSpec_VAPORFA = 100;
    stage->m_iSpec_VAPOR_Delay7 = 20;
    stage->m_iSpec_VAPOR_Delay8 = 5;
    peak(0, 25, 3.0f);
    peak(1, 25, 9.0f);  // maximum in repetition 1, minimum in repetition 0

    struct Case {
        long lType;
        const char* sequence;
        int inc;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {7, "svs_steam", 10,
         {"STEAM flip angle calibration (45-85 deg); Ave 1/1; Rep 2/4", "* Max = 55 deg\n   RefV = 183.3 V",
          "* Min = 45 deg"}},
        {7, "svs_se", 10,
         {"Refocus flip angle calibration (150-190 deg); Ave 1/1; Rep 2/4", "* Max = 160 deg\n   RefV = 266.7 V",
          "* Min = 150 deg"}},
        {7, "svs_STEAM", 10,  // the search for "steam" is case-sensitive
         {"Refocus flip angle calibration (150-190 deg); Ave 1/1; Rep 2/4", "* Max = 160 deg\n   RefV = 266.7 V",
          "* Min = 150 deg"}},
        {9, "svs_se", 10,
         {"VAPOR delay 7 calibration (20-60 ms); Ave 1/1; Rep 2/4", "* Max = 30 ms", "* Min = 20 ms"}},
        {10, "svs_se", 1, {"VAPOR delay 8 calibration (5-9 ms); Ave 1/1; Rep 2/4", "* Max = 6 ms", "* Min = 5 ms"}},
        {11, "svs_se", 10, {"Calibration (1-5); Ave 1/1; Rep 2/4", "* Max = 2", "* Min = 1"}},
        {5, "svs_se", 10, {"Calibration (1-5); Ave 1/1; Rep 2/4", "* Max = 2", "* Min = 1"}},
    };
    for (const Case& c : cases) {
        stage->m_strSequenceFileName = c.sequence;
        stage->m_iSpec_MyCalib_Inc = c.inc;
        stage->feed_online_display_calib(src, 1024, c.lType, 0, 2, 1, 4);
        EXPECT_EQ(texts(), c.texts) << c.lType << " " << c.sequence;
    }
    // Only excitation and VAPOR flip angle calibrations determine a value.
    EXPECT_FLOAT_EQ(stage->myDeterminedRefVal, 12.5f);
    EXPECT_EQ(stage->myVaporFAVal, 33);
    EXPECT_FALSE(sink->containsSubstring("water peak"));

    stage->m_iSpec_MyCalib_Inc = 10;
    stage->feed_online_display_calib(src, 1024, 8, 0, 2, 1, 4);
    EXPECT_EQ(texts(), (std::vector<std::string>{"VAPOR flip angle calibration (100-140 deg); Ave 1/1; Rep 2/4",
                                                 "* Max = 110 deg", "* Min = 100 deg"}));
    EXPECT_EQ(stage->myVaporFAVal, 100);
    EXPECT_TRUE(sink->contains("current WS FA from minimum water peak: 100 deg"));

    stage->m_iSpec_AutoCalib = 0;  // not automatic: nothing is kept
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 1, 4);
    EXPECT_FLOAT_EQ(stage->myDeterminedRefVal, 12.5f);
}

TEST_F(CalibDisplay, LongVectorIsTakenAs65536Points)
{
    // 200 Hz of 4000 Hz: 3277 points from 31129; repetitions 65536 apart.
    std::fill(src, src + 3 * 100000, 0.0f);
    peak(1, 1000, 10.0f, 65536, 31129);
    src[100000 + 31129 + 1000] = 1000.0f;  // where repetition 1 would lie with 100000 points
    stage->feed_online_display_calib(src, 100000, 6, 0, 2, 1, 4);
    const std::vector<OverlayElement> p = polygons();
    ASSERT_EQ(p[0].poly.points.size(), 6554u);
    EXPECT_NEAR(p[0].poly.points[3277 + 1000].Y, GraphY(10.0f, 0.05f, 0.85f, -0.2f, 10.2f), kTol);
    EXPECT_EQ(texts()[1], "* Max = 70 deg\n   RefV = 233.3 V");
}

TEST_F(CalibDisplay, LongRunsShowTheLastRepetitionsThatFit)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iDwellTimeSig = 4882813;  // 204.8 Hz: 4000 of 4096 points in 200 Hz
    stage->m_iSpec_AutoCalib = 10;
    stage->m_iSpec_VAPORFA = 100;
    stage->m_iSpec_MyCalib_Inc = 5;
    const long n = 4096, start = 48;
    std::fill(src, src + 40 * n, 0.0f);
    for (long r = 0; r < 40; ++r) peak(r, 2000, 10.0f, n, start);
    peak(2, 2000, 100.0f, n, start);  // no longer shown
    peak(20, 2000, 50.0f, n, start);
    peak(30, 2000, 1.0f, n, start);

    stage->feed_online_display_calib(src, n, 8, 0, 2, 31, 40);  // 32 repetitions fit exactly
    EXPECT_EQ(polygons()[0].poly.points.size(), 128000u);
    EXPECT_FALSE(sink->containsSubstring("only: the peak window store"));
    EXPECT_EQ(texts()[1], "* Max = 110 deg");

    stage->feed_online_display_calib(src, n, 8, 0, 2, 39, 40);
    EXPECT_TRUE(sink->contains("==>Calibration display shows repetitions 9 to 40 only: the peak window store "
                               "holds 32 repetitions of 4000 points"));
    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].poly.points.size(), 128000u);
    EXPECT_EQ(e[2].text.text, "VAPOR flip angle calibration (100-300 deg); Ave 1/1; Rep 40/40");
    EXPECT_EQ(e[3].text.text, "* Max = 200 deg");
    EXPECT_NEAR(e[3].text.position.X, 0.05f + float(12 * 4000 + 2000) * (0.9f / 128000), kTol);
    EXPECT_EQ(e[4].text.text, "* Min = 250 deg");
    EXPECT_EQ(stage->myVaporFAVal, 250);
}

TEST_F(CalibDisplay, SmallestPeakIsTakenOnlyFromMeasuredValues)
{
    // Largest mean centred on the last window point of repetition 0: in
    // repetition 1 that mean would reach past the values measured.
    float* w = src + 486;
    w[49] = w[50] = 10.0f;
    src[1024 + 486] = 10.0f;
    stage->_disp_values.assign(4096, 0.0f);
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 1, 4);
    EXPECT_EQ(texts(), (std::vector<std::string>{"Excite flip angle calibration (60-100 deg); Ave 1/1; Rep 2/4",
                                                 "* Max = 60 deg\n   RefV = 200.0 V"}));
}

TEST_F(CalibDisplay, NoSignalOrNoWindowStaysFinite)
{
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 1, 4);
    std::vector<OverlayElement> p = polygons();
    ASSERT_EQ(p[0].poly.points.size(), 102u);
    for (const MrPoint& pt : p[0].poly.points) EXPECT_NEAR(pt.Y, GraphY(0.0f, 0.05f, 0.85f, -0.02f, 1.02f), kTol);

    stage->m_iDwellTimeSig = 0;  // no bandwidth: an empty window
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 1, 4);
    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_TRUE(e[0].poly.points.empty());
    EXPECT_NEAR(e[3].text.position.X, 0.05, kTol);
    EXPECT_EQ(e[3].text.text, "* Max = 60 deg\n   RefV = 200.0 V");
}

TEST_F(CalibDisplay, HeaderAndFailingSend)
{
    duvtrace::ScopedMemorySink sink;
    env.receiveStatus = I_FAIL;
    stage->feed_online_display_calib(src, 1024, 6, 0, 2, 0, 4);
    ASSERT_EQ(env.sent.size(), 1u);
    EXPECT_EQ(env.sent[0].format, SH);
    EXPECT_EQ(env.sent[0].data.size(), 64u * 64u * 2u);
    const MiniHeader& h = *env.sent[0].header;
    ASSERT_EQ(h.fields().size(), 22u);
    EXPECT_EQ(h.fields().front().name, "SkipSaveOnHost");
    EXPECT_EQ(h.fields().back().name, "SmallestImagePixelValue");
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Notice, "feed_online_display_calib",
                         "Failed during DuvUtils::send(...), aborting...\n")
                  .size(),
              1u);
}
