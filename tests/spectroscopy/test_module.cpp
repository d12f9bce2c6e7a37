// Module entry of the spectroscopy library: the exported functions, object
// creation, the type records and the published properties.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <typeindex>
#include <vector>

#include "Derovo2.h"
#include "Derovo2Configurator.h"
#include "ProtocolTestSupport.h"
#include "duvhost/Framework.h"
#include "duvhost/Pipeline.h"
#include "duvhost/Platform.h"
#include "duvhost/XProtocol.h"

extern "C" {
Rudu::Module* Derovo2Module();
Rudu::Component* Derovo2__CreateObject(const char* typeName);
ProtocolComposer::IComposer* Derovo2_createProtocolComposer(const char* name, double d);
}

namespace {

using ScanSignature = DuvStatus(DuvAs&, MdhProxy&, ScanControl&);

// ---------------------------------------------------------------------------
// Exported functions and the module object
// ---------------------------------------------------------------------------

// Looked up by name in the library file, as the host finds them; the library
// lies beside the host library in the build.
TEST(Derovo2Module, TheThreeEntryPointsAreExportedUnmangled)
{
    const std::string path = DuvPlatform::HostLibraryDirectory() + "/" + DuvPlatform::LibraryFileName("Derovo2");
    std::string error;
    void* library = DuvPlatform::OpenLibrary(path, error);
    ASSERT_NE(library, nullptr) << error;
    for (const char* name : {"Derovo2Module", "Derovo2__CreateObject", "Derovo2_createProtocolComposer"})
        EXPECT_NE(DuvPlatform::LibrarySymbol(library, name, error), nullptr) << name << ": " << error;
    DuvPlatform::CloseLibrary(library);
}

TEST(Derovo2Module, TheModuleObjectIsCreatedOnceAlsoUnderConcurrentFirstCalls)
{
    std::vector<std::future<Rudu::Module*>> calls;
    for (int i = 0; i < 8; ++i) calls.push_back(std::async(std::launch::async, [] { return Derovo2Module(); }));
    std::set<Rudu::Module*> seen;
    for (auto& c : calls) seen.insert(c.get());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(*seen.begin(), Derovo2Module());
    EXPECT_EQ(Derovo2Module()->Name(), "Derovo2");
}

TEST(Derovo2Module, CreateObjectMakesBothTypesAndReleasesTheModuleLock)
{
    MrPtr<Rudu::Component> stage(Derovo2__CreateObject("Derovo2"));
    ASSERT_TRUE(stage);
    ASSERT_NE(dynamic_cast<Derovo2*>(stage.get()), nullptr);
    EXPECT_EQ(stage->GetType(), Derovo2::TypeOf());

    MrPtr<Rudu::Component> configurator(Derovo2__CreateObject("Derovo2Configurator"));
    ASSERT_TRUE(configurator);
    EXPECT_NE(dynamic_cast<ProtocolComposer::IComposer*>(configurator.get()), nullptr);
    EXPECT_EQ(configurator->GetType(), Derovo2Configurator::TypeOf());

    // Another thread can take the module lock afterwards.
    auto other = std::async(std::launch::async, [] {
        Derovo2Module()->Lock();
        Derovo2Module()->Unlock();
        return true;
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(Derovo2Module, AnUnknownTypeGivesNullWithTheHostsTrace)
{
    duvtrace::ScopedMemorySink sink;
    EXPECT_EQ(Derovo2__CreateObject("Derovo3"), nullptr);
    EXPECT_EQ(
        sink->find("DUV.host", duvtrace::Error, "", "Module Derovo2: CreateInstance - unknown type Derovo3").size(),
        1u);
}

TEST(Derovo2Module, TheComposerIsTheConfiguratorOnly)
{
    ProtocolComposer::IComposer* composer = Derovo2_createProtocolComposer("Derovo2Configurator", 2.5);
    ASSERT_NE(composer, nullptr);
    auto* configurator = dynamic_cast<Derovo2Configurator*>(composer);
    ASSERT_NE(configurator, nullptr);
    EXPECT_EQ(configurator->GetType()->Name(), "Derovo2Configurator");
    composer->selfDestroy();

    EXPECT_EQ(Derovo2_createProtocolComposer("Derovo2", 1.0), nullptr);  // a stage is no configurator
    EXPECT_EQ(Derovo2_createProtocolComposer("Nothing", 1.0), nullptr);
}

TEST(Derovo2Module, TheHostLoadsTheLibraryByNameAndCreatesTheStage)
{
    MrPtr<Rudu::Component> stage = ModuleLoader::instance().create("Derovo2", "Derovo2");
    ASSERT_TRUE(stage);
    EXPECT_NE(dynamic_cast<Derovo2*>(stage.get()), nullptr);
}

// ---------------------------------------------------------------------------
// Type records
// ---------------------------------------------------------------------------

TEST(Derovo2Type, TheStageRecordNamesItsBaseMethodAndEvent)
{
    const Rudu::Type* t = Derovo2::TypeOf();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Name(), "Derovo2");
    EXPECT_EQ(t->Bases(), std::vector<const Rudu::Type*>{IFunctor::TypeOf()});
    ASSERT_EQ(t->Methods().size(), 1u);
    EXPECT_EQ(t->Methods()[0].name, "ComputeScan");
    EXPECT_EQ(t->Methods()[0].signature, std::type_index(typeid(ScanSignature)));
    ASSERT_EQ(t->Events().size(), 1u);
    EXPECT_EQ(t->Events()[0].name, "ScanReady");
    EXPECT_EQ(t->Events()[0].signature, std::type_index(typeid(ScanSignature)));
}

TEST(Derovo2Type, TheRecordsAreBuiltOnceAlsoUnderConcurrentCalls)
{
    std::vector<std::future<const Rudu::Type*>> calls;
    for (int i = 0; i < 8; ++i)
        calls.push_back(std::async(std::launch::async, [i] {
            return i % 2 ? Derovo2::TypeOf() : Derovo2Configurator::TypeOf();
        }));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(calls[static_cast<size_t>(i)].get(), i % 2 ? Derovo2::TypeOf() : Derovo2Configurator::TypeOf());
    EXPECT_EQ(&Derovo2::GetProperties(), &Derovo2::GetProperties());
}

TEST(Derovo2Type, TheConfiguratorRecordIsBare)
{
    const Rudu::Type* t = Derovo2Configurator::TypeOf();
    EXPECT_EQ(t->Name(), "Derovo2Configurator");
    EXPECT_TRUE(t->Bases().empty());
    EXPECT_TRUE(t->Methods().empty());
    EXPECT_TRUE(t->Events().empty());
    EXPECT_TRUE(t->Properties().empty());
}

TEST(Derovo2Type, OneStagesEventDrivesAnothersMethod)
{
    MrPtr<Derovo2> first(Rudu::HeapObject<Derovo2>::Create());
    MrPtr<Derovo2> second(Rudu::HeapObject<Derovo2>::Create());
    const Rudu::Type* t = Derovo2::TypeOf();
    const std::any handler = t->FindMethod("ComputeScan")->makeHandler(*second);
    ASSERT_TRUE(t->FindEvent("ScanReady")->bind(*first, handler));
    EXPECT_EQ(first->ScanReady.size(), 1u);
    // A handler of another signature is refused.
    EXPECT_FALSE(t->FindEvent("ScanReady")->bind(*first, std::any(std::function<DuvStatus()>())));
}

// ---------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------

TEST(Derovo2Properties, TheOwnPropertiesComeInOrderWithTypesAndPathsThenTheInheritedOnes)
{
    const std::vector<const Rudu::PropertyDescriptor*> all = Derovo2::TypeOf()->AllProperties();
    const auto& expected = ExpectedProperties();
    ASSERT_EQ(all.size(), expected.size() + 4);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(all[i]->name, expected[i].name);
        EXPECT_EQ(all[i]->type, expected[i].type);
        EXPECT_EQ(all[i]->description, expected[i].path);
        EXPECT_FALSE(all[i]->readOnly());
    }
    const char* inherited[] = {"Threading", "_Execute", "_BypassEvents", "_BypassSinks"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(all[expected.size() + i]->name, inherited[i]);
        EXPECT_TRUE(all[expected.size() + i]->readOnly());
    }
    EXPECT_EQ(Derovo2::TypeOf()->Properties().size(), expected.size());
}

TEST(Derovo2Properties, InheritedPropertiesHaveTheDefaultValues)
{
    MrPtr<Derovo2> s(Rudu::HeapObject<Derovo2>::Create());
    EXPECT_EQ(std::get<Rudu::DefaultThreading>(Rudu::GetProperty(*s, "d", "Threading")),
              Rudu::DefaultThreading::Default);
    EXPECT_TRUE(std::get<bool>(Rudu::GetProperty(*s, "d", "_Execute")));
    EXPECT_TRUE(std::get<std::vector<std::string>>(Rudu::GetProperty(*s, "d", "_BypassEvents")).empty());
    EXPECT_TRUE(std::get<std::vector<std::string>>(Rudu::GetProperty(*s, "d", "_BypassSinks")).empty());
}

TEST(Derovo2Properties, AnUnknownOrReadOnlyPropertyCannotBeSet)
{
    MrPtr<Derovo2> s(Rudu::HeapObject<Derovo2>::Create());
    for (const char* name : {"NoSuchProperty", "Threading"}) {
        try {
            Rudu::SetProperty(*s, "Derovo2Instance", name, Rudu::PropertyValue(1));
            ADD_FAILURE() << name;
        } catch (const ReadonlyXNode::Exception& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("Node: Derovo2Instance: SetProperty - Parameter not found ") + name);
        }
    }
}

TEST(Derovo2Properties, AccessorsCopyTheValueAndStartFromTheConstructorState)
{
    MrPtr<Derovo2> s(Rudu::HeapObject<Derovo2>::Create());
    EXPECT_EQ(std::get<int>(Rudu::GetProperty(*s, "d", "Spec_AutoCalib")), 0);
    EXPECT_TRUE(std::get<std::string>(Rudu::GetProperty(*s, "d", "SensMapName")).empty());
    EXPECT_TRUE(std::get<std::string>(Rudu::GetProperty(*s, "d", "Nucleus")).empty());
    EXPECT_TRUE(std::get<std::vector<float>>(Rudu::GetProperty(*s, "d", "Normal_Sag")).empty());
    EXPECT_TRUE(
        std::get<std::vector<std::vector<std::string>>>(Rudu::GetProperty(*s, "d", "CoilElementName")).empty());

    Rudu::SetProperty(*s, "d", "Contrasts", Rudu::PropertyValue(-7));
    EXPECT_EQ(s->m_iContrasts, -7L);
    EXPECT_EQ(std::get<int>(Rudu::GetProperty(*s, "d", "Contrasts")), -7);
    Rudu::SetProperty(*s, "d", "TE_Time", Rudu::PropertyValue(std::vector<int>{1, 2}));
    EXPECT_EQ(s->m_viTE_Time, (std::vector<int>{1, 2}));
    Rudu::SetProperty(*s, "d", "ReadoutOSFactor", Rudu::PropertyValue(2.0f));
    EXPECT_EQ(s->m_fReadoutOSFactor, 2.0f);
}

TEST(Derovo2Properties, TheHostFillsEveryPathedPropertyFromTheProtocol)
{
    MrPtr<Derovo2> s(Rudu::HeapObject<Derovo2>::Create());
    const XProtocol p = FullProtocol(3);
    Rudu::FillPropertiesFromProtocol(*s, "Derovo2Instance", p);
    const auto& t = ExpectedProperties();
    auto index = [&](const char* name) {
        for (size_t i = 0; i < t.size(); ++i)
            if (std::string(t[i].name) == name) return static_cast<long>(i);
        return -1L;
    };
    EXPECT_EQ(s->m_iVectorSize, 100 + index("VectorSize"));
    EXPECT_EQ(s->m_bVoIValid, index("VoIValid") % 2 == 1);
    EXPECT_FLOAT_EQ(s->m_fReadoutOSFactor, index("ReadoutOSFactor") + 0.5f);
    EXPECT_EQ(s->m_strProtocolName, "text" + std::to_string(index("ProtocolName")));
    // Per-slice lists take every slice in order.
    const float sag = static_cast<float>(index("Normal_Sag")) + 0.5f;
    ASSERT_EQ(s->m_vfNormal_Sag.size(), 3u);
    EXPECT_FLOAT_EQ(s->m_vfNormal_Sag[0], sag);
    EXPECT_FLOAT_EQ(s->m_vfNormal_Sag[1], sag + 0.1f);
    EXPECT_FLOAT_EQ(s->m_vfNormal_Sag[2], sag + 0.2f);
    EXPECT_EQ(s->m_vfSliceThickness.size(), 3u);
    EXPECT_EQ(s->m_vfPosition_Tra.size(), 3u);
    EXPECT_EQ(s->m_vlRxChannelConnected.size(), 3u);
    ASSERT_EQ(s->m_vstrElementID.size(), 3u);
    EXPECT_EQ(s->m_vstrElementID[2], "text" + std::to_string(index("ElementID")) + "_2");
    // A per-slice path feeding a single value takes the first slice.
    EXPECT_FLOAT_EQ(s->m_fRoFOV, index("RoFOV") + 0.5f);
    // Free double parameters feed ints by rounding.
    EXPECT_EQ(s->m_iSpec_VAPORFA, index("Spec_VAPORFA") + 1);
    EXPECT_EQ(s->m_iSpec_VAPOR_Delay8, index("Spec_VAPOR_Delay8") + 1);
    EXPECT_EQ(s->m_viTE_Time, (std::vector<int>{30000, 60000}));
    EXPECT_FLOAT_EQ(s->m_fFlipAngleDeg2, index("FlipAngleDeg2") + 0.5f);
    // The two properties without a path stay as constructed.
    EXPECT_TRUE(s->m_sSensMapName.empty());
    EXPECT_TRUE(s->m_vvstrCoilElementName.empty());
}

}  // namespace
