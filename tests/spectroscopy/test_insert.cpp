// Scan insertion of the spectroscopy stage: the transfer cases, the sum
// slot, reference scans and internal references, channel counts, the checks
// and their messages, addressing, online weights, display buffers, timing
// tables, counting and the table bounds.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "ScanTestSupport.h"
#include "duvhost/Platform.h"

// Counts allocations while armed (the insertion must not allocate).
namespace {
std::atomic<bool> g_countAllocations{false};
std::atomic<long> g_allocations{0};
}  // namespace

// Out of line, so that the compiler does not pair the inlined malloc and
// free across the replaced operators.
[[gnu::noinline]] void* operator new(std::size_t n)
{
    if (g_countAllocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr float kLowest = -3.4028235e38f;
const double kTwoPi = 6.283185307179586;

// exp(i 2 pi k n / period): whole periods in every window of `period` samples.
cfloat Tone(double k, double n, double period)
{
    const double a = kTwoPi * k * n / period;
    return cfloat(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)));
}

class InsertTest : public ScanTest {
protected:
    // Captures what insert prints to standard output.
    bool insertCapturing(TestReadout& r, std::string& out)
    {
        testing::internal::CaptureStdout();
        const bool ok = stage->insert(r.as, r.mdh);
        out = testing::internal::GetCapturedStdout();
        return ok;
    }
    bool insert(TestReadout& r) { return stage->insert(r.as, r.mdh); }

    // Stage set up for readouts without display (editing step 1 with a
    // trace plot mode).
    void noDisplay()
    {
        stage->m_iMEGA_Steps = 2;
        stage->m_iQOM_ArrayPlot = 1;
    }
};

void ExpectVectorNear(const std::vector<cfloat>& got, const std::vector<cfloat>& want, float tol)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].real(), want[i].real(), tol) << "sample " << i;
        EXPECT_NEAR(got[i].imag(), want[i].imag(), tol) << "sample " << i;
    }
}

std::vector<cfloat> Scaled(const std::vector<cfloat>& v, float f)
{
    std::vector<cfloat> out(v);
    for (cfloat& x : out) x *= f;
    return out;
}

// ---------------------------------------------------------------------------
// Transfer cases
// ---------------------------------------------------------------------------

TEST_F(InsertTest, WithoutOversamplingTheReadoutIsAddedToItsAverageSlotAndTheSum)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long i) { return cfloat(1.0f + i, -0.5f * i); });
    std::vector<cfloat> x(r.at(0, 0), r.at(0, 0) + 8);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(rawVector(0, 0, 0, 0, 0, 0, 0, 0), x);
    EXPECT_EQ(rawVector(1, 0, 0, 0, 0, 0, 0, 0), std::vector<cfloat>(8));
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 0, 0, 0), x);

    r.set(1);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(rawVector(1, 0, 0, 0, 0, 0, 0, 0), x);
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 0, 0, 0), Scaled(x, 2.0f));
    EXPECT_EQ(stage->m_iNo_samples_acquired, 8);
    EXPECT_EQ(stage->m_iRelevant_samples, 8);
    EXPECT_EQ(stage->m_iAdditional_right_samples, 0);
}

TEST_F(InsertTest, SamplesBeforeTheEchoAndSurplusSamplesAreCutOff)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(13, 1);  // 3 before the echo, 8 kept, 2 surplus
    r.fill([](long, long i) { return cfloat(static_cast<float>(i), 0.0f); }).preEcho(3);
    ASSERT_TRUE(insert(r));
    const std::vector<cfloat> stored = rawVector(0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_EQ(stored.size(), 8u);
    for (long i = 0; i < 8; ++i) EXPECT_EQ(stored[i], cfloat(3.0f + i, 0.0f));
    EXPECT_EQ(stage->m_iNo_samples_acquired, 13);
    EXPECT_EQ(stage->m_iNo_samples_before_echo, 3);
    EXPECT_EQ(stage->m_iRelevant_samples, 8);
    EXPECT_EQ(stage->m_iAdditional_right_samples, 2);
    EXPECT_EQ(stage->m_iOS_shift_samples, 2);
    EXPECT_EQ(stage->m_iShift_samples, 2);
}

class OversamplingTest : public InsertTest {
protected:
    void SetUp() override
    {
        InsertTest::SetUp();
        stage->m_iVectorSize = 16;
        stage->m_fReadoutOSFactor = 2.0f;
        stage->m_bRemoveOversampling = true;
        ASSERT_EQ(firstCall(), I_OK);
        ASSERT_EQ(stage->storeDims().col, 16);
    }
    // A tone of 3 cycles per 32 acquired samples, `pre` samples before the
    // echo and `right` after the 32 relevant ones. Stored sample m is then
    // twice the acquired sample pre + 2m.
    void toneCase(long pre, long right)
    {
        TestReadout r(32 + pre + right, 1);
        r.fill([](long, long i) { return Tone(3.0, static_cast<double>(i), 32.0); }).preEcho(pre);
        ASSERT_TRUE(insert(r));
        std::vector<cfloat> want;
        for (long m = 0; m < 16; ++m) want.push_back(2.0f * Tone(3.0, static_cast<double>(pre + 2 * m), 32.0));
        ExpectVectorNear(rawVector(0, 0, 0, 0, 0, 0, 0, 0), want, 2e-5f);
        ExpectVectorNear(rawVector(2, 0, 0, 0, 0, 0, 0, 0), want, 2e-5f);
    }
};

