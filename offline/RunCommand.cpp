#include "RunCommand.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DisplaySink.h"
#include "MeasurementFiles.h"
#include "SpectraSink.h"
#include "duvhost/HostStages.h"
#include "duvhost/Installation.h"
#include "duvhost/Pipeline.h"

namespace duvoffline {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string hex(unsigned long s) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%lx", s);
    return buf;
}

// Leaves the working directory as it was when the run ends.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
    ~WorkingDirectory() {
        std::error_code ec;
        fs::current_path(saved_, ec);
    }

private:
    fs::path saved_;
};

class Progress {
public:
    Progress(uint64_t total, bool enabled) : total_(total), enabled_(enabled && isatty(2) && total > 0) {}
    void update(uint64_t done) {
        if (!enabled_) return;
        const int percent = int(done * 100 / total_);
        if (percent == last_) return;
        last_ = percent;
        const int width = 40, filled = percent * width / 100;
        std::fprintf(stderr, "\r[%.*s%*s] %3d%% %llu/%llu", filled, "########################################",
                     width - filled, "", percent, static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total_));
        std::fflush(stderr);
    }
    ~Progress() {
        if (enabled_) std::fprintf(stderr, "\n");
    }

private:
    uint64_t total_;
    bool enabled_;
    int last_ = -1;
};

const char* configuratorOf(const std::string& module) {
    return module == "Viviv" ? "Viviv_NS_qomDuvPrgB0Configurator" : "Derovo2Configurator";
}

int fail(int code, const std::string& message) {
    std::cerr << "duv run: " << message << "\n";
    return code;
}

}  // namespace

