// Lifecycle of the spectroscopy stage: initialisation, the first call (mode,
// store shapes, online state, proton window, table bounds) and the compute
// step (callbacks, refused readouts, successors).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ScanTestSupport.h"

namespace {

const std::string kSeparator = std::string(86, '=') + " ";

std::vector<long> Lengths(const Derovo2StoreDims& d)
{
    return {d.col, d.ave, d.lin, d.phs, d.seg, d.eco, d.cha, d.slc, d.rep};
}

class FirstCallTest : public ScanTest {};

// ---------------------------------------------------------------------------
// BeginInit / EndInit
// ---------------------------------------------------------------------------

TEST_F(FirstCallTest, BeginInitClearsTheAverageCountsAndEndInitFetchesTheSeriesUid)
{
    duvtrace::ScopedMemorySink sink;
    csiAverages[0] = 5.0f;
    csiAverages[kDerovo2CsiAveragesSize - 1] = 7.0f;
    EXPECT_EQ(stage->BeginInit(&env), I_OK);
    EXPECT_EQ(csiAverages[0], 0.0f);
    EXPECT_EQ(csiAverages[kDerovo2CsiAveragesSize - 1], 0.0f);
    env.uid = "2.25.777";
    EXPECT_EQ(stage->EndInit(&env), I_OK);
    EXPECT_EQ(stage->m_sSBSeriesUID, "2.25.777");
    EXPECT_EQ(TraceTexts(*sink, "BeginInit"), std::vector<std::string>{"BeginInit: return I_OK!\n"});
    EXPECT_EQ(TraceTexts(*sink, "EndInit"), std::vector<std::string>{"EndInit: return I_OK;!\n"});
}

TEST_F(FirstCallTest, EndInitPassesOnAFailingSeriesUid)
{
    duvtrace::ScopedMemorySink sink;
    env.uidStatus = 0xC0001234UL;
    EXPECT_EQ(stage->EndInit(&env), 0xC0001234UL);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Error, "EndInit",
                         "Failed retrieving 'SBSeriesUID' from environment, aborting... status = 0xc0001234")
                  .size(),
              1u);
}

// ---------------------------------------------------------------------------
// Store shapes
// ---------------------------------------------------------------------------