TEST_F(OversamplingTest, AConstantReadoutIsStoredWithTwiceItsValue)
{
    TestReadout r(32, 1);
    r.fill([](long, long) { return cfloat(0.75f, -0.25f); });
    ASSERT_TRUE(insert(r));
    ExpectVectorNear(rawVector(0, 0, 0, 0, 0, 0, 0, 0), std::vector<cfloat>(16, cfloat(1.5f, -0.5f)), 1e-6f);
    ExpectVectorNear(rawVector(2, 0, 0, 0, 0, 0, 0, 0), std::vector<cfloat>(16, cfloat(1.5f, -0.5f)), 1e-6f);
    EXPECT_EQ(stage->m_iRelevant_samples, 32);
    EXPECT_EQ(stage->m_iOS_shift_samples, 0);
}

TEST_F(OversamplingTest, WithoutShiftTheBandIsDecimated) { toneCase(0, 0); }

TEST_F(OversamplingTest, AnEvenShiftJoinsTheTwoWindowsAtTheEcho)
{
    toneCase(4, 4);
    EXPECT_EQ(stage->m_iOS_shift_samples, 4);
    EXPECT_EQ(stage->m_iShift_samples, 2);
}

TEST_F(OversamplingTest, AnOddShiftIsTakenAsTheEvenOneBelowItWithoutATimingJump)
{
    toneCase(5, 5);
    EXPECT_EQ(stage->m_iOS_shift_samples, 5);
    EXPECT_EQ(stage->m_iShift_samples, 3);  // as measured, for the parameter dump
}

TEST_F(OversamplingTest, AShiftOfOneUsesTheWindowAtTheEcho) { toneCase(1, 3); }

TEST_F(OversamplingTest, TheShiftMayReachAQuarterOfTheRelevantSamples)
{
    toneCase(8, 8);  // truncate(32 x 0.25 + 0.5) = 8

    const double before = rawNorm();
    TestReadout r(32 + 18, 1);
    r.fill([](long, long) { return cfloat(1.0f, 0.0f); }).preEcho(9);
    std::string out;
    EXPECT_FALSE(insertCapturing(r, out));
    EXPECT_EQ(out,
              "\n Derovo2::insert():\n too many sampling points are specified as negligible.\n the number of points "
              "left is unsufficient for the removal of oversampled points\n no data will be inserted into the "
              "database.\n");
    EXPECT_EQ(rawNorm(), before);
}

// ---------------------------------------------------------------------------
// Sum slot and reference scans
// ---------------------------------------------------------------------------

TEST_F(InsertTest, AReadoutNamingTheSumSlotIsAddedOnce)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long i) { return cfloat(2.0f, 1.0f * i); }).set(2);
    ASSERT_TRUE(insert(r));
    std::vector<cfloat> x(r.at(0, 0), r.at(0, 0) + 8);
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 0, 0, 0), x);
    EXPECT_EQ(stage->m_iSumSlotReadouts, 1);
}

TEST_F(InsertTest, AReferenceScanFillsItsOwnSlotOnlyAndLeavingItResetsTheDisplayMaxima)
{
    noDisplay();
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long) { return cfloat(1.0f, 1.0f); }).set(1).refScanFlag(1);
    r.counters(0, 0, 0, 1, 0, 0, 1);
    stage->_qom_plot_max = stage->_qom_plot_max2 = stage->_qom_plot_max3 = 5.0f;
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(rawVector(1, 0, 0, 0, 1, 0, 0, 0), std::vector<cfloat>(8, cfloat(1.0f, 1.0f)));
    EXPECT_EQ(rawVector(2, 0, 0, 0, 1, 0, 0, 0), std::vector<cfloat>(8));
    EXPECT_EQ(stage->RefScanFlag, 1u);
    EXPECT_EQ(stage->_qom_plot_max, 5.0f);

    r.refScanFlag(0);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(stage->RefScanFlagPrev, 1u);
    EXPECT_EQ(stage->_qom_plot_max, kLowest);
    EXPECT_EQ(stage->_qom_plot_max2, kLowest);
    EXPECT_EQ(stage->_qom_plot_max3, kLowest);
    EXPECT_EQ(rawVector(2, 0, 0, 0, 1, 0, 0, 0), std::vector<cfloat>(8, cfloat(1.0f, 1.0f)));

    stage->_qom_plot_max = 5.0f;
    ASSERT_TRUE(insert(r));  // 0 -> 0 keeps them
    EXPECT_EQ(stage->_qom_plot_max, 5.0f);
}

