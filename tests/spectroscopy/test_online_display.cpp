// Online display of the spectroscopy stage: graph geometry, power curves,
// the spectrum display and the trace display, read back from the overlay of
// the images the stage sends.
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstring>

#include "DisplayRecorder.h"
#include "duvhost/Framework.h"

namespace {

const double kTol = 1e-6;

void ExpectPoint(const MrPoint& p, double x, double y, double tol = kTol)
{
    EXPECT_NEAR(p.X, x, tol);
    EXPECT_NEAR(p.Y, y, tol);
    EXPECT_EQ(p.Z, 0.0);
}

// A complex exponential that the display's transform (sign +1, output
// rotated by half) turns into one peak of height n x amplitude at `index`.
void AddPeak(float* v, long n, long index, float amplitude)
{
    const long k0 = (index + n / 2) % n;
    for (long m = 0; m < n; ++m) {
        const std::complex<double> x = std::polar(1.0, -2.0 * M_PI * double(m * k0 % n) / double(n)) * double(amplitude);
        v[2 * m] += static_cast<float>(x.real());
        v[2 * m + 1] += static_cast<float>(x.imag());
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// compute_graph and complex2magn_data
// ---------------------------------------------------------------------------

TEST_F(DisplayTest, ComputeGraphPlacesPointsFrameLineAndMarkers)
{
    // Every second value is skipped (datastep 2); 12 lies above ymax, -3 below ymin.
    float data[8] = {0.0f, 99.0f, 5.0f, 99.0f, 12.0f, 99.0f, -3.0f, 99.0f};
    MrPoint pts[4], frame[5], xaxis[2], y1[2], y2[2];
    stage->compute_graph(0.1f, 0.2f, 0.8f, 0.5f, data, 4, 2, -1.0f, 10.0f, pts, frame, xaxis, 0.0f, y1, 1.5f, y2, 3.0f);

    // step 0.2, value scale 0.5 / 11, bottom 0.7
    ExpectPoint(pts[0], 0.1, 0.7 - 1.0 * 0.5 / 11.0);
    ExpectPoint(pts[1], 0.3, 0.7 - 6.0 * 0.5 / 11.0);
    ExpectPoint(pts[2], 0.5, 0.2);  // clamped to the top edge
    ExpectPoint(pts[3], 0.7, 0.7);  // clamped to the bottom edge
    ExpectPoint(frame[0], 0.1, 0.2);
    ExpectPoint(frame[1], 0.9, 0.2);
    ExpectPoint(frame[2], 0.9, 0.7);
    ExpectPoint(frame[3], 0.1, 0.7);
    ExpectPoint(frame[4], 0.1, 0.2);
    ExpectPoint(xaxis[0], 0.1, 0.7 - 0.5 / 11.0);
    ExpectPoint(xaxis[1], 0.9, 0.7 - 0.5 / 11.0);
    ExpectPoint(y1[0], 0.4, 0.2);
    ExpectPoint(y1[1], 0.4, 0.7);
    ExpectPoint(y2[0], 0.7, 0.2);
    ExpectPoint(y2[1], 0.7, 0.7);

    // Lists left out are skipped.
    MrPoint frame2[5];
    stage->compute_graph(0.0f, 0.0f, 1.0f, 1.0f, data, 4, 2, -1.0f, 10.0f, nullptr, frame2, nullptr, 0.0f, nullptr,
                         0.0f, nullptr, 0.0f);
    ExpectPoint(frame2[2], 1.0, 1.0);
}

TEST_F(DisplayTest, ComputeGraphWithoutHeightOrPointsStaysFinite)
{
    float data[3] = {0.0f, 1.0f, -1.0f};
    MrPoint pts[3], y1[2];
    stage->compute_graph(0.05f, 0.05f, 0.9f, 0.5f, data, 3, 1, 0.0f, 0.0f, pts, nullptr, nullptr, 0.0f, y1, 1.0f,
                         nullptr, 0.0f);
    for (const MrPoint& p : pts) EXPECT_NEAR(p.Y, 0.55, kTol);  // all on the bottom edge

    stage->compute_graph(0.05f, 0.05f, 0.9f, 0.5f, data, 0, 1, 0.0f, 1.0f, pts, nullptr, nullptr, 0.0f, y1, 7.0f,
                         nullptr, 0.0f);
    EXPECT_NEAR(y1[0].X, 0.05, kTol);
    EXPECT_TRUE(std::isfinite(y1[1].X));
}

TEST_F(DisplayTest, PowerCurveWindowsAndMaximum)
{
    float src[16], dst[16];
    for (int k = 0; k < 8; ++k) src[2 * k] = float(k), src[2 * k + 1] = 1.0f;
    long count = -1;
    float max = 0.0f;

    stage->complex2magn_data(src, dst, 8, &count, &max, 0, 2, 5);
    ASSERT_EQ(count, 4);
    for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(dst[k], float((k + 2) * (k + 2) + 1));
    EXPECT_FLOAT_EQ(max, 26.0f);

    stage->complex2magn_data(src, dst, 8, &count, &max, 0, 5, 5);  // leftindex >= rightindex: all
    EXPECT_EQ(count, 8);
    EXPECT_FLOAT_EQ(dst[0], 1.0f);
    EXPECT_FLOAT_EQ(max, 50.0f);

    stage->complex2magn_data(src, dst, 8, &count, nullptr, 0, -3, 100);  // clipped to the vector
    EXPECT_EQ(count, 8);
    EXPECT_FLOAT_EQ(dst[7], 50.0f);

    // Transform: a constant turns into one peak of 8 in the middle (power 64).
    for (int k = 0; k < 8; ++k) src[2 * k] = 1.0f, src[2 * k + 1] = 0.0f;
    stage->complex2magn_data(src, dst, 8, &count, &max, 1, 0, 0);
    EXPECT_EQ(count, 8);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(dst[k], k == 4 ? 64.0 : 0.0, 1e-9);
    EXPECT_FLOAT_EQ(max, 64.0f);

    // No signal, an empty window, a length the transform refuses: maximum 1.0.
    std::memset(src, 0, sizeof(src));
    stage->complex2magn_data(src, dst, 8, &count, &max, 1, 0, 0);
    EXPECT_FLOAT_EQ(max, 1.0f);
    src[0] = 3.0f;
    stage->complex2magn_data(src, dst, 8, &count, &max, 0, 10, 20);
    EXPECT_EQ(count, 0);
    EXPECT_FLOAT_EQ(max, 1.0f);
    for (float& v : dst) v = 7.0f;
    stage->complex2magn_data(src, dst, 6, &count, &max, 1, 0, 0);
    EXPECT_EQ(count, 6);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(dst[k], 0.0f);
    EXPECT_FLOAT_EQ(max, 1.0f);
}

// ---------------------------------------------------------------------------
// Spectroscopy display
// ---------------------------------------------------------------------------

class SpectrumDisplay : public DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        max1 = max2 = max3 = -FLT_MAX;
        std::memset(src, 0, sizeof(src));
        std::memset(src2, 0, sizeof(src2));
    }
    void show(long n, long cAve, long nAve, long cEco, long nEco, long cRep, long nRep, long left, long right)
    {
        stage->feed_online_display(src, src2, &max1, &max2, &max3, n, cAve, nAve, cEco, nEco, cRep, nRep, left, right);
    }
    float src[32], src2[32];
    float max1, max2, max3;
};

TEST_F(SpectrumDisplay, ElementsInOrderWithCurvesAgainstHandComputation)
{
    src2[0] = 2.0f;  // impulse: flat spectrum of power 4, decay 4 at its first point
    src[0] = 3.0f;   // accumulated: flat spectrum of power 9
    show(16, 0, 5, 0, 1, 0, 1, 0, 16);
    ASSERT_EQ(env.sent.size(), 1u);
    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 11u);
    for (size_t i = 0; i < e.size(); ++i) EXPECT_EQ(e[i].name, std::to_string(i + 1));
    for (size_t i = 0; i < 8; ++i) EXPECT_TRUE(e[i].polygon) << i;
    for (size_t i = 8; i < 11; ++i) EXPECT_FALSE(e[i].polygon) << i;

