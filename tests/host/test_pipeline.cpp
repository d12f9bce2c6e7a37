// The pipeline: module loading, composition with the toolbox, pipe services
// on worker threads, end of job, failures; the stage bases' callbacks; the
// host stages, environments and send operations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "duvhost/HostStages.h"
#include "duvhost/Pipeline.h"
#include "duvhost/Platform.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kScanStage = "TestScanStage@DuvTestModule";
const std::string kImageStage = "TestImageStage@DuvTestModule";

XProtocol testProtocol() {
    XProtocol p;
    p.SetLong("TEST.lGain", 5);
    p.SetDouble("TEST.dScale", 2.5);
    p.SetString("TEST.tLabel", "from protocol");
    p.SetString("TEST.tSuffix", "sfx");
    return p;
}

template <class T>
T property(const MrFunctor& f, const std::string& name) {
    return std::get<T>(Rudu::GetProperty(*f.Component(), f.Name(), name));
}

// A stage of the test itself: records what it sees and on which thread, and
// whether two calls into it ever overlapped.
class Probe : public DuvFunctorBase {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type("Probe", {IFunctor::TypeOf()},
                                     {Rudu::MakeMethod("ComputeScan", &Probe::ComputeScan),
                                      Rudu::MakeMethod("ComputeImage", &Probe::ComputeImage)},
                                     {Rudu::MakeEvent("ScanReady", &Probe::ScanReady),
                                      Rudu::MakeEvent("ImageReady", &Probe::ImageReady)},
                                     {});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }

    DuvStatus BeginInit(IRuduEnvironment* env) override {
        note("BeginInit");
        DuvFunctorBase::BeginInit(env);
        return beginInitStatus;
    }
    DuvStatus EndInit(IRuduEnvironment* env) override {
        note("EndInit");
        return DuvFunctorBase::EndInit(env);
    }
    DuvStatus ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) {
        if (++busy_ > 1) overlapped = true;
        {
            std::lock_guard<std::mutex> g(mutex_);
            scans_.push_back(ctrl.lScanIndex);
            headers_.push_back(mdh->sLC.ushLine);
            samples_.push_back(*static_cast<float*>(as.calcSplObjStartAddr()));
            threads_.insert(std::this_thread::get_id());
        }
        if (sleepMicros) std::this_thread::sleep_for(std::chrono::microseconds(sleepMicros));
        const DuvStatus status = ScanReady(as, mdh, ctrl);
        --busy_;
        return status;
    }
    DuvStatus ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            scans_.push_back(ctrl.getIndex(REP));
            threads_.insert(std::this_thread::get_id());
        }
        return ImageReady(as, header, ctrl);
    }
    DuvStatus endOfJob(DuvStatus status) override {
        note("endOfJob " + std::to_string(status));
        getStdStackTraceStream("DUV.test", duvtrace::Notice, 1, "test", "Probe", "test_pipeline", __LINE__, "endOfJob",
                               "DLL", false)
            << getName() << " endOfJob";
        scansAtEnd = long(scans().size());
        if (throwAtEnd) throw std::runtime_error("probe cannot end");
        return I_OK;
    }

    std::vector<long> scans() const { std::lock_guard<std::mutex> g(mutex_); return scans_; }
    std::vector<int> headers() const { std::lock_guard<std::mutex> g(mutex_); return headers_; }
    std::vector<float> samples() const { std::lock_guard<std::mutex> g(mutex_); return samples_; }
    std::set<std::thread::id> threads() const { std::lock_guard<std::mutex> g(mutex_); return threads_; }
    std::vector<std::string> notes() const { std::lock_guard<std::mutex> g(mutex_); return notes_; }

    MulticastDelegate_3<DuvStatus, DuvAs&, MdhProxy&, ScanControl&> ScanReady;
    MulticastDelegate_3<DuvStatus, DuvAs&, MrPtr<MiniHeader>&, ImageControl&> ImageReady;
    DuvStatus beginInitStatus = I_OK;
    bool throwAtEnd = false;
    int sleepMicros = 0;
    long scansAtEnd = -1;  // items seen when end of job came
    std::atomic<bool> overlapped{false};

private:
    void note(const std::string& s) { std::lock_guard<std::mutex> g(mutex_); notes_.push_back(s); }
    mutable std::mutex mutex_;
    std::atomic<int> busy_{0};
    std::vector<long> scans_;
    std::vector<int> headers_;
    std::vector<float> samples_;
    std::set<std::thread::id> threads_;
    std::vector<std::string> notes_;
};

template <class T>
MrFunctor addStage(DuvPipeline& p, const MrPipeService& s, const std::string& name, T*& out) {
    out = Rudu::HeapObject<T>::Create();
    return p.AddStage(s, name, MrPtr<Rudu::Component>(out));
}

// Scan i: one complex sample (i, 0), header line counter i, scan index i.
// The header and control objects are reused, so a stage sees the right
// values only when the pipeline copied them.
void feedScans(DuvPipeline& p, const MrFunctor& source, int n) {
    MdhProxy mdh;
    ScanControl ctrl;
    for (int i = 0; i < n; ++i) {
        MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
        ASSERT_TRUE(obj->create(CXFL, {{COL, 1}}));
        reinterpret_cast<float*>(obj->data())[0] = float(i);
        DuvAs as(obj);
        mdh->sLC.ushLine = uint16_t(i);
        ctrl.lScanIndex = i;
        ASSERT_EQ(p.RaiseScan(source, "ScanReady", as, mdh, ctrl), I_OK);
    }
}

void feedImages(DuvPipeline& p, const MrFunctor& source, int n) {
    ImageControl ctrl;
    for (int i = 0; i < n; ++i) {
        MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
        ASSERT_TRUE(obj->create(SH, {{COL, 2}, {LIN, 2}}));
        DuvAs as(obj);
        MrPtr<MiniHeader> header(Rudu::HeapObject<MiniHeader>::Create());
        ctrl.setIndex(REP, i);
        ASSERT_EQ(p.RaiseImage(source, "ImageReady", as, header, ctrl), I_OK);
    }
}