TEST_F(InsertTest, TheSumSlotCountCoversTheFirstRepetitionEchoAndSliceOnly)
{
    stage->m_iReps_qom = 2;
    stage->m_iMEGA_Steps = 2;
    ASSERT_EQ(firstCall(2), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long) { return cfloat(1.0f, 0.0f); });
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 0, 0, 0)));
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 0, 0, 1)));
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 0, 0, 2)));  // the sum slot itself
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 0, 1, 0)));  // repetition 1
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 1, 0, 0, 0)));  // editing step 1
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 1, 0, 0)));  // slice 1
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 0, 0, 1).refScanFlag(1)));  // never in the sum
    r.refScanFlag(0);
    r.mdh.setEvalInfoMask(MDH_PHASCOR);
    ASSERT_TRUE(insert(r.counters(0, 0, 0, 0, 0, 0, 0)));  // internal reference
    EXPECT_EQ(stage->m_iSumSlotReadouts, 3);
}

// ---------------------------------------------------------------------------
// Internal references
// ---------------------------------------------------------------------------

class ReferenceTest : public InsertTest {
protected:
    void SetUp() override
    {
        InsertTest::SetUp();
        stage->m_iMaxNoOfRxChannels = 2;
    }
    TestReadout reference(uint64_t mask)
    {
        TestReadout r(8, 2);
        r.fill([](long c, long i) { return cfloat(1.0f + c, 0.5f * i); });
        r.mdh.setEvalInfoMask(mask);
        return r;
    }
};

TEST_F(ReferenceTest, AWaterReferenceGoesToTheReferenceStoreWithB0Correction)
{
    stage->m_iSpec_B0Correct = 1;
    ASSERT_EQ(firstCall(), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestReadout r = reference(MDH_PHASCOR);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(refVector(1, 0), std::vector<cfloat>(r.at(0, 0), r.at(0, 0) + 8));
    EXPECT_EQ(refVector(1, 1), std::vector<cfloat>(r.at(1, 0), r.at(1, 0) + 8));
    EXPECT_EQ(refVector(0, 0), std::vector<cfloat>(8));
    EXPECT_EQ(rawNorm(), 0.0);
    EXPECT_EQ(TraceTexts(*sink, "insert"), std::vector<std::string>{"==>found qom internal water reference"});
    EXPECT_EQ(goc_per_rep[0], 0.0f);
    EXPECT_EQ(global_online_counter, 0);
    EXPECT_TRUE(env.sent.empty());  // references are not shown
}

TEST_F(ReferenceTest, ANoiseReferenceGoesToTheNoiseLineAndWinsOverTheWaterFlag)
{
    stage->m_iSpec_B0Correct = 1;
    ASSERT_EQ(firstCall(), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestReadout r = reference(MDH_NOISEADJSCAN | MDH_PHASCOR);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(refVector(0, 1), std::vector<cfloat>(r.at(1, 0), r.at(1, 0) + 8));
    EXPECT_EQ(refVector(1, 1), std::vector<cfloat>(8));
    EXPECT_EQ(TraceTexts(*sink, "insert"), std::vector<std::string>{"==>found qom internal noise reference"});
}

TEST_F(ReferenceTest, WithoutB0CorrectionReferencesAreDropped)
{
    ASSERT_EQ(firstCall(), I_OK);
    duvtrace::ScopedMemorySink sink;
    for (uint64_t mask : {MDH_PHASCOR, MDH_NOISEADJSCAN}) {
        TestReadout r = reference(mask);
        ASSERT_TRUE(insert(r));
    }
    EXPECT_EQ(refNorm(), 0.0);
    EXPECT_EQ(rawNorm(), 0.0);
    EXPECT_EQ(TraceTexts(*sink, "insert"), (std::vector<std::string>{"==>found qom internal water reference",
                                                                      "==>found qom internal noise reference"}));
}

TEST_F(ReferenceTest, AReferenceSlotThatCannotBeReachedRefusesTheReadout)
{
    stage->m_iSpec_B0Correct = 1;
    ASSERT_EQ(firstCall(), I_OK);
    stage->m_qom_ref = MrPtr<DuvObj>(Rudu::HeapObject<DuvObj>::Create());
    const std::string err = "\nVizara::get_qom_ref_ptr(): I was asked to reach unallocated memory:\ncurrent DuvObj "
                            "dimensions: 0 0 0\nthe address requested was: 0 ";
    for (uint64_t mask : {MDH_PHASCOR, MDH_NOISEADJSCAN}) {
        TestReadout r = reference(mask);
        std::string out;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(insertCapturing(r, out));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err + (mask == MDH_PHASCOR ? "1 0" : "0 0"));
        EXPECT_EQ(out, mask == MDH_PHASCOR
                           ? "\nonline(),internal_water_ref,insert(): NEVER HAPPEN\n trying to reach unallocated "
                             "memory.\n"
                           : "\nonline(),noiseadjscan,insert(): NEVER HAPPEN\n trying to reach unallocated memory.\n");
    }
}

TEST_F(ReferenceTest, AReferenceBeyondTheRepetitionTablesIsStoredButNotTimed)
{
    stage->m_iSpec_B0Correct = 1;
    ASSERT_EQ(firstCall(), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestReadout r = reference(MDH_PHASCOR);
    r.counters(0, 0, 0, 0, 0, 600, 0);
    r.mdh->ulTimeStamp = 400;
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(refVector(1, 0), std::vector<cfloat>(r.at(0, 0), r.at(0, 0) + 8));
    EXPECT_TRUE(sink->contains("==>repetition 600 lies beyond the 512 entries of the repetition tables: not recorded"));
    EXPECT_EQ(stage->_last_crep, -1);
}

// ---------------------------------------------------------------------------
// Channels
// ---------------------------------------------------------------------------

TEST_F(InsertTest, AReadoutWithMoreChannelsFillsTheStoredOnesAndLeavesTheCombinedSlot)
{
    stage->m_iMaxNoOfRxChannels = 2;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 3);
    r.fill([](long c, long i) { return cfloat(10.0f * c + i, 0.0f); });
    std::string out;
    ASSERT_TRUE(insertCapturing(r, out));
    EXPECT_EQ(out,
              "\nonline(),insert(): warning, no. channels in MDH 3 > channel dim of duv object 2\nonly the channels "
              "specified in the duv object are recorded.\n");
    EXPECT_EQ(rawVector(0, 0, 0, 0, 0, 1, 0, 0), std::vector<cfloat>(r.at(1, 0), r.at(1, 0) + 8));
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 2, 0, 0), std::vector<cfloat>(8));
}