    // Current spectrum: green curve, grey frame, grey marker at the centre.
    ASSERT_EQ(e[0].poly.points.size(), 16u);
    ExpectColor(e[0].poly.color, 0, 1, 0);
    for (long i = 0; i < 16; ++i)
        ExpectPoint(e[0].poly.points[i], 0.05f + float(i) * (0.9f / 16), GraphY(4.0f, 0.05f, 0.625f, -0.08f, 4.08f));
    ASSERT_EQ(e[1].poly.points.size(), 5u);
    ExpectColor(e[1].poly.color, 0.6, 0.6, 0.6);
    ExpectPoint(e[1].poly.points[2], 0.95, 0.675);
    ASSERT_EQ(e[2].poly.points.size(), 2u);
    ExpectColor(e[2].poly.color, 0.6, 0.6, 0.6);
    ExpectPoint(e[2].poly.points[0], 0.05 + 8 * 0.9 / 16, 0.05);
    ExpectPoint(e[2].poly.points[1], 0.05 + 8 * 0.9 / 16, 0.675);

    // Decay: red curve over all points, grey frame, no marker.
    ASSERT_EQ(e[3].poly.points.size(), 16u);
    ExpectColor(e[3].poly.color, 1, 0, 0);
    ExpectPoint(e[3].poly.points[0], 0.05, GraphY(4.0f, 0.725f, 0.175f, -0.08f, 4.08f));
    ExpectPoint(e[3].poly.points[1], 0.05 + 0.425 / 16, GraphY(0.0f, 0.725f, 0.175f, -0.08f, 4.08f));
    ExpectPoint(e[4].poly.points[0], 0.05, 0.725);
    ExpectPoint(e[4].poly.points[2], 0.475, 0.9);

