// Pipeline composition by the spectroscopy configurator: the stage behind the
// root, the sensitivity-map identifier in its three cases, the traces, the
// failures, and readouts flowing through the composed pipeline.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Derovo2.h"
#include "ProtocolTestSupport.h"
#include "ScanTestSupport.h"
#include "duvhost/HostStages.h"
#include "duvhost/Pipeline.h"
#include "duvhost/Platform.h"

namespace {

class ConfiguratorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The spectroscopy library this test links lies beside the host library.
        ModuleLoader::instance().setSearchPath({DuvPlatform::HostLibraryDirectory()});
        protocol = FullProtocol(1);
        SingleVoxelOverrides(protocol);
    }

    // Builds the pipeline with the root stage and runs the configurator.
    DuvStatus compose(bool withRoot = true)
    {
        pipeline = std::make_unique<DuvPipeline>(protocol, &env);
        MrPipeService service = pipeline->AddPipeService("root_ps");
        if (withRoot)
            root = pipeline->AddStage(service, "root",
                                      MrPtr<Rudu::Component>(Rudu::HeapObject<DuvRootFunctor>::Create()));
        ProtocolComposer::IComposer* composer =
            ModuleLoader::instance().createComposer("Derovo2", "Derovo2Configurator");
        EXPECT_NE(composer, nullptr);
        struct Release {
            ProtocolComposer::IComposer* c;
            ~Release() { c->selfDestroy(); }
        } release{composer};
        return pipeline->Compose(*composer);
    }

    Derovo2* stage()
    {
        for (const MrFunctor& f : pipeline->Stages())
            if (f.Name() == "Derovo2Instance") return dynamic_cast<Derovo2*>(f.Component());
        return nullptr;
    }

    // The configurator's traces, checked to be Notice traces of the module.
    std::vector<std::string> composeTraces(duvtrace::MemoryTraceSink& sink)
    {
        const std::vector<std::string> texts = TraceTexts(sink, "Compose");
        EXPECT_EQ(sink.find("DUV.Derovo2", duvtrace::Notice, "Compose", "").size(), texts.size());
        return texts;
    }

    XProtocol protocol;
    RecordingEnvironment env;
    std::unique_ptr<DuvPipeline> pipeline;
    MrFunctor root;
};

TEST_F(ConfiguratorTest, WithoutPrescanNormalisationOneStageFollowsTheRoot)
{
    duvtrace::ScopedMemorySink sink;
    ASSERT_EQ(compose(), I_OK);
    const std::vector<MrFunctor> stages = pipeline->Stages();
    ASSERT_EQ(stages.size(), 2u);
    EXPECT_EQ(stages[0].Name(), "root");
    EXPECT_EQ(stages[1].Name(), "Derovo2Instance");
    EXPECT_EQ(stages[1].PipeServiceName(), "root_ps");
    Derovo2* s = stage();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->m_sSensMapName, "");
    EXPECT_EQ(s->m_iVectorSize, 8);  // filled from the protocol by the host
    EXPECT_EQ(composeTraces(*sink),
              (std::vector<std::string>{"==>bIsPreScanNormalize: 0", "Derovo2 chain successfully built!"}));
}

TEST_F(ConfiguratorTest, SimulatedPrescanNormalisationUsesTheDummyIdentifier)
{
    protocol.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", true);
    protocol.SetLong("CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE", 2);
    protocol.SetString("YAPS.lSensMapUID", "1.3.12.2.1107.5.2.99");
    duvtrace::ScopedMemorySink sink;
    ASSERT_EQ(compose(), I_OK);
    EXPECT_EQ(stage()->m_sSensMapName, "111111_0000005555");
    EXPECT_EQ(composeTraces(*sink), (std::vector<std::string>{
                                        "==>bIsPreScanNormalize: 1",
                                        "==>prot[CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE].ToLong() = integer: 2",
                                        "==>bIsSimulation: 1",
                                        "Simu-Mode: Hence use dummy PreScanID 111111_0000005555",
                                        "==>prot[YAPS.lSensMapUID].ToString(): ",
                                        "==>strSensMapID: 111111_0000005555",
                                        "Derovo2 chain successfully built!",
                                    }));
}

TEST_F(ConfiguratorTest, AMeasuredPrescanIdentifierIsHandedOnUnchanged)
{
    protocol.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", true);
    protocol.SetLong("CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE", 1);
    protocol.SetString("YAPS.lSensMapUID", "1.3.12.2.1107.5.2.99");
    duvtrace::ScopedMemorySink sink;
    ASSERT_EQ(compose(), I_OK);
    EXPECT_EQ(stage()->m_sSensMapName, "1.3.12.2.1107.5.2.99");
    EXPECT_EQ(composeTraces(*sink), (std::vector<std::string>{
                                        "==>bIsPreScanNormalize: 1",
                                        "==>prot[CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE].ToLong() = integer: 1",
                                        "==>bIsSimulation: 0",
                                        "==>prot[YAPS.lSensMapUID].ToString(): 1.3.12.2.1107.5.2.99",
                                        "==>strSensMapID: 1.3.12.2.1107.5.2.99",
                                        "Derovo2 chain successfully built!",
                                    }));
}