TEST_F(InsertTest, AReadoutWithFewerChannelsFillsOnlyThose)
{
    stage->m_iMaxNoOfRxChannels = 2;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long i) { return cfloat(1.0f * i, 1.0f); });
    std::string out;
    ASSERT_TRUE(insertCapturing(r, out));
    EXPECT_EQ(out,
              "\nonline(),insert(): warning, no. channels in MDH 1 < channel dim of duv object 2\nkiv object is not "
              "filled completely.\n");
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 0, 0, 0), std::vector<cfloat>(r.at(0, 0), r.at(0, 0) + 8));
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 1, 0, 0), std::vector<cfloat>(8));
}

TEST_F(InsertTest, AReadoutWithoutChannelsIsRefused)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.mdh->ushUsedChannels = 0;
    std::string out;
    EXPECT_FALSE(insertCapturing(r, out));
    EXPECT_EQ(out,
              "\nonline(),insert(): warning, no. channels in MDH 0 < channel dim of duv object 1\nkiv object is not "
              "filled completely.\n\n Derovo2::insert(): Error\n the readout carries no channel.\n no data will be "
              "inserted into the database.\n");
}

TEST_F(InsertTest, AChannelMissingFromTheReadoutViewFailsAfterTheChannelsBeforeIt)
{
    stage->m_iMaxNoOfRxChannels = 2;
    ASSERT_EQ(firstCall(), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestReadout r(8, 1);
    r.fill([](long, long) { return cfloat(1.0f, 0.0f); });
    r.mdh->ushUsedChannels = 2;  // the view holds one
    EXPECT_FALSE(insert(r));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Error, "insert",
                         "Channel modification of srcAs failed in Derovo2::insert status = 0xc0000001")
                  .size(),
              1u);
    EXPECT_EQ(rawVector(2, 0, 0, 0, 0, 0, 0, 0), std::vector<cfloat>(8, cfloat(1.0f, 0.0f)));
}

// ---------------------------------------------------------------------------
// Checks, in order
// ---------------------------------------------------------------------------

TEST_F(InsertTest, EveryCheckRefusesWithItsMessageAndLeavesTheStores)
{
    struct Case {
        const char* what;
        std::function<void(Derovo2&)> protocol;
        long samples, pre;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"vector size", [](Derovo2& s) { s.m_iVectorSize = 65537; }, 8, 0,
         "\n Derovo2::insert(): NEVER HAPPEN Error\n vector size 65537 out of range [1,65536]\n no data will be "
         "inserted into the database."},
        {"factor",
         [](Derovo2& s) {
             s.m_bRemoveOversampling = true;
             s.m_fReadoutOSFactor = 1.5f;
         },
         4, 0,  // also too short: the factor is reported first
         "\n Derovo2::insert(): Error\n the current oversampling factor is 1.500000\n only oversampling factors equal "
         "to 1 or 2 are supported.\n no data will be inserted into the database."},
        {"power of two",
         [](Derovo2& s) {
             s.m_iVectorSize = 12;
             s.m_bRemoveOversampling = true;
             s.m_fReadoutOSFactor = 2.0f;
         },
         24, 0,
         "\n Derovo2::insert(): Error\n specified vectorsize 12  is not a power of two while oversampling was turned "
         "on.\n no data will be inserted into the database."},
        {"samples", [](Derovo2&) {}, 8, 1,
         "\n Derovo2::insert(): NEVER HAPPEN Error\n number of samples = 8 is out of range.\n no data will be "
         "inserted into the database.\n"},
        {"shift",
         [](Derovo2& s) {
             s.m_bRemoveOversampling = true;
             s.m_fReadoutOSFactor = 2.0f;
         },
         16 + 10, 5,
         "\n Derovo2::insert():\n too many sampling points are specified as negligible.\n the number of points left "
         "is unsufficient for the removal of oversampled points\n no data will be inserted into the database.\n"},
        {"removal impossible",
         [](Derovo2& s) {
             s.m_iVectorSize = 1;
             s.m_bRemoveOversampling = true;
             s.m_fReadoutOSFactor = 2.0f;
         },
         2, 0,
         "\n Derovo2::insert(): Error\n oversampling removal from 2 to 1 samples is not possible (both must be "
         "powers of two in [2,65536]).\n no data will be inserted into the database.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SingleVoxelProtocol(*stage, 8, 2);
        c.protocol(*stage);
        ASSERT_EQ(firstCall(), I_OK);
        TestReadout r(c.samples, 1);
        r.fill([](long, long) { return cfloat(1.0f, 1.0f); }).preEcho(c.pre);
        std::string out;
        duvtrace::ScopedMemorySink sink;
        EXPECT_FALSE(insertCapturing(r, out));
        EXPECT_EQ(out, c.message);
        EXPECT_EQ(rawNorm(), 0.0);
        EXPECT_EQ(global_online_counter, 0);
        EXPECT_EQ(stage->m_iNo_samples_acquired, 0);
        if (std::string(c.what) == "factor") {
            EXPECT_EQ(TraceTexts(*sink, "insert"),
                      (std::vector<std::string>{"\n==> relevant_samples:      12", "\n==> vectorsize:            8",
                                                "\n==> relevant_samples != vectorsize ",
                                                "\n==> relevant_samples != 2*vectorsize "}));
        }
    }
}

