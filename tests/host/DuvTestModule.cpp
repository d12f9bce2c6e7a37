// A small module that the pipeline tests load with dlopen, as the host loads
// the real ones: a scan stage, an image stage and two configurators (one that
// connects behind the root, one that splices a stage behind "imafinish" in a
// pipe service of its own). Every stage traces what it is called with on the
// channel "DUV.DuvTestModule", so the tests can read the order of calls
// across threads from the memory trace sink.
#include <stdexcept>
#include <string>
#include <vector>

#include "duvhost/Functors.h"
#include "duvhost/Pipeline.h"

extern "C" {
Rudu::Module* DuvTestModuleModule();
Rudu::Component* DuvTestModule__CreateObject(const char* typeName);
ProtocolComposer::IComposer* DuvTestModule_createProtocolComposer(const char* name, double version);
}

#define TEST_MODULE_TRACE(function) \
    getStdStackTraceStream("DUV.DuvTestModule", duvtrace::Notice, 1, "Test", "DuvTestModule", "DuvTestModule", \
                           __LINE__, function, "DLL", false)

namespace {

using ScanEvent = MulticastDelegate_3<DuvStatus, DuvAs&, MdhProxy&, ScanControl&>;
using ImageEvent = MulticastDelegate_3<DuvStatus, DuvAs&, MrPtr<MiniHeader>&, ImageControl&>;

// Scan stage: traces "<name> ComputeScan <scan index>", fails at FailAt,
// throws at ThrowAt, returns FirstCallStatus from its first call. The status
// properties are longs (the protocol's integer): they go through unsigned
// long so that where long has 32 bits the code comes back, not sign-extended.
class TestScanStage : public DuvScanFunctors {
public:
    TestScanStage() {
        addCallback(&DuvScanFunctors::checkForFirstCall);
        setCallbackExecution(true);
    }
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type(
            "TestScanStage", {IFunctor::TypeOf()}, {Rudu::MakeMethod("ComputeScan", &TestScanStage::ComputeScan)},
            {Rudu::MakeEvent("ScanReady", &TestScanStage::ScanReady)},
            {Rudu::MakeProperty("Gain", &TestScanStage::getGain, &TestScanStage::setGain, "TEST.lGain"),
             Rudu::MakeProperty("Scale", &TestScanStage::getScale, &TestScanStage::setScale, "TEST.dScale"),
             Rudu::MakeProperty("Label", &TestScanStage::getLabel, &TestScanStage::setLabel, "TEST.tLabel"),
             Rudu::MakeProperty("FailAt", &TestScanStage::getFailAt, &TestScanStage::setFailAt, ""),
             Rudu::MakeProperty("ThrowAt", &TestScanStage::getThrowAt, &TestScanStage::setThrowAt, ""),
             Rudu::MakeProperty("FirstCallStatus", &TestScanStage::getFirstCallStatus,
                                &TestScanStage::setFirstCallStatus, ""),
             Rudu::MakeProperty("EndOfJobStatus", &TestScanStage::getEndOfJobStatus,
                                &TestScanStage::setEndOfJobStatus, ""),
             Rudu::MakeReadOnlyProperty("Calls", &TestScanStage::getCalls)});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }

    DuvStatus BeginInit(IRuduEnvironment* env) override {
        TEST_MODULE_TRACE("BeginInit") << getName() << " BeginInit";
        return DuvScanFunctors::BeginInit(env);
    }
    DuvStatus EndInit(IRuduEnvironment* env) override {
        TEST_MODULE_TRACE("EndInit") << getName() << " EndInit";
        return DuvScanFunctors::EndInit(env);
    }
    DuvStatus FirstCall(DuvAs&, MdhProxy&, ScanControl& ctrl) override {
        TEST_MODULE_TRACE("FirstCall") << getName() << " FirstCall " << ctrl.lScanIndex;
        return static_cast<unsigned long>(firstCallStatus_);
    }
    DuvStatus ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) override {
        const DuvStatus status = ExecuteCallbacks(as, mdh, ctrl);
        if (DuvIsFailure(status)) return status;
        ++calls_;
        TEST_MODULE_TRACE("ComputeScan") << getName() << " ComputeScan " << ctrl.lScanIndex;
        if (ctrl.lScanIndex == failAt_) return I_FAIL;
        if (ctrl.lScanIndex == throwAt_)
            throw std::runtime_error(getName() + " cannot take scan " + std::to_string(ctrl.lScanIndex));
        return ScanReady(as, mdh, ctrl);
    }
    DuvStatus endOfJob(DuvStatus) override {
        TEST_MODULE_TRACE("endOfJob") << getName() << " endOfJob";
        return static_cast<unsigned long>(endOfJobStatus_);
    }

    long getGain() const { return gain_; }
    void setGain(long v) { gain_ = v; }
    double getScale() const { return scale_; }
    void setScale(double v) { scale_ = v; }
    std::string getLabel() const { return label_; }
    void setLabel(std::string v) { label_ = std::move(v); }
    long getFailAt() const { return failAt_; }
    void setFailAt(long v) { failAt_ = v; }
    long getThrowAt() const { return throwAt_; }
    void setThrowAt(long v) { throwAt_ = v; }
    long getFirstCallStatus() const { return firstCallStatus_; }
    void setFirstCallStatus(long v) { firstCallStatus_ = v; }
    long getEndOfJobStatus() const { return endOfJobStatus_; }
    void setEndOfJobStatus(long v) { endOfJobStatus_ = v; }
    long getCalls() const { return calls_; }

    ScanEvent ScanReady;

private:
    long gain_ = 0, failAt_ = -1, throwAt_ = -1, firstCallStatus_ = 0, endOfJobStatus_ = 0, calls_ = 0;
    double scale_ = 0.0;
    std::string label_;
};