// Position of the first trace whose text is `text`, or -1.
long traceIndex(const duvtrace::MemoryTraceSink& sink, const std::string& text) {
    const std::vector<std::string> t = sink.texts();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i] == text) return long(i);
    return -1;
}

std::vector<std::string> moduleTraces(const duvtrace::MemoryTraceSink& sink, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& r : sink.find("DUV.DuvTestModule", 0, "", ""))
        if (r.text.rfind(prefix, 0) == 0) out.push_back(r.text);
    return out;
}

std::vector<std::string> names(const std::vector<MrFunctor>& stages) {
    std::vector<std::string> out;
    for (const auto& s : stages) out.push_back(s.Name());
    return out;
}

// The host's scan pipeline before composition: root -> sink in "root_ps".
struct ScanPipeline {
    ScanPipeline() : pipeline(testProtocol(), &env) {
        MrPipeService s = pipeline.AddPipeService("root_ps");
        root = addStage(pipeline, s, "root", rootStage);
        sinkHandle = addStage(pipeline, s, "sink", sink);
        pipeline.Connect(root, "ScanReady", sinkHandle, "ComputeScan");
        sink->onScan = [this](DuvAs& as, MdhProxy& mdh) {
            std::lock_guard<std::mutex> g(mutex);
            sinkLines.push_back(mdh->sLC.ushLine);
            sinkSamples.push_back(*static_cast<float*>(as.calcSplObjStartAddr()));
            sinkThreads.insert(std::this_thread::get_id());
        };
    }
    MrPipeService rootService() { return pipeline.toolbox().FindPipeService("root_ps", true); }

    RecordingEnvironment env;
    DuvPipeline pipeline;
    DuvRootFunctor* rootStage = nullptr;
    DuvSinkFunctor* sink = nullptr;
    MrFunctor root, sinkHandle;
    std::mutex mutex;
    std::vector<int> sinkLines;
    std::vector<float> sinkSamples;
    std::set<std::thread::id> sinkThreads;
};

std::vector<int> upTo(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i) v.push_back(i);
    return v;
}

std::vector<long> upToLong(int n) {
    std::vector<long> v;
    for (int i = 0; i < n; ++i) v.push_back(i);
    return v;
}

// ===========================================================================
// Module loading
// ===========================================================================
TEST(PipelineModules, CreatesTypeAtLibraryFromTheLibraryDirectoryAndFillsProperties) {
    const std::vector<std::string>& path = ModuleLoader::instance().searchPath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(std::ifstream(path[0] + "/" + DuvPlatform::LibraryFileName("duvhost")).good()) << path[0];

    DuvPipeline p(testProtocol(), nullptr);
    MrPipeService s = p.AddPipeService("ps");
    MrFunctor a = s.CreateFunctor("A", kScanStage, 2);
    ASSERT_FALSE(a.IsBad());
    EXPECT_EQ(a.Name(), "A");
    EXPECT_EQ(a.PipeServiceName(), "ps");
    EXPECT_EQ(a.Component()->GetType()->Name(), "TestScanStage");
    EXPECT_EQ(dynamic_cast<DuvFunctorBase*>(a.Component())->getName(), "A");
    EXPECT_EQ(property<long>(a, "Gain"), 5);
    EXPECT_EQ(property<double>(a, "Scale"), 2.5);
    EXPECT_EQ(property<std::string>(a, "Label"), "from protocol");
    EXPECT_EQ(property<long>(a, "FailAt"), -1);  // no protocol path: constructor value
}

TEST(PipelineModules, CreationErrorsNameWhatIsWrong) {
    DuvPipeline p(testProtocol(), nullptr);
    MrPipeService s = p.AddPipeService("ps");
    try {
        s.CreateFunctor("X", "Stage@NoSuchModule");
        FAIL() << "no error";
    } catch (const ProtocolComposer::Error& e) {
        EXPECT_THAT(e.what(), HasSubstr("'NoSuchModule'"));
        EXPECT_THAT(e.what(), HasSubstr(ModuleLoader::instance().searchPath()[0]));
#ifdef _WIN32
        EXPECT_THAT(e.what(), HasSubstr("NoSuchModule.dll"));
        EXPECT_THAT(e.what(), Not(HasSubstr("libNoSuchModule")));
        EXPECT_THAT(e.what(), HasSubstr(": error 126"));  // ERROR_MOD_NOT_FOUND from LoadLibrary
#else
        EXPECT_THAT(e.what(), HasSubstr("libNoSuchModule.so"));
        EXPECT_THAT(e.what(), HasSubstr("cannot open shared object file"));  // dlerror()
#endif
    }
    try {
        s.CreateFunctor("X", "Nope@DuvTestModule");
        FAIL() << "no error";
    } catch (const ProtocolComposer::Error& e) {
        EXPECT_STREQ(e.what(), "module 'DuvTestModule' cannot create an object of type 'Nope'");
    }
    EXPECT_THROW(s.CreateFunctor("X", "NoLibrary"), ProtocolComposer::Error);
    EXPECT_THROW(s.CreateFunctor("X", "Stage@../lib/DuvTestModule"), ProtocolComposer::Error);
    s.CreateFunctor("A", kScanStage);
    EXPECT_THROW(s.CreateFunctor("A", kScanStage), ProtocolComposer::Error);  // name taken
    EXPECT_EQ(ModuleLoader::instance().createComposer("DuvTestModule", "NoConfigurator"), nullptr);
    EXPECT_EQ(names(p.Stages()), std::vector<std::string>{"A"});

    // A path that selects nothing is the protocol tree's error, naming stage, property and path.
    DuvPipeline empty(XProtocol(), nullptr);
    MrPipeService es = empty.AddPipeService("ps");
    try {
        es.CreateFunctor("A", kScanStage);
        FAIL() << "no error";
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_STREQ(e.what(), "stage A: property Gain: protocol path TEST.lGain not found");
    }
    EXPECT_TRUE(empty.Stages().empty());
}