TEST_F(InsertTest, WithoutAStoreEveryReadoutIsRefused)
{
    TestReadout r(8, 1);
    std::string out;
    EXPECT_FALSE(insertCapturing(r, out));
    EXPECT_EQ(out,
              "\n Derovo2::insert(): NEVER HAPPEN Error\n vector size 0 out of range [1,65536]\n no data will be "
              "inserted into the database.");
}

TEST_F(InsertTest, AReadoutViewShorterThanItsHeaderIsRefused)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.mdh->ushSamplesInScan = 12;
    r.preEcho(2);
    std::string out;
    EXPECT_FALSE(insertCapturing(r, out));
    EXPECT_EQ(out,
              "\n Derovo2::insert(): Error\n the readout does not hold 12 consecutive complex float samples per "
              "channel.\n no data will be inserted into the database.\n");
}

// ---------------------------------------------------------------------------
// Addressing
// ---------------------------------------------------------------------------

TEST_F(InsertTest, GetPtrRefusesEveryIndexAtItsLengthWithBothLists)
{
    stage->m_iMaxNoOfRxChannels = 2;
    stage->m_iReps_qom = 2;
    ASSERT_EQ(firstCall(2), I_OK);  // 8 3 1 1 1 1 3 2 2
    const long len[9] = {8, 3, 1, 1, 1, 1, 3, 2, 2};
    for (int k = 0; k < 9; ++k) {
        long idx[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
        idx[k] = len[k];
        testing::internal::CaptureStderr();
        EXPECT_EQ(stage->get_ptr(idx[0], idx[1], idx[2], idx[3], idx[4], idx[5], idx[6], idx[7], idx[8]), nullptr);
        std::string want = "\nVizara::get_ptr(): I was asked to reach unallocated memory:\ncurrent DuvObj dimensions: "
                           "8 3 1 1 1 1 3 2 2\nthe address requested was:";
        for (long i : idx) want += " " + std::to_string(i);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), want) << "dimension " << k;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(stage->get_ptr(0, -1, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("requested was: 0 18446744073709551615 0"),
              std::string::npos);
}

TEST_F(InsertTest, GetPtrBindsTheRawViewToTheElement)
{
    stage->m_iMaxNoOfRxChannels = 2;
    stage->m_iReps_qom = 2;
    ASSERT_EQ(firstCall(2), I_OK);
    float* p = stage->get_ptr(5, 2, 0, 0, 0, 0, 1, 1, 1);
    ASSERT_NE(p, nullptr);
    const DuvObj& raw = *stage->m_raw;
    const float* base = reinterpret_cast<const float*>(raw.data());
    EXPECT_EQ(p - base, static_cast<long>(2 * (5 + 2 * raw.strideElements(AVE) + raw.strideElements(CHA) +
                                               raw.strideElements(SLC) + raw.strideElements(REP))));
    EXPECT_EQ(stage->m_rawAs.elementCount(), 1u);
    EXPECT_EQ(stage->m_rawAs.getStart(SLC), 1);
    EXPECT_EQ(stage->m_rawAs.calcCurrentSodaPtr(), &stage->m_raw->soda(1));

    float* q = stage->get_qom_ref_ptr(3, 1, 2);
    ASSERT_NE(q, nullptr);
    const DuvObj& ref = *stage->m_qom_ref;
    EXPECT_EQ(q - reinterpret_cast<const float*>(ref.data()),
              static_cast<long>(2 * (3 + ref.strideElements(LIN) + 2 * ref.strideElements(CHA))));
    testing::internal::CaptureStderr();
    EXPECT_EQ(stage->get_qom_ref_ptr(0, 2, 0), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nVizara::get_qom_ref_ptr(): I was asked to reach unallocated memory:\ncurrent DuvObj dimensions: 8 2 "
              "3\nthe address requested was: 0 2 0");
}

TEST_F(InsertTest, AReadoutOutsideTheStoreIsRefused)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.counters(1, 0, 0, 0, 0, 0, 0);
    std::string out;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(insertCapturing(r, out));
    // Both the average and the sum slot are asked for before the refusal.
    const std::string head =
        "\nVizara::get_ptr(): I was asked to reach unallocated memory:\ncurrent DuvObj dimensions: 8 3 1 1 1 1 1 1 "
        "1\nthe address requested was: ";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              head + "0 0 1 0 0 0 0 0 0" + head + "0 2 1 0 0 0 0 0 0");
    EXPECT_EQ(out, "\nonline(),insert(): NEVER HAPPEN\n trying to reach unallocated memory.\n");
    EXPECT_EQ(rawNorm(), 0.0);
}