TEST_F(FirstCallTest, SingleVoxelStoreHasAnAverageSlotPerAveragePlusTheSum)
{
    duvtrace::ScopedMemorySink sink;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_FALSE(stage->m_bisCSI);
    EXPECT_FALSE(stage->m_bis0DCSI);
    EXPECT_EQ(Lengths(stage->storeDims()), (std::vector<long>{8, 3, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(stage->m_qom_ref->getLen(COL), 8);
    EXPECT_EQ(stage->m_qom_ref->getLen(LIN), 2);
    EXPECT_EQ(stage->m_qom_ref->getLen(CHA), 1);
    EXPECT_EQ(rawNorm(), 0.0);
    EXPECT_EQ(TraceTexts(*sink, "FirstCall"),
              (std::vector<std::string>{"==>qom internal water reference processing disabled from protocol", kSeparator,
                                        "Derovo2::FirstCall finished successfully ", kSeparator}));
}

TEST_F(FirstCallTest, CsiByBaseResolutionHasOneAverageSlotAndForcesResolveAveOff)
{
    stage->m_iBaseResolution = 16;
    stage->m_iFinalMatrixSizeRead = 16;
    stage->m_iFinalMatrixSizePhase = 12;
    stage->m_iResolveAve = 2;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_TRUE(stage->m_bisCSI);
    EXPECT_FALSE(stage->m_bis0DCSI);
    EXPECT_EQ(stage->m_iResolveAve, 0);
    EXPECT_EQ(Lengths(stage->storeDims()), (std::vector<long>{8, 1, 16, 12, 1, 1, 1, 1, 1}));
}

TEST_F(FirstCallTest, CsiByPhaseLinesTakesAtLeastOneInEveryDirection)
{
    stage->m_iPhaseEncodingLines = 8;
    stage->m_iFinalMatrixSizeRead = 0;
    stage->m_iFinalMatrixSizePhase = 8;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_TRUE(stage->m_bisCSI);
    EXPECT_EQ(Lengths(stage->storeDims()), (std::vector<long>{8, 1, 1, 8, 1, 1, 1, 1, 1}));
}

TEST_F(FirstCallTest, CsiByPartitionsNeedsThreeDimensionalEncoding)
{
    stage->m_iKSpace_Dimension = 4;
    stage->m_iPartitions = 8;
    stage->m_iFinalMatrixSizeSlice = 8;
    stage->m_iResolveAve = 1;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_TRUE(stage->m_bisCSI);
    EXPECT_EQ(stage->m_iResolveAve, 0);
    EXPECT_EQ(Lengths(stage->storeDims()), (std::vector<long>{8, 1, 1, 1, 8, 1, 1, 1, 1}));

    // Partitions without 3D encoding are not CSI (and the slice matrix is
    // then not a store length).
    MrPtr<Derovo2> other = Rudu::HeapObject<Derovo2>::Create();
    SingleVoxelProtocol(*other, 8, 2);
    other->m_iKSpace_Dimension = 2;
    other->m_iPartitions = 8;
    TestReadout r(1, 1);
    ASSERT_EQ(other->FirstCall(r.as, r.mdh, r.ctrl), I_OK);
    EXPECT_FALSE(other->m_bisCSI);
    EXPECT_EQ(other->storeDims().seg, 1);
}

TEST_F(FirstCallTest, ThreeDimensionalSliceMatrixOfZeroGivesOnePartition)
{
    stage->m_iKSpace_Dimension = 4;
    stage->m_iPartitions = 8;
    stage->m_iFinalMatrixSizeSlice = 0;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().seg, 1);
}

TEST_F(FirstCallTest, MatrixWithoutEncodingIsProcessedAsSingleVoxel)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iFinalMatrixSizeRead = 16;
    stage->m_iFinalMatrixSizePhase = 16;
    stage->m_iFinalMatrixSizeSlice = 4;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_FALSE(stage->m_bisCSI);
    EXPECT_TRUE(stage->m_bis0DCSI);
    EXPECT_EQ(stage->m_iFinalMatrixSizeRead, 1);
    EXPECT_EQ(stage->m_iFinalMatrixSizePhase, 1);
    EXPECT_EQ(stage->m_iFinalMatrixSizeSlice, 1);
    EXPECT_EQ(Lengths(stage->storeDims()), (std::vector<long>{8, 3, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(sink->count("\n==>Special processing of 1x1x1 CSI as SVS!"), 1u);
}

TEST_F(FirstCallTest, SliceMatrixAloneCountsOnlyWithThreeDimensionalEncoding)
{
    stage->m_iFinalMatrixSizeSlice = 4;
    stage->m_iKSpace_Dimension = 2;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_FALSE(stage->m_bis0DCSI);

    MrPtr<Derovo2> other = Rudu::HeapObject<Derovo2>::Create();
    SingleVoxelProtocol(*other, 8, 2);
    other->m_iFinalMatrixSizeSlice = 4;
    other->m_iKSpace_Dimension = 4;
    TestReadout r(1, 1);
    ASSERT_EQ(other->FirstCall(r.as, r.mdh, r.ctrl), I_OK);
    EXPECT_TRUE(other->m_bis0DCSI);
    EXPECT_EQ(other->storeDims().seg, 1);
}

TEST_F(FirstCallTest, ChannelsAddOneForTheCombinationWithSeveralCoilsOrPrescanNormalisation)
{
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().cha, 1);

    stage->m_bPreScanNormalizeFilterOn = true;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().cha, 2);
    EXPECT_EQ(stage->m_qom_ref->getLen(CHA), 2);

    stage->m_bPreScanNormalizeFilterOn = false;
    stage->m_iMaxNoOfRxChannels = 4;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().cha, 5);
}

TEST_F(FirstCallTest, ReferenceScansAddFourSlotsPerReferenceScan)
{
    stage->m_iAverages = 8;
    stage->m_iSpec_RefScan = 2;
    stage->m_iSpec_RefScanNb = 4;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().ave, 25);

    stage->m_iSpec_RefScan = 1;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().ave, 9);
}

TEST_F(FirstCallTest, RepetitionsEditingStepsAndSlices)
{
    stage->m_iReps_qom = 0;
    stage->m_iMEGA_Steps = 0;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().rep, 1);
    EXPECT_EQ(stage->storeDims().eco, 1);

    stage->m_iReps_qom = 3;
    stage->m_iMEGA_Steps = 2;
    ASSERT_EQ(firstCall(3), I_OK);
    EXPECT_EQ(Lengths(stage->storeDims()), (std::vector<long>{8, 3, 1, 1, 1, 2, 1, 3, 3}));
}

TEST_F(FirstCallTest, ColumnsKeepTheOversampledLengthUnlessItIsRemoved)
{
    stage->m_iVectorSize = 512;
    stage->m_fReadoutOSFactor = 2.0f;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().col, 1024);
    EXPECT_EQ(stage->m_qom_ref->getLen(COL), 1024);

    stage->m_bRemoveOversampling = true;
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().col, 512);

    stage->m_bRemoveOversampling = false;
    stage->m_iVectorSize = 5;
    stage->m_fReadoutOSFactor = 1.5f;  // 7.5 rounds up
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(stage->storeDims().col, 8);
}