TEST(PipelineModules, PropertyNodesOfAStage) {
    DuvPipeline p(testProtocol(), nullptr);
    MrFunctor a = p.AddPipeService("ps").CreateFunctor("A", kScanStage);
    a.At("Gain").FromLong(7);
    a["Label"].FromString("set by name");
    EXPECT_EQ(property<long>(a, "Gain"), 7);
    EXPECT_EQ(a.At("Label").ToString(), "set by name");
    EXPECT_TRUE(a.At("_Execute").ToBool());  // published by IFunctor, read-only

    const std::string refusal = "Node: A: SetProperty - Parameter not found Nope";
    XNode nope = a.At("Nope", false);  // the lookup itself does not throw
    try {
        nope.FromString("x");
        FAIL() << "no error";
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_EQ(e.what(), refusal);
    }
    try {
        a["Nope"];  // must exist
        FAIL() << "no error";
    } catch (const ReadonlyXNode::Exception& e) {
        EXPECT_EQ(e.what(), refusal);
    }
    EXPECT_THROW(a.At("_Execute").FromBool(false), ReadonlyXNode::Exception);
}

TEST(PipelineModules, IFunctorTypeRecordPublishesFourReadOnlyProperties) {
    const Rudu::Type* t = IFunctor::TypeOf();
    EXPECT_EQ(t->Name(), "IFunctor");
    EXPECT_TRUE(t->Bases().empty());
    std::vector<std::string> props;
    for (const auto& d : t->Properties()) {
        props.push_back(d.name);
        EXPECT_TRUE(d.readOnly()) << d.name;
        EXPECT_TRUE(d.description.empty()) << d.name;
    }
    EXPECT_THAT(props, ElementsAre("Threading", "_Execute", "_BypassEvents", "_BypassSinks"));
    MrPtr<DuvSinkFunctor> sink(Rudu::HeapObject<DuvSinkFunctor>::Create());
    EXPECT_EQ(std::get<Rudu::DefaultThreading>(t->Properties()[0].get(*sink)), Rudu::DefaultThreading::Default);
    EXPECT_TRUE(std::get<std::vector<std::string>>(t->Properties()[3].get(*sink)).empty());
}

// ===========================================================================
// Composition
// ===========================================================================
TEST(PipelineComposition, CreateConnectFunctorMovesTheSuccessorsBehindTheNewStage) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    MrPipeService s = sp.rootService();
    MrFunctor a = s.CreateConnectFunctor(sp.root, "ScanReady", "A", kScanStage, "ComputeScan", true);
    MrFunctor b = s.CreateConnectFunctor(a, "ScanReady", "B", kScanStage, "ComputeScan", true);
    EXPECT_EQ(names(sp.pipeline.Stages()), (std::vector<std::string>{"root", "A", "B", "sink"}));

    ASSERT_EQ(sp.pipeline.Init(), I_OK);
    sp.pipeline.Start();
    feedScans(sp.pipeline, sp.root, 3);
    ASSERT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);
    // root -> A -> B -> sink, each scan once; within one service a direct call.
    EXPECT_THAT(moduleTraces(*traces, "A Compute"), ElementsAre("A ComputeScan 0", "A ComputeScan 1", "A ComputeScan 2"));
    EXPECT_THAT(moduleTraces(*traces, "B Compute"), ElementsAre("B ComputeScan 0", "B ComputeScan 1", "B ComputeScan 2"));
    EXPECT_EQ(sp.sinkLines, upTo(3));
    EXPECT_LT(traceIndex(*traces, "A ComputeScan 2"), traceIndex(*traces, "B ComputeScan 2"));
    EXPECT_EQ(property<long>(b, "Calls"), 3);
}

TEST(PipelineComposition, CreateConnectFunctorRefusalsAndTheirMustExistFlag) {
    ScanPipeline sp;
    MrPipeService s = sp.rootService();
    EXPECT_THROW(s.CreateConnectFunctor(MrFunctor(), "ScanReady", "A", kScanStage, "ComputeScan", true),
                 ProtocolComposer::Error);
    try {
        s.CreateConnectFunctor(sp.root, "NoEvent", "A", kScanStage, "ComputeScan", true);
        FAIL() << "no error";
    } catch (const ProtocolComposer::Error& e) {
        EXPECT_STREQ(e.what(), "CreateConnectFunctor('A'): functor 'root' has no event 'NoEvent'");
    }
    try {
        s.CreateConnectFunctor(sp.root, "ScanReady", "A", kScanStage, "NoMethod", true);
        FAIL() << "no error";
    } catch (const ProtocolComposer::Error& e) {
        EXPECT_STREQ(e.what(), "CreateConnectFunctor('A'): functor 'A' has no method 'NoMethod'");
    }
    // An image stage cannot take the root's scans.
    EXPECT_TRUE(s.CreateConnectFunctor(sp.root, "ScanReady", "W", kImageStage, "ComputeImage", false).IsBad());
    EXPECT_TRUE(s.CreateConnectFunctor(sp.root, "NoEvent", "A", kScanStage, "ComputeScan", false).IsBad());
    EXPECT_EQ(names(sp.pipeline.Stages()), (std::vector<std::string>{"root", "sink"}));  // nothing half-made
}

