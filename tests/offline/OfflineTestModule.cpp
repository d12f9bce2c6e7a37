// A module that `duv run` loads in the tests, as it loads the real ones: a
// scan stage that a configurator connects behind "root", an image stage that
// another configurator splices behind "imafinish", both filled from protocol
// paths "TEST.*". The scan stage sends what the sinks of the offline host
// receive (a spectroscopy data set at end of job, a display image per scan),
// and each lifecycle call can be made to fail from the protocol.
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "duvhost/Functors.h"
#include "duvhost/Graphics.h"
#include "duvhost/Installation.h"
#include "duvhost/Pipeline.h"

extern "C" {
Rudu::Module* OfflineTestModuleModule();
Rudu::Component* OfflineTestModule__CreateObject(const char* typeName);
ProtocolComposer::IComposer* OfflineTestModule_createProtocolComposer(const char* name, double version);
}

namespace {

using ScanEvent = MulticastDelegate_3<DuvStatus, DuvAs&, MdhProxy&, ScanControl&>;
using ImageEvent = MulticastDelegate_3<DuvStatus, DuvAs&, MrPtr<MiniHeader>&, ImageControl&>;

DuvStatus failWith(DuvStatus status) {
    DuvFramework::SetLastError(status, nullptr);
    return status;
}

// A status code held in a long property (the protocol's integer): through
// unsigned long, so that where long has 32 bits the code comes back rather
// than a sign-extended one.
DuvStatus statusOf(long code) { return static_cast<unsigned long>(code); }

// Scan stage. Properties (protocol path): Label (TEST.tLabel) becomes the
// data set's SequenceDescription, DwellNs (TEST.lDwellNs) its RealDwellTime;
// InitStatus (TEST.lInitStatus) is returned by BeginInit, FailAt
// (TEST.lFailAt) makes that scan fail, EndOfJobStatus (TEST.lEndOfJobStatus)
// is returned by end of job; DisplayEvery (TEST.lDisplayEvery) sends a
// display image every n scans; CalibText (TEST.tCalibText) is appended to the
// calibration values file at end of job; Diagnostic (TEST.tDiagnostic), when
// not empty, is printed before any of those failures is returned, through
// each way a module prints: "std::cerr\n", "stderr\n", "std::cout\n" and
// then the text itself with printf, no line feed added.
class OfflineScanStage : public DuvScanFunctors {
public:
    OfflineScanStage() {
        addCallback(&DuvScanFunctors::checkForFirstCall);
        setCallbackExecution(true);
    }
    static const Rudu::Type* TypeOf() {
        using S = OfflineScanStage;
        static const Rudu::Type type(
            "OfflineScanStage", {IFunctor::TypeOf()}, {Rudu::MakeMethod("ComputeScan", &S::ComputeScan)},
            {Rudu::MakeEvent("ScanReady", &S::ScanReady)},
            {Rudu::MakeProperty("Label", &S::getLabel, &S::setLabel, "TEST.tLabel"),
             Rudu::MakeProperty("DwellNs", &S::getDwellNs, &S::setDwellNs, "TEST.lDwellNs"),
             Rudu::MakeProperty("InitStatus", &S::getInitStatus, &S::setInitStatus, "TEST.lInitStatus"),
             Rudu::MakeProperty("FailAt", &S::getFailAt, &S::setFailAt, "TEST.lFailAt"),
             Rudu::MakeProperty("EndOfJobStatus", &S::getEndOfJobStatus, &S::setEndOfJobStatus,
                                "TEST.lEndOfJobStatus"),
             Rudu::MakeProperty("DisplayEvery", &S::getDisplayEvery, &S::setDisplayEvery, "TEST.lDisplayEvery"),
             Rudu::MakeProperty("CalibText", &S::getCalibText, &S::setCalibText, "TEST.tCalibText"),
             Rudu::MakeProperty("Diagnostic", &S::getDiagnostic, &S::setDiagnostic, "TEST.tDiagnostic")});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }

    DuvStatus BeginInit(IRuduEnvironment* env) override {
        getStdStackTraceStream("DUV.OfflineTestModule", duvtrace::Notice, 1, "Test", "OfflineTestModule",
                               "OfflineTestModule.cpp", __LINE__, "BeginInit", "DLL", false)
            << getName() << " BeginInit, label " << label_;
        const DuvStatus status = DuvScanFunctors::BeginInit(env);
        if (DuvIsFailure(statusOf(initStatus_))) return failPrinting(statusOf(initStatus_));
        return status;
    }

    DuvStatus ComputeScan(DuvAs& as, MdhProxy& mdh, ScanControl& ctrl) override {
        const DuvStatus status = ExecuteCallbacks(as, mdh, ctrl);
        if (DuvIsFailure(status)) return status;
        ++scans_;
        if (ctrl.lScanIndex == failAt_) return failPrinting(I_FAIL);
        // Keep channel 0 of the latest readout for end of job.
        last_.assign(size_t(as.getLen(COL)), {});
        const auto* src = static_cast<const std::complex<float>*>(as.calcSplObjStartAddr());
        if (src) std::memcpy(last_.data(), src, last_.size() * sizeof(last_[0]));
        if (displayEvery_ > 0 && ctrl.lScanIndex % displayEvery_ == 0) sendDisplay(ctrl.lScanIndex);
        return ScanReady(as, mdh, ctrl);
    }

    DuvStatus endOfJob(DuvStatus status) override {
        if (!last_.empty()) {
            MrPtr<DuvObj> obj(Rudu::HeapObject<DuvObj>::Create());
            obj->create(CXFL, {{COL, long(last_.size())}, {LIN, 1}});
            std::memcpy(obj->data(), last_.data(), last_.size() * sizeof(last_[0]));
            DuvAs as(obj);
            MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
            h->set("SpectroData", true, true);
            h->set("RealDwellTime", dwellNs_);
            h->set("ImageComment", "");
            h->set("SequenceDescription", label_);
            h->set("TE", 30.0);
            h->set("NoOfCols", 1L);
            h->set("NoOfRows", 1L);
            h->setArrayValues("PosVec", {0.0, 0.0, 0.0});
            h->setArrayValues("RowVec", {0.0, 0.0, 0.0});
            h->setArrayValues("ColVec", {0.0, 0.0, 0.0});
            h->set("Suffix4DataFileName", "-1_1_1_1_1", true);
            h->set("ScansSeen", scans_);
            h->set("EndStatusSeen", static_cast<std::int64_t>(status));
            ImageControl ctrl;
            if (DuvIsFailure(DuvUtils::send(as, h, ctrl, environment()))) return failWith(I_FAIL);
        }
        if (!calibText_.empty()) {
            const std::string path = DuvHost::SimulationDataDirectory() + "zorp_calibs.ini";
            if (std::FILE* f = std::fopen(path.c_str(), "at")) {
                std::fprintf(f, "%s\n\n", calibText_.c_str());
                std::fclose(f);
            }
        }
        const DuvStatus endStatus = statusOf(endOfJobStatus_);
        if (DuvIsFailure(endStatus)) return failPrinting(endStatus);
        return I_OK;
    }

    std::string getLabel() const { return label_; }
    void setLabel(std::string v) { label_ = std::move(v); }
    long getDwellNs() const { return dwellNs_; }
    void setDwellNs(long v) { dwellNs_ = v; }
    long getInitStatus() const { return initStatus_; }
    void setInitStatus(long v) { initStatus_ = v; }
    long getFailAt() const { return failAt_; }
    void setFailAt(long v) { failAt_ = v; }
    long getEndOfJobStatus() const { return endOfJobStatus_; }
    void setEndOfJobStatus(long v) { endOfJobStatus_ = v; }
    long getDisplayEvery() const { return displayEvery_; }
    void setDisplayEvery(long v) { displayEvery_ = v; }
    std::string getCalibText() const { return calibText_; }
    void setCalibText(std::string v) { calibText_ = std::move(v); }
    std::string getDiagnostic() const { return diagnostic_; }
    void setDiagnostic(std::string v) { diagnostic_ = std::move(v); }