TEST_F(FirstCallTest, ResolvedAveragesAndWaterReferenceAreAnnounced)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iResolveAve = 2;
    stage->m_iSpec_B0Correct = 1;
    stage->m_iAverages = 8;
    ASSERT_EQ(firstCall(), I_OK);
    stage->m_iResolveAve = 1;
    stage->m_iSpec_B0Correct = 0;
    ASSERT_EQ(firstCall(), I_OK);
    const std::vector<std::string> t = TraceTexts(*sink, "FirstCall");
    ASSERT_EQ(t.size(), 10u);
    EXPECT_EQ(t[0], "==>qom internal water reference processing selected from protocol");
    EXPECT_EQ(t[1], "\n==>Sending individually resolved averages and also sum at end, m_iAverages = 8");
    EXPECT_EQ(t[5], "==>qom internal water reference processing disabled from protocol");
    EXPECT_EQ(t[6], "\n==>Sending individually resolved averages, m_iAverages = 8");
}

TEST_F(FirstCallTest, ANewJobStartsFromEmptyStoresAndTables)
{
    ASSERT_EQ(firstCall(), I_OK);
    TestReadout r(8, 1);
    r.fill([](long, long i) { return cfloat(1.0f + i, 0.0f); });
    ASSERT_TRUE(stage->insert(r.as, r.mdh));
    ASSERT_GT(rawNorm(), 0.0);
    time_span[3] = 1.0;
    goc_per_rep[511] = 4.0f;
    timeStamp[0] = dateStamp[0] = time_ms_Stamp[0] = 9.0f;
    stage->_current_weight[128] = 2.0;
    stage->_current_pcor[257] = 2.0;
    stage->_lamda = 3.0;
    stage->_current_ondisp_array[Derovo2::kOnDispArrayFloats - 1] = 1.0f;
    stage->m_iAcquired_averages = 4;

    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_EQ(rawNorm(), 0.0);
    EXPECT_EQ(refNorm(), 0.0);
    EXPECT_EQ(time_span[3], 0.0);
    EXPECT_EQ(goc_per_rep[511], 0.0f);
    EXPECT_EQ(timeStamp[0] + dateStamp[0] + time_ms_Stamp[0], 0.0f);
    EXPECT_EQ(stage->_current_weight[128], 0.0);
    EXPECT_EQ(stage->_current_pcor[257], 0.0);
    EXPECT_EQ(stage->_lamda, 0.0);
    EXPECT_EQ(stage->_current_ondisp_array[Derovo2::kOnDispArrayFloats - 1], 0.0f);
    EXPECT_EQ(global_online_counter, 0);
    EXPECT_EQ(stage->_last_crep, -1);
    EXPECT_EQ(stage->m_iAcquired_averages, 0);
    EXPECT_EQ(stage->m_iSumSlotReadouts, 0);
    EXPECT_EQ(stage->_qom_plot_max, -3.4028235e38f);
    EXPECT_EQ(stage->_qom_plot_max2, -3.4028235e38f);
    EXPECT_EQ(stage->_qom_plot_max3, -3.4028235e38f);
    EXPECT_EQ(stage->_firstTimeStampPerRep, 0.0);
}

TEST_F(FirstCallTest, AStoreThatCannotBeCreatedFailsTheFirstCall)
{
    duvtrace::ScopedMemorySink sink;
    stage->m_iVectorSize = 0;
    EXPECT_EQ(firstCall(), I_FAIL);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Error, "FirstCall",
                         "Failed during create of m_raw DuvObj, aborting...\n status = 0xc0000001")
                  .size(),
              1u);
    EXPECT_FALSE(stage->m_raw->IsValid());
}

// ---------------------------------------------------------------------------
// Proton display window
// ---------------------------------------------------------------------------

TEST_F(FirstCallTest, ProtonSpectraShowTheMetaboliteRange)
{
    stage->m_strNucleus = "1H";
    stage->m_iDwellTimeSig = 250000;    // 4000 Hz sampled
    stage->m_iFrequency = 123200000;  // half bandwidth 16.2338 ppm
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_FLOAT_EQ(stage->_left_online_border, 0.45f);
    EXPECT_NEAR(stage->_right_online_border, 0.78952f, 1e-5f);

    stage->m_iDwellTimeSig = 500000;  // 8.1169 ppm: the right border is clipped
    ASSERT_EQ(firstCall(), I_OK);
    EXPECT_FLOAT_EQ(stage->_left_online_border, 0.45f);
    EXPECT_EQ(stage->_right_online_border, 1.0f);
}