TEST(PipelineComposition, ExportConfiguratorSplicesItsStageIntoAServiceOfItsOwn) {
    duvtrace::ScopedMemorySink traces;
    RecordingEnvironment env;
    DuvPipeline p(testProtocol(), &env);
    MrPipeService rootService = p.AddPipeService("root_ps");
    DuvRootFunctor* rootStage;
    DuvImaFinishFunctor* finish;
    Probe* sink;
    MrFunctor root = addStage(p, rootService, "root", rootStage);
    MrFunctor ima = addStage(p, rootService, "imafinish", finish);
    MrFunctor out = addStage(p, rootService, "imasink", sink);
    p.Connect(root, "ImageReady", ima, "ComputeImage");
    p.Connect(ima, "ImageReady", out, "ComputeImage");

    ProtocolComposer::IComposer* composer =
        ModuleLoader::instance().createComposer("DuvTestModule", "TestExportConfigurator");
    ASSERT_NE(composer, nullptr);
    EXPECT_EQ(p.Compose(*composer), I_OK);
    composer->selfDestroy();

    std::vector<std::string> layout;
    for (const MrPipeService& s : p.Services())
        for (const MrFunctor& f : p.StagesOf(s)) layout.push_back(s.Name() + ":" + f.Name());
    EXPECT_THAT(layout, ElementsAre("root_ps:root", "root_ps:imafinish", "qomNifti_ps:writer",
                                    "new_successor_ps:imasink"));
    MrFunctor writer = p.toolbox().FindFunctor("writer", true);
    EXPECT_EQ(writer.PipeServiceName(), "qomNifti_ps");
    EXPECT_EQ(p.toolbox().FindPipeService("qomNifti_ps", true).PoolThreads(), 1);
    EXPECT_EQ(p.toolbox().ProgramName(), "OLTA");
    EXPECT_EQ(property<std::string>(writer, "Suffix"), "sfx");
    EXPECT_FALSE(property<bool>(writer, "DoNotPass"));

    ASSERT_EQ(p.Init(), I_OK);
    p.Start(4);  // a short queue: the feeder has to wait now and then
    feedImages(p, root, 20);
    ASSERT_EQ(p.EndOfJob(I_ACQ_END), I_OK);

    std::vector<long> expected;
    std::vector<std::string> written{"writer FirstCall 0"};
    for (int i = 0; i < 20; ++i) {
        expected.push_back(i);
        written.push_back("writer ComputeImage " + std::to_string(i));
    }
    written.push_back("writer endOfJob");
    EXPECT_EQ(sink->scans(), expected);
    EXPECT_EQ(moduleTraces(*traces, "writer"), written);
    EXPECT_EQ(sink->threads().size(), 1u);
    EXPECT_EQ(sink->threads().count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(sink->notes().back(), "endOfJob " + std::to_string(I_ACQ_END));
}

TEST(PipelineComposition, MustExistLookupsAndBindingErrorsAreErrorsNotCrashes) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    ProtocolComposer::Toolbox& tb = sp.pipeline.toolbox();
    try {
        tb.FindFunctor("ghost", true);
        FAIL() << "no error";
    } catch (const ProtocolComposer::Error& e) {
        EXPECT_STREQ(e.what(), "FindFunctor: no functor instance 'ghost' in the pipeline");
    }
    EXPECT_TRUE(tb.FindFunctor("ghost", false).IsBad());
    EXPECT_EQ(tb.FindFunctor("ghost", false).Name(), "");
    EXPECT_THROW(tb.FindPipeService("ghost_ps", true), ProtocolComposer::Error);
    EXPECT_TRUE(tb.FindPipeService("ghost_ps", false).IsBad());

    EXPECT_THROW(tb.InsertAfter("ghost", "ComputeScan", "ScanReady", "root", "ScanReady", true),
                 ProtocolComposer::Error);
    EXPECT_EQ(tb.InsertAfter("ghost", "ComputeScan", "ScanReady", "root", "ScanReady", false), I_FAIL);
    EXPECT_EQ(traces->find("DUV.host", duvtrace::Error, "Toolbox::InsertAfter",
                           "InsertAfter('ghost', 'root'): no functor instance 'ghost' status = 0xc0000001")
                  .size(),
              1u);
    EXPECT_EQ(tb.InsertAfter("sink", "ComputeScan", "ScanReady", "root", "ScanReady", false), I_FAIL);  // sink has no event
    EXPECT_THROW(tb.SplitAfter("ghost", "x_ps", nullptr), ProtocolComposer::Error);
    EXPECT_THROW(tb.SplitAfter("root", "root_ps", nullptr), ProtocolComposer::Error);  // name taken

    DuvImaFinishFunctor* finish;
    MrFunctor ima = addStage(sp.pipeline, sp.rootService(), "imafinish", finish);
    try {
        sp.pipeline.Connect(sp.root, "ScanReady", ima, "ComputeImage");
        FAIL() << "no error";
    } catch (const ProtocolComposer::Error& e) {
        EXPECT_STREQ(e.what(),
                     "Connect: event 'root.ScanReady' and method 'imafinish.ComputeImage' have different signatures");
    }
    EXPECT_THROW(sp.pipeline.Connect(sp.root, "ScanReady", ima, "ComputeScan"), ProtocolComposer::Error);

    // The scan configurator needs "root"; without one its must-exist lookup throws.
    DuvPipeline bare(testProtocol(), nullptr);
    bare.AddPipeService("ps");
    ProtocolComposer::IComposer* c = ModuleLoader::instance().createComposer("DuvTestModule", "TestScanConfigurator");
    ASSERT_NE(c, nullptr);
    EXPECT_THROW(bare.Compose(*c), ProtocolComposer::Error);
    // The export configurator fails softly without "imafinish".
    ProtocolComposer::IComposer* x = ModuleLoader::instance().createComposer("DuvTestModule", "TestExportConfigurator");
    EXPECT_EQ(bare.Compose(*x), I_FAIL);
    c->selfDestroy();
    x->selfDestroy();

    sp.pipeline.Start();
    EXPECT_THROW(sp.pipeline.Connect(sp.root, "ScanReady", sp.sinkHandle, "ComputeScan"), ProtocolComposer::Error);
    EXPECT_THROW(tb.SplitAfter("root", "late_ps", nullptr), ProtocolComposer::Error);
    EXPECT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);
}