TEST_F(InsertTest, TheSliceGeometryOfTheReadoutIsCopiedToItsSlice)
{
    ASSERT_EQ(firstCall(2), I_OK);
    TestReadout r(8, 1);
    r.counters(0, 0, 0, 0, 1, 0, 0);
    r.obj->soda(0).setSlicePosVec({1.0, 2.0, 3.0});
    r.obj->soda(0).setSlicePosVecSBCS({4.0, 5.0, 6.0});
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(stage->m_raw->soda(1).getSlicePosVec().y, 2.0);
    EXPECT_EQ(stage->m_raw->soda(1).getSlicePosVecSBCS().z, 6.0);
    EXPECT_EQ(stage->m_raw->soda(0).getSlicePosVec().y, 0.0);
}

// ---------------------------------------------------------------------------
// Online weights
// ---------------------------------------------------------------------------

class WeightTest : public InsertTest {
protected:
    void SetUp() override
    {
        InsertTest::SetUp();
        stage->m_iMaxNoOfRxChannels = 3;
    }
    // A readout whose channels start with the given samples.
    TestReadout readout(const std::vector<cfloat>& first, long lin = 0, long phs = 0)
    {
        TestReadout r(8, 3);
        r.fill([&](long c, long i) { return i == 0 ? first[static_cast<size_t>(c)] : cfloat(0.1f, 0.0f); });
        r.counters(lin, phs, 0, 0, 0, 0, 0);
        return r;
    }
    void expectWeights(const std::vector<cfloat>& ref)
    {
        double sumSq = 0.0;
        for (size_t c = 0; c < ref.size(); ++c) {
            const double w = std::abs(std::complex<double>(ref[c]));
            EXPECT_NEAR(stage->_current_weight[c], w, 1e-6) << c;
            EXPECT_NEAR(stage->_current_pcor[2 * c], w > 0 ? ref[c].real() / w : 1.0, 1e-6) << c;
            EXPECT_NEAR(stage->_current_pcor[2 * c + 1], w > 0 ? ref[c].imag() / w : 0.0, 1e-6) << c;
            sumSq += w * w;
        }
        EXPECT_NEAR(stage->_lamda, 1.0 / std::sqrt(sumSq), 1e-9);
    }
};

TEST_F(WeightTest, TheSumSlotGivesWeightsAndPhasesWhenStrongerThanTheWaterReference)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r = readout({{3.0f, 4.0f}, {0.0f, -2.0f}, {1.0f, 0.0f}});
    ASSERT_TRUE(insert(r));
    EXPECT_NEAR(stage->_current_weight[0], 5.0, 1e-12);
    EXPECT_NEAR(stage->_current_pcor[0], 0.6, 1e-7);
    EXPECT_NEAR(stage->_current_pcor[1], 0.8, 1e-7);
    EXPECT_NEAR(stage->_current_pcor[2], 0.0, 1e-12);
    EXPECT_NEAR(stage->_current_pcor[3], -1.0, 1e-12);
    EXPECT_NEAR(stage->_lamda, 1.0 / std::sqrt(30.0), 1e-12);

    // The display combines the channels with w x conj(phase): at the first
    // sample every channel adds its magnitude times its weight.
    EXPECT_NEAR(stage->_current_ondisp[0], 25.0f + 4.0f + 1.0f, 1e-4f);
    EXPECT_NEAR(stage->_current_ondisp[1], 0.0f, 1e-4f);
    EXPECT_NEAR(stage->_current_ondisp_sum[0], 30.0f, 1e-4f);
}

TEST_F(WeightTest, AStrongerWaterReferenceGivesTheWeights)
{
    stage->m_iSpec_B0Correct = 1;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout w = readout({{0.0f, 100.0f}, {-50.0f, 0.0f}, {0.0f, 0.0f}});
    w.mdh.setEvalInfoMask(MDH_PHASCOR);
    ASSERT_TRUE(insert(w));
    TestReadout r = readout({{3.0f, 4.0f}, {0.0f, -2.0f}, {1.0f, 0.0f}});
    ASSERT_TRUE(insert(r));
    expectWeights({{0.0f, 100.0f}, {-50.0f, 0.0f}, {0.0f, 0.0f}});  // a silent channel keeps phase 1
}