TEST_F(FirstCallTest, OnlyTheExactNucleusProtonGetsTheWindow)
{
    stage->m_iDwellTimeSig = 250000;
    stage->m_iFrequency = 123200000;
    for (const char* nucleus : {"1HX", "1H ", "1Hydrogen", "H1", "31P", ""}) {
        stage->m_strNucleus = nucleus;
        ASSERT_EQ(firstCall(), I_OK);
        EXPECT_EQ(stage->_left_online_border, 0.0f) << nucleus;
        EXPECT_EQ(stage->_right_online_border, 1.0f) << nucleus;
    }
}

// ---------------------------------------------------------------------------
// Table bounds
// ---------------------------------------------------------------------------

struct BoundCase {
    const char* what;
    std::function<void(Derovo2&)> atLimit, beyond;
    const char* text;
};

TEST_F(FirstCallTest, MeasurementsBeyondTheFixedTablesAreRefused)
{
    const std::vector<BoundCase> cases = {
        {"repetitions", [](Derovo2& s) { s.m_iReps_qom = 512; }, [](Derovo2& s) { s.m_iReps_qom = 513; },
         "Number of repetitions exceeds the 512 entries of the repetition tables, aborting... status = 0xc0000001"},
        {"grid",
         [](Derovo2& s) {
             s.m_iBaseResolution = 256;
             s.m_iFinalMatrixSizeRead = 256;
             s.m_iFinalMatrixSizePhase = 128;
         },
         [](Derovo2& s) {
             s.m_iBaseResolution = 256;
             s.m_iFinalMatrixSizeRead = 256;
             s.m_iFinalMatrixSizePhase = 129;
         },
         "Number of phase-encoding points exceeds the 32768 entries of the average counts, aborting... status = "
         "0xc0000001"},
        {"channels", [](Derovo2& s) { s.m_iMaxNoOfRxChannels = 129; },
         [](Derovo2& s) { s.m_iMaxNoOfRxChannels = 130; },
         "Number of receiver channels exceeds the 129 entries of the online weights, aborting... status = 0xc0000001"},
        {"display array",
         [](Derovo2& s) {
             s.m_iAverages = 0;
             s.m_iVectorSize = 16384;
             s.m_iQOM_ArrayPlot = 3;
             s.m_iReps_qom = 204;  // 204 x 16384 = 3342336
         },
         [](Derovo2& s) {
             s.m_iAverages = 0;
             s.m_iVectorSize = 16384;
             s.m_iQOM_ArrayPlot = 7;
             s.m_iReps_qom = 205;
         },
         "Repetitions times vector size exceed the 3342336 floats of the online display array, aborting... status = "
         "0xc0000001"},
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.what);
        SingleVoxelProtocol(*stage, 8, 2);
        c.atLimit(*stage);
        EXPECT_EQ(firstCall(), I_OK);

        duvtrace::ScopedMemorySink sink;
        DuvFramework::ClearLastError();
        SingleVoxelProtocol(*stage, 8, 2);
        c.beyond(*stage);
        EXPECT_EQ(firstCall(), I_FAIL);
        EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
        EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Error, "FirstCall", c.text).size(), 1u);
        EXPECT_FALSE(stage->m_raw->IsValid());  // end of job will find no store
    }
}

TEST_F(FirstCallTest, TheDisplayArrayLimitsOnlyTheModesThatFillIt)
{
    stage->m_iAverages = 0;
    stage->m_iVectorSize = 16384;
    stage->m_iQOM_ArrayPlot = 0;
    stage->m_iReps_qom = 205;
    EXPECT_EQ(firstCall(), I_OK);
}

// ---------------------------------------------------------------------------
// ComputeScan
// ---------------------------------------------------------------------------

// A stage with an extra callback whose result the test chooses.
class CallbackStage : public Derovo2 {
public:
    DuvStatus extra(DuvAs&, MdhProxy&, ScanControl&) { return extraStatus; }
    DuvStatus extraStatus = I_OK;
};

class ComputeScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        stage = Rudu::HeapObject<CallbackStage>::Create();
        SingleVoxelProtocol(*stage, 8, 2);
        stage->setEnvironment(&env);
        stage->addCallback(static_cast<DuvScanFunctors::Callback>(&CallbackStage::extra));
        DuvFramework::ClearLastError();
        readout.fill([](long, long i) { return cfloat(static_cast<float>(i), 1.0f); });
    }
    void addSuccessor(DuvStatus result)
    {
        stage->ScanReady.bind([this, result](DuvAs& as, MdhProxy&, ScanControl&) {
            successorSaw.push_back(reinterpret_cast<const cfloat*>(as.calcSplObjStartAddr())[3]);
            return result;
        });
    }
    DuvStatus scan() { return stage->ComputeScan(readout.as, readout.mdh, readout.ctrl); }

    RecordingEnvironment env;
    MrPtr<CallbackStage> stage;
    TestReadout readout{8, 1};
    std::vector<cfloat> successorSaw;
};