    ScanEvent ScanReady;

private:
    DuvStatus failPrinting(DuvStatus status) {
        if (!diagnostic_.empty()) {
            std::cerr << "std::cerr\n";
            std::fprintf(stderr, "stderr\n");
            std::cout << "std::cout\n";
            std::printf("%s", diagnostic_.c_str());
        }
        return failWith(status);
    }

    // A blank 64 x 64 image with a polygon and a two-line text in its overlay.
    void sendDisplay(long scan) {
        MrPtr<MiniHeader> h(Rudu::HeapObject<MiniHeader>::Create());
        GraphOverlay overlay(h->getProtocol());
        const MrPoint points[3] = {{0.1, 0.9}, {0.5, 0.1}, {0.9, 0.9}};
        XNode p = XNodeTraits_MrPolygon_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
        XNodeTraits_MrPolygon_setValue(p, MrPolygon(points, 3, MrColor(0, 1, 0)));
        XNode t = XNodeTraits_MrText_createNode(overlay, std::to_string(overlay.ElementCount() + 1));
        XNodeTraits_MrText_setValue(t, MrText(MrPoint(0.3, 0.05), MrColor(0, 1, 0),
                                              "Single-shot spectrum\nscan " + std::to_string(scan)));
        h->set("SkipSaveOnHost", true, true);
        h->set("SecondaryCaptured", true, true);
        MrPtr<DuvObj> img(Rudu::HeapObject<DuvObj>::Create());
        img->create(SH, {{COL, 64}, {LIN, 64}});
        DuvAs as(img);
        ImageControl ctrl;
        DuvUtils::send(as, h, ctrl, environment());
    }

    std::string label_, calibText_, diagnostic_;
    long dwellNs_ = 0, initStatus_ = 0, failAt_ = -1, endOfJobStatus_ = 0, displayEvery_ = 0, scans_ = 0;
    std::vector<std::complex<float>> last_;
};

// Image stage: passes every image on; at end of job it writes the number of
// images it saw to "images.txt" in its export directory (ExportFilePath,
// which the offline host sets). With FullDiskSidecar (TEST.lFullDiskSidecar)
// not 0 it also leaves an exported file "images.nii" whose JSON sidecar
// cannot be written: the sidecar's temporary name leads to /dev/full.
class OfflineImageStage : public DuvImageReconFunctors {
public:
    OfflineImageStage() { addCB(0); }
    static const Rudu::Type* TypeOf() {
        using S = OfflineImageStage;
        static const Rudu::Type type(
            "OfflineImageStage", {IFunctor::TypeOf()}, {Rudu::MakeMethod("ComputeImage", &S::ComputeImage)},
            {Rudu::MakeEvent("ImageReady", &S::ImageReady)},
            {Rudu::MakeProperty("ExportFilePath", &S::getExportFilePath, &S::setExportFilePath, ""),
             Rudu::MakeProperty("FullDiskSidecar", &S::getFullDiskSidecar, &S::setFullDiskSidecar,
                                "TEST.lFullDiskSidecar")});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }

    DuvStatus ComputeImage(DuvAs& as, MrPtr<MiniHeader>& header, ImageControl& ctrl) {
        const DuvStatus status = ExecuteCallbacks(as, header, ctrl);
        if (DuvIsFailure(status)) return status;
        ++images_;
        return ImageReady(as, header, ctrl);
    }
    DuvStatus endOfJob(DuvStatus) override {
        std::FILE* f = std::fopen((exportFilePath_ + "/images.txt").c_str(), "w");
        if (!f) return failWith(I_FAIL);
        std::fprintf(f, "%ld\n", images_);
        std::fclose(f);
        if (fullDiskSidecar_) {
            if (std::FILE* nii = std::fopen((exportFilePath_ + "/images.nii").c_str(), "w")) std::fclose(nii);
            if (symlink("/dev/full", (exportFilePath_ + "/images.json.partial").c_str()) != 0)
                return failWith(long(I_FAIL));
        }
        return I_OK;
    }
    std::string getExportFilePath() const { return exportFilePath_; }
    void setExportFilePath(std::string v) { exportFilePath_ = std::move(v); }
    long getFullDiskSidecar() const { return fullDiskSidecar_; }
    void setFullDiskSidecar(long v) { fullDiskSidecar_ = v; }