int runMeasurement(const RunOptions& o) {
    const auto started = std::chrono::steady_clock::now();
    std::error_code ec;
    const fs::path in = fs::absolute(o.input);
    if (!fs::is_directory(in)) return fail(2, in.string() + ": not a directory");

    // --- inputs: everything is checked before anything is written ---
    XProtocol protocol;
    try {
        protocol = XProtocol::LoadFromFile((in / "protocol.txt").string());
    } catch (const std::exception& e) {
        return fail(2, e.what());
    }
    const bool haveReadouts = fs::exists(in / "readouts.bin"), haveImages = fs::exists(in / "images.bin");
    if (haveReadouts == haveImages)
        return fail(2, in.string() + ": needs exactly one of readouts.bin and images.bin");
    std::unique_ptr<duvfiles::ReadoutReader> readouts;
    std::unique_ptr<duvfiles::ImageReader> images;
    try {
        if (haveReadouts)
            readouts = std::make_unique<duvfiles::ReadoutReader>((in / "readouts.bin").string());
        else
            images = std::make_unique<duvfiles::ImageReader>((in / "images.bin").string());
    } catch (const std::exception& e) {
        return fail(2, e.what());
    }
    const std::string module = !o.module.empty() ? o.module : haveReadouts ? "Derovo2" : "Viviv";
    const uint64_t total = readouts ? readouts->count() : images->count();

    // --- output layout: the host's installation lives under OUT/host ---
    const fs::path out = fs::absolute(o.output.empty() ? (in / "out") : fs::path(o.output));
    for (const char* sub : {"spectra", "display", "nifti"}) fs::remove_all(out / sub, ec);
    fs::remove(out / "summary.json", ec);
    for (const char* sub : {"spectra", "display", "nifti", "host/SimMeasData", "host/temp", "host/MriCustomer/seq",
                            "host/work"}) {
        fs::create_directories(out / sub, ec);
        if (ec) return fail(2, (out / sub).string() + ": cannot be created: " + ec.message());
    }
    fs::remove(out / "host/SimMeasData/zorp_calibs.ini", ec);
    DuvHost::SetInstallationRoot((out / "host").string());
    WorkingDirectory cwd(out / "host/work");

    auto logFile = std::make_shared<duvtrace::FileTraceSink>((out / "trace.log").string());
    duvtrace::clearSinks();
    duvtrace::addSink(logFile);
    duvtrace::addSink(std::make_shared<duvtrace::StderrTraceSink>(o.logLevel));
    DuvFramework::ClearLastError();

    // --- where sent data go ---
    SpectraSink spectra((out / "spectra").string(), protocol);
    DisplaySink display((out / "display").string(), o.keepDisplays);
    std::atomic<long> databaseImages{0};
    DuvEnvironment env([&](DuvAs& data, MrPtr<MiniHeader>& header, ImageControl&) -> unsigned long {
        bool flag = false;
        if (header->get("SpectroData", flag) && flag) return spectra.receive(data, *header);
        if (header->get("SecondaryCaptured", flag) && flag) return display.receive(*header);
        ++databaseImages;
        return I_OK;
    });

    // --- the pipeline as the scanner composes it ---
    if (!o.modulePath.empty()) ModuleLoader::instance().setSearchPath(o.modulePath);
    DuvPipeline pipeline(protocol, &env);
    json summary;
    summary["input"] = in.string();
    summary["module"] = module;
    DuvSinkFunctor* sink = nullptr;
    MrFunctor root;
    unsigned long composeStatus = I_OK;
    try {
        MrPipeService service = pipeline.AddPipeService("root_ps");
        root = pipeline.AddStage(service, "root", MrPtr<Rudu::Component>(Rudu::HeapObject<DuvRootFunctor>::Create()));
        sink = Rudu::HeapObject<DuvSinkFunctor>::Create();
        if (readouts) {
            MrFunctor s = pipeline.AddStage(service, "scansink", MrPtr<Rudu::Component>(sink));
            pipeline.Connect(root, "ScanReady", s, "ComputeScan");
        } else {
            MrFunctor ima = pipeline.AddStage(service, "imafinish",
                                              MrPtr<Rudu::Component>(Rudu::HeapObject<DuvImaFinishFunctor>::Create()));
            MrFunctor s = pipeline.AddStage(service, "imasink", MrPtr<Rudu::Component>(sink));
            pipeline.Connect(root, "ImageReady", ima, "ComputeImage");
            pipeline.Connect(ima, "ImageReady", s, "ComputeImage");
        }
        ProtocolComposer::IComposer* composer =
            ModuleLoader::instance().createComposer(module, configuratorOf(module));
        if (!composer) return fail(1, "module " + module + " has no configurator " + configuratorOf(module));
        try {
            composeStatus = pipeline.Compose(*composer);
        } catch (...) {
            composer->selfDestroy();
            throw;
        }
        composer->selfDestroy();
        // The export directory of a writer stage is OUT/nifti.
        for (MrFunctor& stage : pipeline.Stages())
            if (stage.Component()->GetType()->FindProperty("ExportFilePath"))
                stage.At("ExportFilePath").FromString((out / "nifti").string());
    } catch (const ReadonlyXNode::Exception& e) {
        return fail(2, std::string("protocol: ") + e.what());
    } catch (const std::exception& e) {
        return fail(1, e.what());
    }
    summary["compose"] = hex(composeStatus);
    if (DuvIsFailure(composeStatus))
        return fail(1, "composing the pipeline failed with status " + hex(composeStatus) + "; last error " +
                           hex(DuvFramework::GetLastError()));

    const unsigned long initStatus = pipeline.Init();
    if (DuvIsFailure(initStatus))
        return fail(1, "initialisation failed with status " + hex(initStatus) + "; last error " +
                           hex(DuvFramework::GetLastError()));
    pipeline.Start();

    // --- feed every record ---
    const uint64_t limit = o.stopAfter >= 0 ? std::min<uint64_t>(uint64_t(o.stopAfter), total) : total;
    uint64_t fed = 0;
    {
        Progress progress(limit, o.progress);
        try {
            if (readouts) {
                duvfiles::ReadoutRecord rec;
                ScanControl ctrl;
                ctrl.lSlices = readouts->slices();
                while (fed < limit && readouts->next(rec)) {
                    DuvAs as(duvfiles::makeReadoutObject(rec));
                    MdhProxy mdh;
                    mdh.header() = rec.header;
                    ctrl.lScanIndex = int32_t(fed);
                    ctrl.bLastScanInMeas = fed + 1 == total;
                    pipeline.RaiseScan(root, "ScanReady", as, mdh, ctrl);
                    progress.update(++fed);
                }
            } else {
                duvfiles::ImageRecord rec;
                while (fed < limit && images->next(rec)) {
                    DuvAs as(duvfiles::makeImageObject(rec));
                    MrPtr<MiniHeader> header = duvfiles::makeImageHeader(rec);
                    ImageControl ctrl = rec.control;
                    pipeline.RaiseImage(root, "ImageReady", as, header, ctrl);
                    progress.update(++fed);
                }
            }
        } catch (const std::exception& e) {
            pipeline.EndOfJob(kAcquisitionStopped);
            return fail(2, e.what());
        }
    }
    const unsigned long endStatus = fed < total ? kAcquisitionStopped : I_ACQ_END;
    const unsigned long eojStatus = pipeline.EndOfJob(endStatus);
    const std::vector<std::string> displayFiles = display.flush();

    // --- summary ---
    summary["records"] = total;
    summary["fed"] = fed;
    summary["endStatus"] = hex(endStatus);
    summary[readouts ? "passedOnScans" : "passedOnImages"] = readouts ? sink->scans() : sink->images();
    summary["databaseImages"] = databaseImages.load();
    summary["dataSets"] = spectra.count();
    summary["dataSetsPerSeries"] = spectra.seriesCounts();
    summary["spectraFiles"] = spectra.files();
    summary["displayImages"] = display.count();
    summary["displayImagesPerKind"] = display.countsByKind();
    summary["displayFiles"] = displayFiles;
    std::vector<std::string> niftiFiles;
    for (const auto& e : fs::directory_iterator(out / "nifti", ec))
        if (e.is_regular_file()) niftiFiles.push_back(e.path().string());
    std::sort(niftiFiles.begin(), niftiFiles.end());
    summary["niftiFiles"] = niftiFiles;
    const fs::path calib = out / "host/SimMeasData/zorp_calibs.ini";
    if (fs::exists(calib)) {
        std::ifstream f(calib);
        std::stringstream text;
        text << f.rdbuf();
        summary["calibrationFile"] = {{"path", calib.string()}, {"content", text.str()}};
    }
    json stages = json::array();
    bool failed = DuvIsFailure(eojStatus);
    std::string firstFailure;
    for (const StageStatus& s : pipeline.Statuses()) {
        stages.push_back({{"stage", s.stage},
                          {"service", s.service},
                          {"beginInit", hex(s.beginInit)},
                          {"endInit", hex(s.endInit)},
                          {"endOfJob", hex(s.endOfJob)},
                          {"calls", s.calls},
                          {"failedCalls", s.failedCalls},
                          {"firstFailure", hex(s.firstFailure)}});
        if (firstFailure.empty() && DuvIsFailure(s.firstFailure))
            firstFailure = s.stage + " failed a call with status " + hex(s.firstFailure) +
                           (s.firstFailureError.empty() ? "" : " (" + s.firstFailureError + ")");
        if (firstFailure.empty() && DuvIsFailure(s.endOfJob))
            firstFailure = s.stage + " end of job failed with status " + hex(s.endOfJob);
        failed |= DuvIsFailure(s.firstFailure);
    }
    summary["stages"] = stages;
    summary["lastError"] = hex(DuvFramework::GetLastError());
    summary["spectraSinkError"] = spectra.lastError();
    summary["wallSeconds"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    summary["ok"] = !failed;
    std::ofstream(out / "summary.json") << summary.dump(2) << "\n";

    duvtrace::clearSinks();
    duvtrace::addSink(std::make_shared<duvtrace::StderrTraceSink>(duvtrace::Error));
    if (failed)
        return fail(1, (firstFailure.empty() ? "end of job failed with status " + hex(eojStatus) : firstFailure) +
                           "; last error " + hex(DuvFramework::GetLastError()));
    return 0;
}

}  // namespace duvoffline