TEST_F(ComputeScanTest, TheFirstScanCreatesTheStoreAndEveryScanIsStoredAndPassedOn)
{
    addSuccessor(I_OK);
    readout.set(1);
    EXPECT_EQ(scan(), I_OK);
    EXPECT_TRUE(stage->m_raw->IsValid());
    readout.set(0);
    EXPECT_EQ(scan(), I_OK);
    EXPECT_EQ(successorSaw, (std::vector<cfloat>{cfloat(3.0f, 1.0f), cfloat(3.0f, 1.0f)}));
    EXPECT_EQ(stage->m_iAcquired_averages, 1);
    const float* sum = stage->get_ptr(3, 2, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(sum[0], 6.0f);
}

TEST_F(ComputeScanTest, AWarningCallbackStillStoresAndPassesTheScan)
{
    addSuccessor(I_OK);
    stage->extraStatus = 0x40000123UL;
    EXPECT_EQ(scan(), I_OK);
    EXPECT_EQ(successorSaw.size(), 1u);
    EXPECT_EQ(stage->get_ptr(3, 2, 0, 0, 0, 0, 0, 0, 0)[0], 3.0f);
}

TEST_F(ComputeScanTest, AnErrorCallbackReturnsItsStatusWithoutStoring)
{
    duvtrace::ScopedMemorySink sink;
    addSuccessor(I_OK);
    stage->extraStatus = 0xC0000777UL;
    EXPECT_EQ(scan(), 0xC0000777UL);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_TRUE(successorSaw.empty());
    EXPECT_EQ(StoreNorm(*stage->m_raw), 0.0);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Error, "ComputeScan",
                         "ExecuteCallbacks() failed, aborting... status = 0xc0000777")
                  .size(),
              1u);
}

TEST_F(ComputeScanTest, AFailedFirstCallKeepsFailingTheJob)
{
    addSuccessor(I_OK);
    stage->m_iVectorSize = 0;
    EXPECT_EQ(scan(), I_FAIL);
    EXPECT_EQ(scan(), I_FAIL);
    EXPECT_TRUE(successorSaw.empty());
}

TEST_F(ComputeScanTest, ARefusedReadoutFailsTheScanAndIsNotPassedOn)
{
    duvtrace::ScopedMemorySink sink;
    addSuccessor(I_OK);
    readout.mdh->ushSamplesInScan = 4;  // fewer than the vector size
    testing::internal::CaptureStdout();
    EXPECT_EQ(scan(), I_FAIL);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(successorSaw.empty());
    EXPECT_EQ(DuvFramework::GetLastError(), 0u);  // the compute step records nothing
    EXPECT_EQ(TraceTexts(*sink, "ComputeScan"),
              (std::vector<std::string>{kSeparator, "Derovo2::ComputeScan: Acquired data inserted NOT ok! ",
                                        kSeparator + "\n"}));
}

TEST_F(ComputeScanTest, AFailingSuccessorFailsTheScan)
{
    duvtrace::ScopedMemorySink sink;
    addSuccessor(0xC0000042UL);
    EXPECT_EQ(scan(), 0xC0000042UL);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_EQ(sink->find("DUV.Derovo2", duvtrace::Error, "ComputeScan",
                         "Failed during call of successor, aborting...\n status = 0xc0000042")
                  .size(),
              1u);
}

TEST_F(ComputeScanTest, AWarningFromOneSuccessorIsNotPassedOn)
{
    addSuccessor(0x40000042UL);
    addSuccessor(I_OK);
    EXPECT_EQ(scan(), I_OK);
    EXPECT_EQ(DuvFramework::GetLastError(), 0u);
}

TEST_F(ComputeScanTest, TwoSuccessorsWithWarningsAreMultipleFailures)
{
    duvtrace::ScopedMemorySink sink;
    addSuccessor(0x40000001UL);
    addSuccessor(0x40000002UL);
    EXPECT_EQ(scan(), I_MULTIPLE_FAILURES);
    EXPECT_EQ(successorSaw.size(), 2u);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_TRUE(sink->contains("Failed during call of successor, aborting...\n status = 0xc002000e"));
}

}  // namespace