TEST_F(WeightTest, InCsiTheReadoutsOwnPointCountsWhenStrongerThanTheCentre)
{
    stage->m_iBaseResolution = 4;
    stage->m_iFinalMatrixSizeRead = 4;
    stage->m_iFinalMatrixSizePhase = 4;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout centre = readout({{1.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 0.0f}}, 2, 2);
    ASSERT_TRUE(insert(centre));
    expectWeights({{1.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 0.0f}});
    // As strong as the centre: the earlier candidate (the centre) stays.
    TestReadout tie = readout({{0.0f, 1.0f}, {0.0f, 1.0f}, {0.0f, 1.0f}}, 0, 0);
    ASSERT_TRUE(insert(tie));
    expectWeights({{1.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 0.0f}});
    TestReadout edge = readout({{0.0f, 2.0f}, {2.0f, 0.0f}, {0.0f, -2.0f}}, 1, 3);
    ASSERT_TRUE(insert(edge));
    expectWeights({{0.0f, 2.0f}, {2.0f, 0.0f}, {0.0f, -2.0f}});
}

TEST_F(WeightTest, TraceModesAndSingleChannelsComputeNoWeights)
{
    stage->m_iQOM_ArrayPlot = 3;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r = readout({{3.0f, 4.0f}, {0.0f, -2.0f}, {1.0f, 0.0f}});
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(stage->_current_weight[0], 0.0);
    EXPECT_EQ(stage->_lamda, 0.0);
}

TEST_F(WeightTest, NoSignalAtAllKeepsTheNormalisationFinite)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r = readout({{0.0f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.0f}});
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(stage->_current_weight[1], 0.0);
    EXPECT_EQ(stage->_current_pcor[2], 1.0);
    EXPECT_EQ(stage->_lamda, 0.0);
}

// ---------------------------------------------------------------------------
// Display buffers and hand-off
// ---------------------------------------------------------------------------

TEST_F(InsertTest, OneChannelShowsItsAverageSlotAndTheSum)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long i) { return cfloat(1.0f * i, 1.0f); });
    ASSERT_TRUE(insert(r));
    r.set(1);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(stage->_current_ondisp[2], 1.0f);  // slot 1 holds one readout
    EXPECT_EQ(stage->_current_ondisp_sum[2], 2.0f);
    EXPECT_EQ(stage->_current_ondisp_sum[3], 2.0f);
    EXPECT_EQ(env.sent.size(), 2u);  // the spectrum display shows every readout
}

TEST_F(InsertTest, TraceModesSumTheChannelsMagnitudeSpectraPerRepetition)
{
    stage->m_iMaxNoOfRxChannels = 3;
    stage->m_iQOM_ArrayPlot = 2;
    stage->m_iReps_qom = 2;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 3);
    r.fill([](long c, long i) { return i == 0 ? cfloat(0.0f, 1.0f + c) : cfloat(0.0f, 0.0f); });
    r.counters(0, 0, 0, 0, 0, 1, 1);
    ASSERT_TRUE(insert(r));
    // |FFT(impulse)| is flat: 1 + 2 + 3 at every point, divided by set + 1.
    for (long i = 0; i < 8; ++i) {
        EXPECT_NEAR(stage->_current_ondisp_sum[i], 6.0f, 1e-5f) << i;
        EXPECT_NEAR(stage->_current_ondisp_array[8 + i], 3.0f, 1e-5f) << i;
        EXPECT_EQ(stage->_current_ondisp_array[i], 0.0f);
    }
}

TEST_F(InsertTest, CalibrationModesShowTheConjugatedSpectrumMagnitude)
{
    stage->m_iQOM_ArrayPlot = 7;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long i) { return i == 0 ? cfloat(4.0f, 0.0f) : cfloat(0.0f, 0.0f); }).set(1);
    ASSERT_TRUE(insert(r));
    for (long i = 0; i < 8; ++i) EXPECT_NEAR(stage->_current_ondisp_array[i], 2.0f, 1e-5f) << i;
}

TEST_F(InsertTest, LaterEditingStepsOfArrayModesAreNotShown)
{
    noDisplay();
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.counters(0, 0, 0, 1, 0, 0, 0);
    ASSERT_TRUE(insert(r));
    EXPECT_TRUE(env.sent.empty());
    stage->m_iQOM_ArrayPlot = 0;
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(env.sent.size(), 1u);
}

TEST_F(InsertTest, CsiReadoutsRestartTheDisplayMaxima)
{
    noDisplay();
    stage->m_iBaseResolution = 4;
    stage->m_iFinalMatrixSizeRead = 4;
    ASSERT_EQ(firstCall(), I_OK);
    stage->_qom_plot_max = stage->_qom_plot_max2 = stage->_qom_plot_max3 = 5.0f;
    TestReadout r(8, 1);
    r.counters(1, 0, 0, 1, 0, 0, 0);
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(stage->_qom_plot_max, kLowest);
    EXPECT_EQ(stage->_qom_plot_max3, kLowest);
}

// ---------------------------------------------------------------------------
// Timing and date tables, counting
// ---------------------------------------------------------------------------