// Image stage: traces "<name> ComputeImage <REP index>" and passes the
// image on unless DoNotPass.
class TestImageStage : public DuvImageReconFunctors {
public:
    TestImageStage() { addCB(0); }
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type(
            "TestImageStage", {IFunctor::TypeOf()},
            {Rudu::MakeMethod("ComputeImage", &TestImageStage::ComputeImage)},
            {Rudu::MakeEvent("ImageReady", &TestImageStage::ImageReady)},
            {Rudu::MakeProperty("Suffix", &TestImageStage::getSuffix, &TestImageStage::setSuffix, "TEST.tSuffix"),
             Rudu::MakeProperty("DoNotPass", &TestImageStage::getDoNotPass, &TestImageStage::setDoNotPass, "")});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }

    DuvStatus FirstCall(DuvAs&, MrPtr<MiniHeader>&, ImageControl& ctrl) override {
        TEST_MODULE_TRACE("FirstCall") << getName() << " FirstCall " << ctrl.getIndex(REP);
        return I_OK;
    }
    DuvStatus ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
        const DuvStatus status = ExecuteCallbacks(as, header, ctrl);
        if (DuvIsFailure(status)) return status;
        TEST_MODULE_TRACE("ComputeImage") << getName() << " ComputeImage " << ctrl.getIndex(REP);
        return doNotPass_ ? I_OK : ImageReady(as, header, ctrl);
    }
    DuvStatus endOfJob(DuvStatus) override {
        TEST_MODULE_TRACE("endOfJob") << getName() << " endOfJob";
        return I_OK;
    }

    std::string getSuffix() const { return suffix_; }
    void setSuffix(std::string v) { suffix_ = std::move(v); }
    bool getDoNotPass() const { return doNotPass_; }
    void setDoNotPass(bool v) { doNotPass_ = v; }

    ImageEvent ImageReady;

private:
    std::string suffix_;
    bool doNotPass_ = true;  // the export configurator switches it off
};

class TestConfiguratorBase : public Rudu::Component, public ProtocolComposer::IComposer {};

// Connects a scan stage behind "root", as a scan module's configurator does.
class TestScanConfigurator : public TestConfiguratorBase {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type("TestScanConfigurator", {}, {}, {}, {});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus Compose(ProtocolComposer::Toolbox& toolbox) override {
        toolbox.Init("OLTA");
        MrFunctor root = toolbox.FindFunctor("root", true);
        MrPipeService service = toolbox.FindPipeService(root.PipeServiceName(), true);
        MrFunctor stage = service.CreateConnectFunctor(root, "ScanReady", "scanstage", "TestScanStage@DuvTestModule",
                                                       "ComputeScan", true);
        stage.At("Label", false).FromString("from configurator");
        return I_OK;
    }
};

// Splices an image stage behind "imafinish", alone in a pipe service with
// one pool thread, as an export module's configurator does.
class TestExportConfigurator : public TestConfiguratorBase {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type("TestExportConfigurator", {}, {}, {}, {});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus Compose(ProtocolComposer::Toolbox& toolbox) override {
        toolbox.Init("OLTA");
        MrFunctor predecessor = toolbox.FindFunctor("imafinish", false);
        if (predecessor.IsBad()) return I_FAIL;
        MrPipeService service = toolbox.FindPipeService(predecessor.PipeServiceName(), true);
        MrFunctor writer = service.CreateFunctor("writer", "TestImageStage@DuvTestModule", 2);
        writer.At("DoNotPass").FromBool(false);
        const DuvStatus status = toolbox.InsertAfter(writer.Name(), "ComputeImage", "ImageReady",
                                                         predecessor.Name(), "ImageReady", true);
        if (DuvIsFailure(status)) return I_FAIL;
        MrPipeService own = toolbox.SplitAfter(predecessor.Name(), "qomNifti_ps", nullptr);
        toolbox.SplitAfter(writer.Name(), "new_successor_ps", nullptr);
        own.PoolThreads(1);
        return I_OK;
    }
};

const Rudu::FactoryEntry kFactory[] = {
    {"TestScanStage", &TestScanStage::TypeOf, &Rudu::HeapObject<TestScanStage>::CreateComponent},
    {"TestImageStage", &TestImageStage::TypeOf, &Rudu::HeapObject<TestImageStage>::CreateComponent},
    {"TestScanConfigurator", &TestScanConfigurator::TypeOf, &Rudu::HeapObject<TestScanConfigurator>::CreateComponent},
    {"TestExportConfigurator", &TestExportConfigurator::TypeOf,
     &Rudu::HeapObject<TestExportConfigurator>::CreateComponent},
    {nullptr, nullptr, nullptr},
};

void* noPerformanceMap(void*) { return nullptr; }

}  // namespace

extern "C" Rudu::Module* DuvTestModuleModule() {
    static Rudu::Module* module = [] {
        Rudu::GlobalGuard guard;
        TEST_MODULE_TRACE("DuvTestModuleModule") << "DuvTestModule module created";
        return new Rudu::Module("DuvTestModule");
    }();
    return module;
}

extern "C" Rudu::Component* DuvTestModule__CreateObject(const char* typeName) {
    Rudu::Module* module = DuvTestModuleModule();
    module->Lock();
    Rudu::Component* object = module->CreateInstance(typeName, kFactory, &noPerformanceMap);
    module->Unlock();
    return object;
}

extern "C" ProtocolComposer::IComposer* DuvTestModule_createProtocolComposer(const char* name, double version) {
    return Rudu::CreateProtocolComposer(&DuvTestModule__CreateObject, name, version);
}