// ===========================================================================
// Running a job
// ===========================================================================
TEST(PipelineRun, TwoServicesCarryItemsInOrderAndEndServiceByService) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    ProtocolComposer::IComposer* composer =
        ModuleLoader::instance().createComposer("DuvTestModule", "TestScanConfigurator");
    ASSERT_NE(composer, nullptr);
    ASSERT_EQ(sp.pipeline.Compose(*composer), I_OK);
    composer->selfDestroy();
    MrPipeService s = sp.rootService();
    MrFunctor a = sp.pipeline.toolbox().FindFunctor("scanstage", true);
    EXPECT_EQ(property<std::string>(a, "Label"), "from configurator");
    Probe* probe;
    MrFunctor b = addStage(sp.pipeline, s, "B", probe);
    ASSERT_EQ(sp.pipeline.toolbox().InsertAfter("B", "ComputeScan", "ScanReady", "scanstage", "ScanReady", true), I_OK);
    MrPipeService second = sp.pipeline.toolbox().SplitAfter("scanstage", "second_ps", nullptr);
    EXPECT_EQ(second.PoolThreads(), 1);

    const int n = 60;
    ASSERT_EQ(sp.pipeline.Init(), I_OK);
    sp.pipeline.Start(8);
    feedScans(sp.pipeline, sp.root, n);
    ASSERT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);

    std::vector<std::string> a_calls;
    for (int i = 0; i < n; ++i) a_calls.push_back("scanstage ComputeScan " + std::to_string(i));
    EXPECT_EQ(moduleTraces(*traces, "scanstage Compute"), a_calls);
    EXPECT_EQ(probe->scans(), upToLong(n));
    EXPECT_EQ(probe->headers(), upTo(n));  // each queued item carries its own header copy
    EXPECT_EQ(sp.sinkLines, upTo(n));
    std::vector<float> samples;
    for (int i = 0; i < n; ++i) samples.push_back(float(i));
    EXPECT_EQ(sp.sinkSamples, samples);  // the view keeps its data alive across the queue

    // B and the sink run on the second service's one worker, not on the feeder's thread.
    EXPECT_EQ(probe->threads().size(), 1u);
    EXPECT_EQ(sp.sinkThreads, probe->threads());
    EXPECT_EQ(probe->threads().count(std::this_thread::get_id()), 0u);

    // End of job: after the last item of each stage, the root's service before the second one.
    const long aLast = traceIndex(*traces, a_calls.back());
    const long aEnd = traceIndex(*traces, "scanstage endOfJob");
    EXPECT_GT(aEnd, aLast);
    EXPECT_GT(traceIndex(*traces, "B endOfJob"), aEnd);
    EXPECT_EQ(probe->notes().back(), "endOfJob " + std::to_string(I_ACQ_END));

    std::vector<std::string> layout;
    for (const StageStatus& st : sp.pipeline.Statuses()) {
        layout.push_back(st.service + ":" + st.stage + ":" + std::to_string(st.calls));
        EXPECT_EQ(st.endOfJob, I_OK);
    }
    EXPECT_THAT(layout, ElementsAre("root_ps:root:0", "root_ps:scanstage:60", "second_ps:B:60", "second_ps:sink:60"));
    EXPECT_EQ(sp.pipeline.FirstCallFailure(), I_OK);
}

TEST(PipelineRun, EndOfJobOfTheNextServiceWaitsForTheEarlierOnes) {
    // The first service is slow; the second must not end before it saw everything.
    ScanPipeline sp;
    Probe *slow, *fast;
    MrFunctor a = addStage(sp.pipeline, sp.rootService(), "slow", slow);
    MrFunctor b = addStage(sp.pipeline, sp.rootService(), "fast", fast);
    ProtocolComposer::Toolbox& tb = sp.pipeline.toolbox();
    ASSERT_EQ(tb.InsertAfter("slow", "ComputeScan", "ScanReady", "root", "ScanReady", true), I_OK);
    ASSERT_EQ(tb.InsertAfter("fast", "ComputeScan", "ScanReady", "slow", "ScanReady", true), I_OK);
    tb.SplitAfter("slow", "fast_ps", nullptr);
    slow->sleepMicros = 300;
    sp.pipeline.Start(2);
    feedScans(sp.pipeline, sp.root, 20);
    EXPECT_EQ(sp.pipeline.EndOfJob(7), I_OK);
    EXPECT_EQ(fast->scans().size(), 20u);
    EXPECT_EQ(sp.sinkLines.size(), 20u);
    EXPECT_THAT(fast->notes(), ElementsAre("endOfJob 7"));
    EXPECT_EQ(fast->scansAtEnd, 20);
    EXPECT_EQ(slow->scansAtEnd, 20);
    // Once per job: a second call changes nothing.
    EXPECT_EQ(sp.pipeline.EndOfJob(7), I_OK);
    EXPECT_THAT(slow->notes(), ElementsAre("endOfJob 7"));
}

TEST(PipelineRun, CallsIntoOneStageNeverOverlapOnAPoolOfThreads) {
    ScanPipeline sp;
    Probe *fan, *worker, *dummy;
    addStage(sp.pipeline, sp.rootService(), "fan", fan);
    addStage(sp.pipeline, sp.rootService(), "worker", worker);
    ProtocolComposer::Toolbox& tb = sp.pipeline.toolbox();
    ASSERT_EQ(tb.InsertAfter("fan", "ComputeScan", "ScanReady", "root", "ScanReady", true), I_OK);
    ASSERT_EQ(tb.InsertAfter("worker", "ComputeScan", "ScanReady", "fan", "ScanReady", true), I_OK);
    MrPipeService pool = tb.SplitAfter("fan", "pool_ps", nullptr);
    addStage(sp.pipeline, sp.pipeline.AddPipeService("unused_ps"), "dummy", dummy);
    EXPECT_EQ(names(sp.pipeline.StagesOf(pool)), (std::vector<std::string>{"worker", "sink"}));
    pool.PoolThreads(4);
    pool.PoolThreads(1000);  // clipped
    EXPECT_EQ(pool.PoolThreads(), 64);
    pool.PoolThreads(4);
    worker->sleepMicros = 20;
    sp.pipeline.Start(16);
    feedScans(sp.pipeline, sp.root, 200);
    ASSERT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(worker->scans().size(), 200u);
    EXPECT_FALSE(worker->overlapped);
    std::vector<long> got = worker->scans();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, upToLong(200));
    EXPECT_EQ(sp.sinkLines.size(), 200u);
}