TEST_F(InsertTest, TimingTablesFollowTheReadoutTimePerRepetition)
{
    noDisplay();
    stage->m_iReps_qom = 2;
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.counters(0, 0, 0, 1, 0, 0, 0);
    r.mdh->ulTimeStamp = 400;  // 1.000 s
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(timeStamp[0], 1.0f);
    EXPECT_EQ(time_ms_Stamp[0], 0.0f);
    EXPECT_EQ(time_span[0], 0.0);
    EXPECT_EQ(stage->_firstTimeStampPerRep, 1.0);
    EXPECT_EQ(stage->_last_crep, 0);

    r.mdh->ulTimeStamp = 1001;  // 2.5025 s
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(timeStamp[0], 2.0f);
    EXPECT_EQ(time_ms_Stamp[0], 502.0f);
    EXPECT_NEAR(time_span[0], 1.5025, 1e-12);

    r.counters(0, 0, 0, 1, 0, 1, 0);
    r.mdh->ulTimeStamp = 34559999;  // 23:59:59.9975, beyond 32-bit microseconds
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(timeStamp[1], 86399.0f);
    EXPECT_EQ(time_ms_Stamp[1], 997.0f);
    EXPECT_EQ(time_span[1], 0.0);
    EXPECT_DOUBLE_EQ(stage->_firstTimeStampPerRep, 86399.9975);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_TRUE(DuvPlatform::LocalTime(now, local));
    const float date = static_cast<float>((local.tm_mon + 1) * 100 + local.tm_mday +
                                          ((local.tm_year + 1900) % 1000 + 0.5) * 0.001);
    EXPECT_EQ(dateStamp[1], date);
    EXPECT_EQ(goc_per_rep[0], 2.0f);
    EXPECT_EQ(goc_per_rep[1], 1.0f);
    EXPECT_EQ(global_online_counter, 3);
}

TEST_F(InsertTest, ANegativeTimeStampIsTracedAndKept)
{
    noDisplay();
    ASSERT_EQ(firstCall(), I_OK);
    duvtrace::ScopedMemorySink sink;
    TestReadout r(8, 1);
    r.counters(0, 0, 0, 1, 0, 0, 0);
    r.mdh->ulTimeStamp = 0xFFFFFFFFu;  // -1 tick
    ASSERT_TRUE(insert(r));
    EXPECT_EQ(TraceTexts(*sink, "insert"), std::vector<std::string>{"\n==>ticks < 0 "});
    EXPECT_EQ(timeStamp[0], 0.0f);
    EXPECT_EQ(time_ms_Stamp[0], -2.0f);
    EXPECT_DOUBLE_EQ(stage->_firstTimeStampPerRep, -0.0025);
}

TEST_F(InsertTest, CsiPointsAreCountedOncePerAverageWhateverTheRepetitionsSlicesAndEchoes)
{
    stage->m_iBaseResolution = 4;
    stage->m_iFinalMatrixSizeRead = 4;
    stage->m_iFinalMatrixSizePhase = 4;
    stage->m_iKSpace_Dimension = 4;
    stage->m_iFinalMatrixSizeSlice = 2;
    stage->m_iReps_qom = 2;
    stage->m_iMEGA_Steps = 2;
    stage->m_iQOM_ArrayPlot = 1;
    ASSERT_EQ(stage->BeginInit(&env), I_OK);
    EXPECT_EQ(stage->max_measured_averages(), 0.0f);
    ASSERT_EQ(firstCall(2), I_OK);
    TestReadout r(8, 1);
    for (long rep = 0; rep < 2; ++rep)
        for (long slc = 0; slc < 2; ++slc)
            for (long eco = 0; eco < 2; ++eco) ASSERT_TRUE(insert(r.counters(1, 2, 1, eco, slc, rep, 0)));
    ASSERT_TRUE(insert(r.counters(1, 2, 1, 0, 0, 0, 0)));  // a second average of the point
    EXPECT_EQ(csiAverages[(1 * 4 + 2) * 4 + 1], 2.0f);
    EXPECT_EQ(stage->max_measured_averages(), 2.0f);
    EXPECT_EQ(global_online_counter, 9);
    EXPECT_EQ(goc_per_rep[0], 5.0f);
    EXPECT_EQ(goc_per_rep[1], 4.0f);
}

// ---------------------------------------------------------------------------
// No allocation per readout
// ---------------------------------------------------------------------------

TEST_F(InsertTest, InsertingAReadoutAllocatesNothing)
{
    stage->m_iVectorSize = 64;
    stage->m_fReadoutOSFactor = 2.0f;
    stage->m_bRemoveOversampling = true;
    stage->m_iMaxNoOfRxChannels = 4;
    noDisplay();
    stage->m_iQOM_ArrayPlot = 6;  // online weights, no display
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(128 + 8, 4);
    r.fill([](long c, long i) { return Tone(2.0 + c, static_cast<double>(i), 128.0); }).preEcho(4);
    r.counters(0, 0, 0, 1, 0, 0, 0);
    ASSERT_TRUE(insert(r));  // warm-up: windows sized, time zone read
    g_allocations = 0;
    g_countAllocations = true;
    const bool ok = insert(r);
    g_countAllocations = false;
    EXPECT_TRUE(ok);
    EXPECT_EQ(g_allocations.load(), 0);
}

}  // namespace