    // Accumulated spectrum: cyan curve, frame, marker.
    ExpectColor(e[5].poly.color, 0, 1, 1);
    ExpectPoint(e[5].poly.points[3], 0.525 + 3 * 0.425 / 16, GraphY(9.0f, 0.725f, 0.175f, -0.18f, 9.18f));
    ExpectPoint(e[6].poly.points[1], 0.95, 0.725);
    ExpectPoint(e[7].poly.points[0], 0.525 + 8 * 0.425 / 16, 0.725);
    ExpectPoint(e[7].poly.points[1], 0.525 + 8 * 0.425 / 16, 0.9);

    EXPECT_EQ(e[8].text.text, "Single-shot spectrum (Ave 1/4); signal max. = 4.00e+00");
    ExpectColor(e[8].text.color, 0, 1, 0);
    ExpectPoint(e[8].text.position, 0.3, 0.05, 0.0);
    EXPECT_EQ(e[9].text.text, "Single-shot FID");
    ExpectColor(e[9].text.color, 1, 0, 0);
    ExpectPoint(e[9].text.position, 0.05, 0.725, 0.0);
    EXPECT_EQ(e[10].text.text, "Accumulated spectrum");
    ExpectColor(e[10].text.color, 0, 1, 1);
    ExpectPoint(e[10].text.position, 0.525, 0.725, 0.0);

    EXPECT_FLOAT_EQ(max1, 4.0f);
    EXPECT_FLOAT_EQ(max2, 4.0f);
    EXPECT_FLOAT_EQ(max3, 9.0f);
}

TEST_F(SpectrumDisplay, WindowSelectsThePointsShownAndTheirMaximum)
{
    AddPeak(src2, 16, 5, 1.0f);   // power 256 inside the window 4 ... 11
    AddPeak(src2, 16, 12, 2.0f);  // power 1024 outside it
    AddPeak(src, 16, 6, 1.0f);
    show(16, 0, 2, 0, 1, 0, 1, 4, 11);
    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e[0].poly.points.size(), 8u);
    EXPECT_FLOAT_EQ(max1, 256.0f);
    const float step = 0.9f / 8;
    ExpectPoint(e[0].poly.points[0], 0.05, GraphY(0.0f, 0.05f, 0.625f, -5.12f, 261.12f), 1e-5);
    ExpectPoint(e[0].poly.points[1], 0.05f + step, GraphY(256.0f, 0.05f, 0.625f, -5.12f, 261.12f), 1e-5);
    // Zero frequency (point 8) is point 4 of the window.
    ExpectPoint(e[2].poly.points[0], 0.05f + 4 * step, 0.05);
    // The decay still shows all 16 points; the accumulated spectrum the window.
    EXPECT_EQ(e[3].poly.points.size(), 16u);
    ASSERT_EQ(e[5].poly.points.size(), 8u);
    EXPECT_NEAR(e[5].poly.points[2].Y, GraphY(256.0f, 0.725f, 0.175f, -5.12f, 261.12f), 1e-5);  // its peak
    EXPECT_EQ(e[8].text.text, "Single-shot spectrum (Ave 1/1); signal max. = 2.56e+02");
}