TEST(PipelineRun, StageFailuresAreRecordedAndTheJobStillEnds) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    MrFunctor a = sp.rootService().CreateConnectFunctor(sp.root, "ScanReady", "A", kScanStage, "ComputeScan", true);
    a.At("FailAt").FromLong(2);
    a.At("ThrowAt").FromLong(4);
    a.At("EndOfJobStatus").FromLong(long(I_FAIL));
    MrPipeService second = sp.pipeline.toolbox().SplitAfter("root", "second_ps", nullptr);
    Probe* ender;
    addStage(sp.pipeline, second, "ender", ender);
    ender->throwAtEnd = true;

    sp.pipeline.Start();
    feedScans(sp.pipeline, sp.root, 6);
    EXPECT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_FAIL);
    EXPECT_EQ(sp.sinkLines, (std::vector<int>{0, 1, 3, 5}));

    const std::vector<StageStatus> st = sp.pipeline.Statuses();
    ASSERT_EQ(st.size(), 4u);
    EXPECT_EQ(st[1].stage, "A");
    EXPECT_EQ(st[1].calls, 6);
    EXPECT_EQ(st[1].failedCalls, 2);
    EXPECT_EQ(st[1].firstFailure, I_FAIL);
    EXPECT_EQ(st[1].firstFailureError, "ComputeScan returned 0xc0000001");
    EXPECT_EQ(st[1].endOfJob, I_FAIL);
    EXPECT_EQ(st[3].stage, "ender");
    EXPECT_EQ(st[3].endOfJob, I_FAIL);
    EXPECT_EQ(st[2].calls, 4);  // the sink
    EXPECT_EQ(sp.pipeline.FirstCallFailure(), I_FAIL);
    EXPECT_EQ(traces->find("DUV.host", duvtrace::Error, "DuvPipeline",
                           "functor 'A': ComputeScan threw: A cannot take scan 4 status = 0xc0000001")
                  .size(),
              1u);
    EXPECT_TRUE(traces->contains("functor 'ender': endOfJob threw: probe cannot end status = 0xc0000001"));
}

TEST(PipelineRun, FailedFirstCallFailsEveryScanOfTheJobAndInitRearmsIt) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    MrFunctor a = sp.rootService().CreateConnectFunctor(sp.root, "ScanReady", "A", kScanStage, "ComputeScan", true);
    a.At("FirstCallStatus").FromLong(long(I_FAIL));
    ASSERT_EQ(sp.pipeline.Init(), I_OK);
    sp.pipeline.Start();
    feedScans(sp.pipeline, sp.root, 3);
    EXPECT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(traces->count("A FirstCall 0"), 1u);
    EXPECT_TRUE(moduleTraces(*traces, "A ComputeScan").empty());
    EXPECT_EQ(sp.pipeline.Statuses()[1].failedCalls, 3);
    EXPECT_TRUE(sp.sinkLines.empty());

    // Next job: a warning from the first call lets every scan through.
    a.At("FirstCallStatus").FromLong(0x40000001L);
    ASSERT_EQ(sp.pipeline.Init(), I_OK);
    EXPECT_EQ(sp.pipeline.Statuses()[1].failedCalls, 0);  // Init starts the records afresh
    sp.pipeline.Start();
    feedScans(sp.pipeline, sp.root, 2);
    EXPECT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(traces->count("A FirstCall 0"), 2u);
    EXPECT_THAT(moduleTraces(*traces, "A ComputeScan"), ElementsAre("A ComputeScan 0", "A ComputeScan 1"));
    EXPECT_EQ(sp.sinkLines, upTo(2));
}

TEST(PipelineRun, InitInitialisesEachStageInOrderAndStopsAtTheFirstFailure) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    MrPipeService s = sp.rootService();
    MrFunctor a = s.CreateConnectFunctor(sp.root, "ScanReady", "A", kScanStage, "ComputeScan", true);
    s.CreateConnectFunctor(a, "ScanReady", "B", kScanStage, "ComputeScan", true);
    Probe *bad, *after;
    addStage(sp.pipeline, s, "bad", bad);
    addStage(sp.pipeline, s, "after", after);
    bad->beginInitStatus = I_FAIL;
    EXPECT_EQ(sp.pipeline.Init(), I_FAIL);
    std::vector<std::string> inits;
    for (const std::string& t : moduleTraces(*traces, ""))
        if (t.find("Init") != std::string::npos) inits.push_back(t);
    EXPECT_THAT(inits, ElementsAre("A BeginInit", "A EndInit", "B BeginInit", "B EndInit"));
    EXPECT_THAT(bad->notes(), ElementsAre("BeginInit"));
    EXPECT_TRUE(after->notes().empty());
    const std::vector<StageStatus> st = sp.pipeline.Statuses();
    EXPECT_EQ(st[4].stage, "bad");
    EXPECT_EQ(st[4].beginInit, I_FAIL);
    EXPECT_EQ(st[4].endInit, I_OK);
}