TEST_F(ConfiguratorTest, ANumericPrescanIdentifierIsHandedOnAsText)
{
    protocol.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", true);
    protocol.SetLong("CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE", 0);
    protocol.SetLong("YAPS.lSensMapUID", 4711);
    ASSERT_EQ(compose(), I_OK);
    EXPECT_EQ(stage()->m_sSensMapName, "4711");
}

TEST_F(ConfiguratorTest, AMissingPrescanIdentifierGivesAnEmptyName)
{
    protocol.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", true);
    protocol.SetLong("CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE", 1);
    duvtrace::ScopedMemorySink sink;
    ASSERT_EQ(compose(), I_OK);
    EXPECT_EQ(stage()->m_sSensMapName, "");
    EXPECT_EQ(composeTraces(*sink),
              (std::vector<std::string>{
                  "==>bIsPreScanNormalize: 1",
                  "==>prot[CONFIG.COMMON.SIMULATION.DATA_FROM_SOURCE].ToLong() = integer: 1",
                  "==>bIsSimulation: 0",
                  "Cannot read property 'YAPS.lSensMapUID'. NOT Using dummy PreScanID 111111_0000005555",
                  "==>prot[YAPS.lSensMapUID].ToString(): ",
                  "==>strSensMapID: ",
                  "Derovo2 chain successfully built!",
              }));
}

TEST_F(ConfiguratorTest, WithoutARootTheToolboxRefuses)
{
    duvtrace::ScopedMemorySink sink;
    EXPECT_THROW(compose(false), ProtocolComposer::Error);
    EXPECT_TRUE(TraceTexts(*sink, "Compose").empty());
}

TEST_F(ConfiguratorTest, AMissingSimulationSourceLeavesComposeAsTheProtocolsException)
{
    protocol.SetBool("MEAS.sPreScanNormalizeFilter.ucOn", true);
    duvtrace::ScopedMemorySink sink;
    EXPECT_THROW(compose(), ReadonlyXNode::Exception);
    EXPECT_EQ(TraceTexts(*sink, "Compose"), std::vector<std::string>{"==>bIsPreScanNormalize: 1"});
}

TEST_F(ConfiguratorTest, ReadoutsReachTheStoreAndTheNextStageUnchanged)
{
    ASSERT_EQ(compose(), I_OK);
    MrPipeService service = pipeline->Services()[0];
    MrPtr<DuvSinkFunctor> sinkStage(Rudu::HeapObject<DuvSinkFunctor>::Create());
    std::mutex m;
    std::vector<std::vector<cfloat>> passed, sums;
    Derovo2* s = stage();
    sinkStage->onScan = [&](DuvAs& as, MdhProxy&) {
        std::lock_guard<std::mutex> g(m);
        const cfloat* x = static_cast<const cfloat*>(as.calcSplObjStartAddr());
        passed.emplace_back(x, x + 8);
        const float* sum = s->get_ptr(0, 2, 0, 0, 0, 0, 0, 0, 0);  // same worker thread
        sums.emplace_back(reinterpret_cast<const cfloat*>(sum), reinterpret_cast<const cfloat*>(sum) + 8);
    };
    MrFunctor sink = pipeline->AddStage(service, "sink", MrPtr<Rudu::Component>(sinkStage.get()));
    MrFunctor derovo;
    for (const MrFunctor& f : pipeline->Stages())
        if (f.Name() == "Derovo2Instance") derovo = f;
    pipeline->Connect(derovo, "ScanReady", sink, "ComputeScan");
    ASSERT_EQ(pipeline->Init(), I_OK);
    pipeline->Start();

    for (long set = 0; set < 2; ++set) {
        TestReadout r(8, 1);
        r.fill([set](long, long i) { return cfloat(1.0f + i, static_cast<float>(set)); }).set(set);
        ASSERT_EQ(pipeline->RaiseScan(root, "ScanReady", r.as, r.mdh, r.ctrl), I_OK);
    }
    pipeline->EndOfJob(I_ACQ_END);

    ASSERT_EQ(passed.size(), 2u);
    for (long set = 0; set < 2; ++set)
        for (long i = 0; i < 8; ++i)
            EXPECT_EQ(passed[set][i], cfloat(1.0f + i, static_cast<float>(set)));
    EXPECT_EQ(sums[0][3], cfloat(4.0f, 0.0f));
    EXPECT_EQ(sums[1][3], cfloat(8.0f, 1.0f));
    EXPECT_EQ(sinkStage->scans(), 2);
}

}  // namespace