    ImageEvent ImageReady;

private:
    std::string exportFilePath_;
    long images_ = 0, fullDiskSidecar_ = 0;
};

class ConfiguratorBase : public Rudu::Component, public ProtocolComposer::IComposer {};

class OfflineScanConfigurator : public ConfiguratorBase {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type("OfflineScanConfigurator", {}, {}, {}, {});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus Compose(ProtocolComposer::Toolbox& toolbox) override {
        toolbox.Init("OLTA");
        MrFunctor root = toolbox.FindFunctor("root", true);
        MrPipeService service = toolbox.FindPipeService(root.PipeServiceName(), true);
        service.CreateConnectFunctor(root, "ScanReady", "offlinescan", "OfflineScanStage@OfflineTestModule",
                                     "ComputeScan", true);
        return I_OK;
    }
};

class OfflineExportConfigurator : public ConfiguratorBase {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type("OfflineExportConfigurator", {}, {}, {}, {});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus Compose(ProtocolComposer::Toolbox& toolbox) override {
        toolbox.Init("OLTA");
        MrFunctor predecessor = toolbox.FindFunctor("imafinish", true);
        MrPipeService service = toolbox.FindPipeService(predecessor.PipeServiceName(), true);
        MrFunctor writer = service.CreateFunctor("offlinewriter", "OfflineImageStage@OfflineTestModule", 2);
        toolbox.InsertAfter(writer.Name(), "ComputeImage", "ImageReady", predecessor.Name(), "ImageReady", true);
        toolbox.SplitAfter(predecessor.Name(), "offline_ps", nullptr).PoolThreads(1);
        return I_OK;
    }
};

// Fails its composition: the host must report the status.
class OfflineFailingConfigurator : public ConfiguratorBase {
public:
    static const Rudu::Type* TypeOf() {
        static const Rudu::Type type("OfflineFailingConfigurator", {}, {}, {}, {});
        return &type;
    }
    const Rudu::Type* GetType() const override { return TypeOf(); }
    DuvStatus Compose(ProtocolComposer::Toolbox&) override { return failWith(I_FAIL); }
};

const Rudu::FactoryEntry kFactory[] = {
    {"OfflineScanStage", &OfflineScanStage::TypeOf, &Rudu::HeapObject<OfflineScanStage>::CreateComponent},
    {"OfflineImageStage", &OfflineImageStage::TypeOf, &Rudu::HeapObject<OfflineImageStage>::CreateComponent},
    {"OfflineScanConfigurator", &OfflineScanConfigurator::TypeOf,
     &Rudu::HeapObject<OfflineScanConfigurator>::CreateComponent},
    {"OfflineExportConfigurator", &OfflineExportConfigurator::TypeOf,
     &Rudu::HeapObject<OfflineExportConfigurator>::CreateComponent},
    {"OfflineFailingConfigurator", &OfflineFailingConfigurator::TypeOf,
     &Rudu::HeapObject<OfflineFailingConfigurator>::CreateComponent},
    {nullptr, nullptr, nullptr},
};

void* noPerformanceMap(void*) { return nullptr; }

}  // namespace

extern "C" Rudu::Module* OfflineTestModuleModule() {
    static Rudu::Module* module = [] {
        Rudu::GlobalGuard guard;
        return new Rudu::Module("OfflineTestModule");
    }();
    return module;
}

extern "C" Rudu::Component* OfflineTestModule__CreateObject(const char* typeName) {
    Rudu::Module* module = OfflineTestModuleModule();
    module->Lock();
    Rudu::Component* object = module->CreateInstance(typeName, kFactory, &noPerformanceMap);
    module->Unlock();
    return object;
}

extern "C" ProtocolComposer::IComposer* OfflineTestModule_createProtocolComposer(const char* name, double version) {
    return Rudu::CreateProtocolComposer(&OfflineTestModule__CreateObject, name, version);
}