TEST_F(SpectrumDisplay, LeftIndexNotBelowRightShowsTheWholeSpectrum)
{
    src2[0] = 1.0f;
    show(16, 0, 2, 0, 1, 0, 1, 10, 5);
    const std::vector<OverlayElement> e = overlay();
    EXPECT_EQ(e[0].poly.points.size(), 16u);
    EXPECT_EQ(e[5].poly.points.size(), 16u);
    // The zero-frequency marker stays at the middle of what is shown.
    ExpectPoint(e[2].poly.points[0], 0.05 + 8 * 0.9 / 16, 0.05);
    ExpectPoint(e[7].poly.points[0], 0.525 + 8 * 0.425 / 16, 0.725);
}

TEST_F(SpectrumDisplay, NoSignalScalesToOne)
{
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    const std::vector<OverlayElement> e = overlay();
    EXPECT_FLOAT_EQ(max1, 1.0f);
    EXPECT_FLOAT_EQ(max2, 1.0f);
    EXPECT_FLOAT_EQ(max3, 1.0f);
    ExpectPoint(e[0].poly.points[7], 0.05f + 7 * (0.9f / 16), GraphY(0.0f, 0.05f, 0.625f, -0.02f, 1.02f));
    EXPECT_EQ(e[8].text.text, "Single-shot spectrum (Ave 1/1); signal max. = 1.00e+00");
}

TEST_F(SpectrumDisplay, RunningMaximaRiseAndHold)
{
    src2[0] = 2.0f, src[0] = 2.0f;
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_FLOAT_EQ(max1, 4.0f);

    src2[0] = 1.0f, src[0] = 1.0f;  // smaller: the scale of the first readout holds
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_FLOAT_EQ(max1, 4.0f);
    EXPECT_FLOAT_EQ(max2, 4.0f);
    EXPECT_FLOAT_EQ(max3, 4.0f);
    std::vector<OverlayElement> e = overlay();
    ExpectPoint(e[0].poly.points[0], 0.05, GraphY(1.0f, 0.05f, 0.625f, -0.08f, 4.08f));
    ExpectPoint(e[3].poly.points[0], 0.05, GraphY(1.0f, 0.725f, 0.175f, -0.08f, 4.08f));
    EXPECT_EQ(e[8].text.text, "Single-shot spectrum (Ave 1/1); signal max. = 4.00e+00");

    src2[0] = 3.0f;  // larger: raises the scale for this and later readouts
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_FLOAT_EQ(max1, 9.0f);
    EXPECT_FLOAT_EQ(max3, 4.0f);
    e = overlay();
    EXPECT_NEAR(e[0].poly.points[0].Y, GraphY(9.0f, 0.05f, 0.625f, -0.18f, 9.18f), kTol);
    EXPECT_EQ(e[8].text.text, "Single-shot spectrum (Ave 1/1); signal max. = 9.00e+00");
}