TEST(PipelineRun, RaiseRefusesWhatCannotBeRaised) {
    duvtrace::ScopedMemorySink traces;
    ScanPipeline sp;
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    ASSERT_TRUE(obj->create(CXFL, {{COL, 1}}));
    DuvAs as(obj);
    MdhProxy mdh;
    ScanControl ctrl;
    MrPtr<MiniHeader> header(Rudu::HeapObject<MiniHeader>::Create());
    ImageControl ictrl;
    EXPECT_EQ(sp.pipeline.RaiseScan(sp.root, "ScanReady", as, mdh, ctrl), I_FAIL);
    EXPECT_TRUE(traces->contains("cannot raise 'root.ScanReady': the pipeline has not been started status = 0xc0000001"));
    sp.pipeline.Start();
    EXPECT_EQ(sp.pipeline.RaiseScan(sp.root, "NoEvent", as, mdh, ctrl), I_FAIL);
    EXPECT_EQ(sp.pipeline.RaiseImage(sp.root, "ScanReady", as, header, ictrl), I_FAIL);
    EXPECT_EQ(sp.pipeline.RaiseImage(sp.root, "ImageReady", as, header, ictrl), I_OK);  // nothing listens
    ScanPipeline other;
    EXPECT_EQ(sp.pipeline.RaiseScan(other.root, "ScanReady", as, mdh, ctrl), I_FAIL);
    EXPECT_EQ(sp.pipeline.EndOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(sp.pipeline.RaiseScan(sp.root, "ScanReady", as, mdh, ctrl), I_FAIL);
    EXPECT_EQ(sp.sink->scans(), 0);

    // Never started: end of job still reaches every stage.
    Probe* p;
    addStage(other.pipeline, other.rootService(), "p", p);
    EXPECT_EQ(other.pipeline.EndOfJob(5), I_OK);
    EXPECT_THAT(p->notes(), ElementsAre("endOfJob 5"));
}

// ===========================================================================
// Stage bases
// ===========================================================================
class CallbackScan : public DuvScanFunctors {
public:
    const Rudu::Type* GetType() const override { return IFunctor::TypeOf(); }
    DuvStatus ComputeScan(DuvAs&, MdhProxy&, ScanControl&) override { return I_OK; }
    DuvStatus FirstCall(DuvAs&, MdhProxy&, ScanControl&) override {
        ++firstCalls;
        return firstStatus;
    }
    DuvStatus cb1(DuvAs&, MdhProxy&, ScanControl&) {
        order.push_back(1);
        return r1;
    }
    DuvStatus cb2(DuvAs&, MdhProxy&, ScanControl&) {
        order.push_back(2);
        return I_OK;
    }
    DuvStatus run() {
        DuvAs as;
        MdhProxy mdh;
        ScanControl ctrl;
        order.clear();
        return ExecuteCallbacks(as, mdh, ctrl);
    }
    int firstCalls = 0;
    DuvStatus firstStatus = I_OK, r1 = I_OK;
    std::vector<int> order;
};

TEST(StageBases, ScanCallbacksStopAtAWarningAndReturnAFailure) {
    MrPtr<CallbackScan> f(Rudu::HeapObject<CallbackScan>::Create());
    f->addCallback(&DuvScanFunctors::checkForFirstCall);
    f->addCallback(static_cast<DuvScanFunctors::Callback>(&CallbackScan::cb1));
    f->addCallback(static_cast<DuvScanFunctors::Callback>(&CallbackScan::cb2));
    EXPECT_EQ(f->run(), I_OK);  // execution is off until switched on
    EXPECT_TRUE(f->order.empty());
    EXPECT_EQ(f->firstCalls, 0);

    f->setCallbackExecution(true);
    EXPECT_EQ(f->run(), I_OK);
    EXPECT_EQ(f->order, (std::vector<int>{1, 2}));
    f->r1 = 0x40000010UL;  // warning
    EXPECT_EQ(f->run(), 0x40000010UL);
    EXPECT_EQ(f->order, std::vector<int>{1});
    f->r1 = 0x80000000UL;  // information
    EXPECT_EQ(f->run(), 0x80000000UL);
    EXPECT_EQ(f->order, std::vector<int>{1});
    f->r1 = I_MULTIPLE_FAILURES;
    EXPECT_EQ(f->run(), I_MULTIPLE_FAILURES);
    EXPECT_EQ(f->order, std::vector<int>{1});
    EXPECT_EQ(f->firstCalls, 1);
}

TEST(StageBases, FirstCallOncePerJobWithStickyFailure) {
    MrPtr<CallbackScan> f(Rudu::HeapObject<CallbackScan>::Create());
    f->addCallback(&DuvScanFunctors::checkForFirstCall);
    f->addCallback(static_cast<DuvScanFunctors::Callback>(&CallbackScan::cb1));
    f->setCallbackExecution(true);
    f->firstStatus = I_FAIL;
    EXPECT_EQ(f->run(), I_FAIL);
    EXPECT_EQ(f->run(), I_FAIL);
    EXPECT_EQ(f->firstCalls, 1);
    EXPECT_TRUE(f->order.empty());

    f->firstStatus = 0x40000001UL;
    EXPECT_EQ(f->BeginInit(nullptr), I_OK);  // a new job
    EXPECT_EQ(f->run(), 0x40000001UL);       // the warning stops the callbacks once
    EXPECT_TRUE(f->order.empty());
    EXPECT_EQ(f->run(), I_OK);
    EXPECT_EQ(f->order, std::vector<int>{1});
    EXPECT_EQ(f->firstCalls, 2);
}

class CallbackImage : public DuvImageReconFunctors {
public:
    const Rudu::Type* GetType() const override { return IFunctor::TypeOf(); }
    DuvStatus FirstCall(DuvAs&, MrPtr<MiniHeader>&, ImageControl&) override {
        ++firstCalls;
        return firstStatus;
    }
    DuvStatus run() {
        DuvAs as;
        MrPtr<MiniHeader> h;
        ImageControl ctrl;
        return ExecuteCallbacks(as, h, ctrl);
    }
    int firstCalls = 0;
    DuvStatus firstStatus = I_OK;
};

TEST(StageBases, ImageFirstCallRunsForTheFirstImageOfEachJob) {
    duvtrace::ScopedMemorySink traces;
    MrPtr<CallbackImage> f(Rudu::HeapObject<CallbackImage>::Create());
    EXPECT_EQ(f->run(), I_OK);  // no callbacks registered
    EXPECT_EQ(f->firstCalls, 0);
    f->addCB(3);
    EXPECT_TRUE(traces->contains("addCB: callback kind 3 is not supported, ignored"));
    f->addCB(0);
    EXPECT_EQ(f->run(), I_OK);
    EXPECT_EQ(f->run(), I_OK);
    EXPECT_EQ(f->firstCalls, 1);
    EXPECT_EQ(f->EndInit(nullptr), I_OK);
    f->firstStatus = I_FAIL;
    EXPECT_EQ(f->run(), I_FAIL);
    EXPECT_EQ(f->run(), I_FAIL);
    EXPECT_EQ(f->firstCalls, 2);
    EXPECT_EQ(f->BeginInit(nullptr), I_OK);
    f->firstStatus = I_OK;
    EXPECT_EQ(f->run(), I_OK);
    EXPECT_EQ(f->firstCalls, 3);
}

// ===========================================================================
// Host stages, environments, send
// ===========================================================================
TEST(HostStages, TypeRecordsAndImageFinishingPassesTheStatusOn) {
    const Rudu::Type* root = DuvRootFunctor::TypeOf();
    EXPECT_EQ(root->Name(), "DuvRootFunctor");
    ASSERT_EQ(root->Bases().size(), 1u);
    EXPECT_EQ(root->Bases()[0], IFunctor::TypeOf());
    EXPECT_TRUE(root->Methods().empty());
    ASSERT_EQ(root->Events().size(), 2u);
    EXPECT_EQ(root->Events()[0].name, "ScanReady");
    EXPECT_EQ(root->Events()[1].name, "ImageReady");
    EXPECT_TRUE(root->Properties().empty());
    EXPECT_EQ(DuvImaFinishFunctor::TypeOf()->Name(), "DuvImaFinishFunctor");
    EXPECT_EQ(DuvImaFinishFunctor::TypeOf()->Methods()[0].name, "ComputeImage");
    EXPECT_EQ(DuvImaFinishFunctor::TypeOf()->Events()[0].name, "ImageReady");
    ASSERT_EQ(DuvSinkFunctor::TypeOf()->Methods().size(), 2u);
    EXPECT_EQ(DuvSinkFunctor::TypeOf()->Methods()[0].name, "ComputeScan");
    EXPECT_EQ(DuvSinkFunctor::TypeOf()->Methods()[1].name, "ComputeImage");

    MrPtr<DuvImaFinishFunctor> ima(Rudu::HeapObject<DuvImaFinishFunctor>::Create());
    ima->ImageReady.bind([](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) { return 0x40000002UL; });
    DuvAs as;
    MrPtr<MiniHeader> h;
    ImageControl c;
    EXPECT_EQ(ima->ComputeImage(as, h, c), 0x40000002UL);
}

TEST(HostStages, SendHandsTheDataSetToTheEnvironment) {
    duvtrace::ScopedMemorySink traces;
    MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
    ASSERT_TRUE(obj->create(CXFL, {{COL, 2}, {LIN, 3}}));
    float* d = reinterpret_cast<float*>(obj->data());
    for (int i = 0; i < 12; ++i) d[i] = float(i);
    DuvAs as(obj);
    ASSERT_TRUE(as.modify(LIN, 1, 1, 1));
    MrPtr<MiniHeader> header(Rudu::HeapObject<MiniHeader>::Create());
    header->set("SpectroData", true);
    ImageControl ctrl;
    ctrl.setColumns(2);

    EXPECT_EQ(DuvUtils::send(as, header, ctrl, nullptr), I_FAIL);
    EXPECT_TRUE(traces->contains("DuvUtils::send: no environment to send to status = 0xc0000001"));
    RecordingEnvironment env;
    DuvAs invalid;
    EXPECT_EQ(DuvUtils::send(invalid, header, ctrl, &env), I_FAIL);
    MrPtr<MiniHeader> none;
    EXPECT_EQ(DuvUtils::send(as, none, ctrl, &env), I_FAIL);
    EXPECT_TRUE(env.sent.empty());

    env.receiveStatus = 0x40000003UL;
    EXPECT_EQ(DuvUtils::send(as, header, ctrl, &env), 0x40000003UL);
    ASSERT_EQ(env.sent.size(), 1u);
    const RecordingEnvironment::Sent& s = env.sent[0];
    EXPECT_EQ(s.format, CXFL);
    ASSERT_EQ(s.data.size(), 16u);  // line 1: two complex floats
    float got[4];
    std::memcpy(got, s.data.data(), 16);
    EXPECT_THAT(got, ElementsAre(4.f, 5.f, 6.f, 7.f));
    EXPECT_EQ(s.control.getColumns(), 2);
    header->set("SpectroData", false);  // the record holds its own copy
    bool flag = false;
    EXPECT_TRUE(s.header->get("SpectroData", flag));
    EXPECT_TRUE(flag);

    std::string uid = "untouched";
    EXPECT_EQ(DuvUtils::GetSeriesInstanceUID(nullptr, nullptr, "", uid), I_FAIL);
    env.uidStatus = I_FAIL;
    EXPECT_EQ(DuvUtils::GetSeriesInstanceUID(&env, nullptr, "", uid), I_FAIL);
    EXPECT_EQ(uid, "untouched");
    env.uidStatus = I_OK;
    EXPECT_EQ(DuvUtils::GetSeriesInstanceUID(&env, nullptr, "", uid), I_OK);
    EXPECT_EQ(uid, "2.25.1");

    DuvEnvironment counting;
    EXPECT_EQ(counting.Receive(as, header, ctrl), I_OK);  // nobody listens
    counting.setReceiver([](DuvAs&, MrPtr<MiniHeader>&, ImageControl&) { return 0x40000004UL; });
    EXPECT_EQ(DuvUtils::send(as, header, ctrl, &counting), 0x40000004UL);
    EXPECT_EQ(DuvUtils::GetSeriesInstanceUID(&counting, nullptr, "", uid), I_OK);
    EXPECT_EQ(uid, "2.25.1");
    EXPECT_EQ(DuvUtils::GetSeriesInstanceUID(&counting, nullptr, "", uid), I_OK);
    EXPECT_EQ(uid, "2.25.2");
}

}  // namespace