TEST_F(SpectrumDisplay, TitlesNameAveragesEchoesAndRepetitions)
{
    src2[0] = 2.0f;
    show(16, 0, 5, 1, 2, 2, 3, 0, 16);
    std::vector<std::string> t = texts();
    EXPECT_EQ(t[0], "Single-shot spectrum (Ave 1/4; Eco 2/2; Rep 3/3); signal max. = 4.00e+00");
    EXPECT_EQ(t[2], "Accumulated spectrum (Eco 2/2; Rep 3/3)");

    show(16, 3, 5, 0, 1, 2, 3, 0, 16);
    t = texts();
    EXPECT_EQ(t[0], "Single-shot spectrum (Ave 4/4; Rep 3/3); signal max. = 4.00e+00");
    EXPECT_EQ(t[2], "Accumulated spectrum (Rep 3/3)");

    show(16, 0, 5, 0, 2, 0, 1, 0, 16);
    t = texts();
    EXPECT_EQ(t[0], "Single-shot spectrum (Ave 1/4; Eco 1/2); signal max. = 4.00e+00");
    EXPECT_EQ(t[2], "Accumulated spectrum (Eco 1/2)");

    stage->m_iFinalMatrixSizeRead = 8;  // chemical-shift imaging
    show(16, 0, 1, 1, 2, 0, 4, 0, 16);
    t = texts();
    EXPECT_EQ(t[0], "Current phase-encoded spectrum (Eco 2/2); signal max. = 4.00e+00");
    show(16, 0, 1, 0, 1, 0, 1, 0, 16);
    EXPECT_EQ(texts()[0], "Current phase-encoded spectrum; signal max. = 4.00e+00");

    stage->m_iFinalMatrixSizeRead = 1;
    stage->m_iKSpace_Dimension = 4;
    stage->m_iFinalMatrixSizeSlice = 2;
    show(16, 0, 1, 0, 1, 0, 1, 0, 16);
    EXPECT_EQ(texts()[0], "Current phase-encoded spectrum; signal max. = 4.00e+00");
    stage->m_iKSpace_Dimension = 2;  // a slice matrix without 3D encoding is not CSI
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_EQ(texts()[0], "Single-shot spectrum (Ave 1/1); signal max. = 4.00e+00");
}

TEST_F(SpectrumDisplay, LongVectorIsShownWithItsFirst65536Points)
{
    float* sum = stage->_current_ondisp_sum;
    float* cur = stage->_current_ondisp;
    std::fill(sum, sum + Derovo2::kOnDispFloats, 0.0f);
    std::fill(cur, cur + Derovo2::kOnDispFloats, 0.0f);
    cur[0] = 1.0f;
    stage->feed_online_display(sum, cur, &max1, &max2, &max3, 100000, 0, 2, 0, 1, 0, 1, 0, 0);
    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 11u);
    EXPECT_EQ(e[0].poly.points.size(), 65536u);
    EXPECT_EQ(e[3].poly.points.size(), 65536u);
    EXPECT_EQ(e[5].poly.points.size(), 65536u);
    ExpectPoint(e[2].poly.points[0], 0.05 + 0.9 / 2, 0.05);
    ExpectPoint(e[0].poly.points[65535], 0.05f + 65535.0f * (0.9f / 65536), GraphY(1.0f, 0.05f, 0.625f, -0.02f, 1.02f));
}

TEST_F(SpectrumDisplay, BlankImageAndHeaderEntriesInOrder)
{
    stage->m_viTE_Time = {135000, 20000};
    stage->m_iTI_Time = 1500;
    stage->m_iTR_Time = 2000000;
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    ASSERT_EQ(env.sent.size(), 1u);
    const RecordingEnvironment::Sent& s = env.sent[0];
    EXPECT_EQ(s.format, SH);
    for (const DuvDimLength& d : s.dims) EXPECT_EQ(d.length, (d.dim == COL || d.dim == LIN) ? 64 : 1) << d.dim;
    ASSERT_EQ(s.data.size(), 64u * 64u * 2u);
    for (unsigned char b : s.data) ASSERT_EQ(b, 0);

    const std::vector<std::string> expected = {
        "SkipSaveOnHost", "SecondaryCaptured", "AcquisitionTime", "Actual3DImaPartNumber", "ContrastFlowDuration",
        "EchoNumber", "SeriesNo", "NumberInSeries", "SliceMeasurementDuration", "TE", "TI", "TR", "TriggerTime",
        "UsedChannelMask", "SliceNo", "DuvDimString", "WindowCenter", "WindowWidth", "CoilString",
        "SequenceDescription", "LargestImagePixelValue", "SmallestImagePixelValue"};
    const MiniHeader& h = *s.header;
    std::vector<std::string> names;
    for (const MiniHeader::Field& f : h.fields()) names.push_back(f.name);
    EXPECT_EQ(names, expected);

    bool b = false;
    EXPECT_TRUE(h.get("SkipSaveOnHost", b) && b);
    EXPECT_TRUE(h.get("SecondaryCaptured", b) && b);
    EXPECT_TRUE(h.fields()[0].flag);
    EXPECT_TRUE(h.fields()[1].flag);
    EXPECT_FALSE(h.fields()[2].flag);
    std::string text;
    EXPECT_TRUE(h.get("AcquisitionTime", text));
    EXPECT_EQ(text, "00:00:00");
    EXPECT_TRUE(h.get("DuvDimString", text));
    EXPECT_EQ(text, "xxx");
    EXPECT_TRUE(h.get("CoilString", text));
    EXPECT_EQ(text, "xxx");
    EXPECT_TRUE(h.get("SequenceDescription", text));
    EXPECT_EQ(text, "Test");
    const std::vector<std::pair<std::string, long>> longs = {
        {"Actual3DImaPartNumber", -5555}, {"ContrastFlowDuration", 0}, {"EchoNumber", 0},
        {"SeriesNo", 1}, {"NumberInSeries", 1}, {"SliceMeasurementDuration", 1000},
        {"TriggerTime", 0}, {"UsedChannelMask", 1}, {"SliceNo", 0}, {"WindowCenter", 200},
        {"WindowWidth", 300}, {"LargestImagePixelValue", 350}, {"SmallestImagePixelValue", 0}};
    for (const auto& [name, value] : longs) {
        long v = 12345;
        EXPECT_TRUE(h.get(name, v)) << name;
        EXPECT_EQ(v, value) << name;
    }
    double d = 0.0;
    EXPECT_TRUE(h.get("TE", d));
    EXPECT_DOUBLE_EQ(d, 135.0);
    EXPECT_TRUE(h.get("TI", d));
    EXPECT_DOUBLE_EQ(d, 1.5);
    EXPECT_TRUE(h.get("TR", d));
    EXPECT_DOUBLE_EQ(d, 2000.0);

    stage->m_viTE_Time.clear();  // no echo time in the protocol: TE 0
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_TRUE(env.sent[1].header->get("TE", d));
    EXPECT_DOUBLE_EQ(d, 0.0);
}

TEST_F(SpectrumDisplay, FailingSendIsTracedAndTheCallReturns)
{
    duvtrace::ScopedMemorySink sink;
    env.receiveStatus = I_FAIL;
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Notice, "feed_online_display",
                         "Failed during DuvUtils::send(...), aborting...\n")
                  .size(),
              1u);

    sink->clear();
    env.receiveStatus = I_OK;
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_FALSE(sink->contains("Failed during DuvUtils::send(...), aborting...\n"));

    stage->setEnvironment(nullptr);  // nowhere to send to
    show(16, 0, 2, 0, 1, 0, 1, 0, 16);
    EXPECT_TRUE(sink->contains("Failed during DuvUtils::send(...), aborting...\n"));
}

// ---------------------------------------------------------------------------
// Trace display
// ---------------------------------------------------------------------------

class TraceDisplay : public DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        src = stage->_current_ondisp_array;
        std::fill(src, src + 64, 0.0f);
        for (int i = 0; i < 8; ++i) src[i] = float(i);  // repetition 0
        const float rep1[8] = {10, 20, 30, 40, 50, 40, 30, 20};
        std::copy(rep1, rep1 + 8, src + 8);
        // Transverse volume with every border inside the traces.
        stage->m_fVoI_Normal_Sag = 0.0f, stage->m_fVoI_Normal_Cor = 0.0f, stage->m_fVoI_Normal_Tra = 1.0f;
        stage->m_fVoI_InPlaneRotAngle = 0.0f;
        stage->m_fVoI_Position_Sag = 10.0f, stage->m_fVoI_Position_Cor = -20.0f, stage->m_fVoI_Position_Tra = 5.0f;
        stage->m_fVoI_RoFOV = 40.0f, stage->m_fVoI_PeFOV = 60.0f, stage->m_fVoI_SliceThickness = 20.0f;
        stage->m_iSpec_TraceFOV = 200;
    }
    std::vector<OverlayElement> polygons()
    {
        std::vector<OverlayElement> out;
        for (const OverlayElement& e : overlay())
            if (e.polygon) out.push_back(e);
        return out;
    }
    // x of a marker at trace point `at` in panel t (8 points).
    static double MarkerX(int t, double at)
    {
        const float x0[3] = {0.05f, 0.35416666f, 0.6583333f};
        return x0[t] + static_cast<float>(at) * (0.29166666f / 8);
    }
    float* src = nullptr;
};

TEST_F(TraceDisplay, PhaseTraceOnlyWithBordersAndOneLabel)
{
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    const std::vector<OverlayElement> e = overlay();
    ASSERT_EQ(e.size(), 14u);
    for (size_t i = 0; i < e.size(); ++i) EXPECT_EQ(e[i].name, std::to_string(i + 1));

    const float x0[3] = {0.05f, 0.35416666f, 0.6583333f};
    const float step = 0.29166666f / 8;
    const float rep1[8] = {10, 20, 30, 40, 50, 40, 30, 20};
    const double lower[3] = {3.6, 3.6, 3.4}, upper[3] = {5.2, 6.0, 4.2};
    for (int t = 0; t < 3; ++t) {
        const OverlayElement* p = &e[4 * t];
        ASSERT_TRUE(p[0].polygon && p[1].polygon && p[2].polygon && p[3].polygon);
        ExpectColor(p[0].poly.color, 0, 1, 1);
        ASSERT_EQ(p[0].poly.points.size(), 8u);
        for (int i = 0; i < 8; ++i)
            ExpectPoint(p[0].poly.points[i], x0[t] + float(i) * step,
                        GraphY(t == 1 ? rep1[i] : 0.0f, 0.05f, 0.8f, -1.0f, 51.0f));
        ExpectColor(p[1].poly.color, 0.6, 0.6, 0.6);
        ExpectPoint(p[1].poly.points[2], x0[t] + 0.29166666f, 0.85);
        ExpectColor(p[2].poly.color, 1, 0, 0);
        ExpectPoint(p[2].poly.points[0], MarkerX(t, lower[t]), 0.05);
        ExpectPoint(p[2].poly.points[1], MarkerX(t, lower[t]), 0.85);
        ExpectColor(p[3].poly.color, 1, 0, 0);
        ExpectPoint(p[3].poly.points[0], MarkerX(t, upper[t]), 0.05);
    }
    EXPECT_EQ(e[12].text.text, "OVS profile (Ave 1/1; Rep 2/2); signal max. = 5.00e+01");
    ExpectColor(e[12].text.color, 0, 1, 0);
    ExpectPoint(e[12].text.position, 0.3, 0.05, 0.0);
    EXPECT_EQ(e[13].text.text, "Phase trace");
    ExpectColor(e[13].text.color, 1, 1, 0);
    ExpectPoint(e[13].text.position, 0.46, 0.9, 0.0);
}

TEST_F(TraceDisplay, BordersFollowTheMainOrientation)
{
    struct Case {
        float sag, cor, tra;
        double lower[3], upper[3];
    };
    const Case cases[] = {{1, 0, 0, {3.0, 3.6, 3.2}, {4.6, 6.0, 4.0}},   // sagittal
                          {0, 1, 0, {3.4, 2.4, 4.4}, {5.0, 4.8, 5.2}}};  // coronal
    for (const Case& c : cases) {
        stage->m_fVoI_Normal_Sag = c.sag, stage->m_fVoI_Normal_Cor = c.cor, stage->m_fVoI_Normal_Tra = c.tra;
        stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
        const std::vector<OverlayElement> p = polygons();
        ASSERT_EQ(p.size(), 12u);
        for (int t = 0; t < 3; ++t) {
            EXPECT_NEAR(p[4 * t + 2].poly.points[0].X, MarkerX(t, c.lower[t]), kTol) << c.sag << c.cor << t;
            EXPECT_NEAR(p[4 * t + 3].poly.points[0].X, MarkerX(t, c.upper[t]), kTol) << c.sag << c.cor << t;
        }
    }
}

TEST_F(TraceDisplay, TiltedOrRotatedVolumeHasNoMarkers)
{
    stage->m_fVoI_Normal_Cor = 0.05f, stage->m_fVoI_Normal_Tra = 0.99875f;
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    EXPECT_EQ(polygons().size(), 6u);

    stage->m_fVoI_Normal_Cor = 0.0f, stage->m_fVoI_Normal_Tra = 1.0f;
    stage->m_fVoI_InPlaneRotAngle = 0.02f;
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    EXPECT_EQ(polygons().size(), 6u);

    stage->m_fVoI_InPlaneRotAngle = 0.005f;  // within the tolerance
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    EXPECT_EQ(polygons().size(), 12u);
}

TEST_F(TraceDisplay, BordersOutsideTheTraceAreNotDrawn)
{
    stage->m_fVoI_Position_Sag = -90.0f;  // read: lower -0.4 (outside), upper 1.2
    stage->m_fVoI_Position_Tra = -85.0f;  // slice: lower 7.0, upper 7.8 (outside)
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    const std::vector<OverlayElement> p = polygons();
    ASSERT_EQ(p.size(), 10u);
    ExpectColor(p[2].poly.color, 1, 0, 0);
    EXPECT_NEAR(p[2].poly.points[0].X, MarkerX(0, 1.2), kTol);  // measured from the true lower border
    EXPECT_EQ(p[3].poly.points.size(), 8u);                      // phase curve follows
    EXPECT_NEAR(p[5].poly.points[0].X, MarkerX(1, 3.6), kTol);
    EXPECT_NEAR(p[6].poly.points[0].X, MarkerX(1, 6.0), kTol);
    EXPECT_EQ(p[7].poly.points.size(), 8u);  // slice curve
    EXPECT_NEAR(p[9].poly.points[0].X, MarkerX(2, 7.0), kTol);

    stage->m_iSpec_TraceFOV = 0;  // no field of view: no borders at all
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    EXPECT_EQ(polygons().size(), 6u);
}

TEST_F(TraceDisplay, VoIProfileShowsTheFirstThreeRepetitions)
{
    for (int i = 0; i < 8; ++i) src[16 + i] = 100.0f;  // repetition 2: the slice trace
    src[24] = 1000.0f;                                 // repetition 3: beyond nRep, not in the maximum
    stage->feed_online_display_trace(src, 8, 1, 1, 3, 0, 3);
    const std::vector<OverlayElement> p = polygons();
    ASSERT_EQ(p.size(), 12u);
    EXPECT_NEAR(p[0].poly.points[7].Y, GraphY(7.0f, 0.05f, 0.8f, -2.0f, 102.0f), kTol);
    EXPECT_NEAR(p[4].poly.points[4].Y, GraphY(50.0f, 0.05f, 0.8f, -2.0f, 102.0f), kTol);
    EXPECT_NEAR(p[8].poly.points[0].Y, GraphY(100.0f, 0.05f, 0.8f, -2.0f, 102.0f), kTol);
    const std::vector<std::string> t = texts();
    EXPECT_EQ(t, (std::vector<std::string>{"VoI profile (Ave 2/2; Rep 1/3); signal max. = 1.00e+02", "Read trace",
                                           "Phase trace", "Slice trace"}));

    stage->feed_online_display_trace(src, 8, 2, 0, 2, 0, 3);
    EXPECT_EQ(texts()[0], "OVS profile (Ave 1/1; Rep 1/3); signal max. = 1.00e+02");
    EXPECT_EQ(texts().size(), 4u);
    stage->feed_online_display_trace(src, 8, 3, 0, 2, 0, 3);
    EXPECT_EQ(texts(), (std::vector<std::string>{"OVS profile (Ave 1/1; Rep 1/3); signal max. = 1.00e+02",
                                                 "Read trace"}));
    stage->feed_online_display_trace(src, 8, 5, 0, 2, 0, 3);
    EXPECT_EQ(texts()[1], "Slice trace");
    EXPECT_EQ(texts().size(), 2u);
}

TEST_F(TraceDisplay, NoSignalScalesToOne)
{
    std::fill(src, src + 64, 0.0f);
    stage->feed_online_display_trace(src, 8, 4, 0, 2, 1, 2);
    std::vector<OverlayElement> p = polygons();
    ASSERT_EQ(p.size(), 12u);
    EXPECT_NEAR(p[4].poly.points[3].Y, GraphY(0.0f, 0.05f, 0.8f, -0.02f, 1.02f), kTol);
    EXPECT_EQ(texts()[0], "OVS profile (Ave 1/1; Rep 2/2); signal max. = 1.00e+00");

    stage->feed_online_display_trace(src, 8, 4, 0, 2, 0, 0);  // no repetitions: no values
    p = polygons();
    for (const MrPoint& pt : p[0].poly.points) EXPECT_TRUE(std::isfinite(pt.Y));
    EXPECT_EQ(texts()[0], "OVS profile (Ave 1/1; Rep 1/0); signal max. = 1.00e+00");
}
