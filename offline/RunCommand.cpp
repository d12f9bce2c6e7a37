#include "RunCommand.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DataSetSink.h"
#include "DisplaySink.h"
#include "Interrupt.h"
#include "MeasurementFiles.h"
#include "ModuleOutput.h"
#include "OutputEstimate.h"
#include "Progress.h"
#include "ProtocolWarnings.h"
#include "ReportPage.h"
#include "TextFiles.h"
#include "duvhost/HostStages.h"
#include "duvhost/Installation.h"
#include "duvhost/Pipeline.h"

namespace duvoffline {

namespace fs = std::filesystem;
using nlohmann::json;

std::string defaultConfigurator(const std::string& module) {
    return module == "Viviv" ? "Viviv_NS_qomDuvPrgB0Configurator" : module + "Configurator";
}

namespace {

std::string hex(DuvStatus s) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(s));
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

// OUT/trace.log receives every record while the run lasts; the sinks that
// were there before (standard error, a test's memory sink) stay.
class RunLog {
public:
    explicit RunLog(const fs::path& file) : sink_(std::make_shared<duvtrace::FileTraceSink>(file.string())) {
        duvtrace::addSink(sink_);
    }
    ~RunLog() { duvtrace::removeSink(sink_); }
    bool ok() const { return sink_->ok(); }
    // Ends the log; false when any record was lost.
    bool close() {
        duvtrace::removeSink(sink_);
        sink_->close();
        return sink_->ok();
    }

private:
    std::shared_ptr<duvtrace::FileTraceSink> sink_;
};

int fail(int code, const std::string& message) {
    duvErr("duv run: " + message + "\n");
    return code;
}

// A failure's reason ends with the last line the modules printed, marked as
// theirs: "...; last error 0xc0000001 (module: no data will be inserted)".
std::string withModuleLine(const std::string& message, const fs::path& moduleLog) {
    if (moduleLog.empty()) return message;
    const std::string line = lastModuleLine(moduleLog.string());
    return line.empty() ? message : message + " (module: " + line + ")";
}

// Removes the empty folders below `dir`, and `dir` itself when it is empty.
void removeEmptyFolders(const fs::path& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_directory(ec) && !e.is_symlink(ec)) removeEmptyFolders(e.path());
    if (fs::is_empty(dir, ec) && !ec) fs::remove(dir, ec);
}

// A run that does not succeed leaves no empty folders behind; what it wrote
// (trace.log, summary.json) stays and says what happened. A folder that was
// there before the run stays even when empty.
class OutputFolder {
public:
    explicit OutputFolder(fs::path dir) : dir_(std::move(dir)), existed_(fs::exists(dir_)) {}
    ~OutputFolder() {
        if (kept_) return;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir_, ec))
            if (e.is_directory(ec) && !e.is_symlink(ec)) removeEmptyFolders(e.path());
        if (!existed_ && fs::is_empty(dir_, ec) && !ec) fs::remove(dir_, ec);
    }
    void keep() { kept_ = true; }

private:
    fs::path dir_;
    bool existed_;
    bool kept_ = false;
};

std::string counted(uint64_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// "duv run: 18 readouts -> 9 spectra files, 16 display images in OUT (2.1 s)"
std::string successLine(const json& s, const fs::path& out) {
    const bool readouts = s["recordKind"] == "readouts";
    const uint64_t fed = s["fed"], records = s["records"];
    std::string line = "duv run: " + (fed < records ? std::to_string(fed) + " of " : std::string()) +
                       counted(records, readouts ? "readout" : "image") + (fed < records ? " (stopped)" : "") + " -> ";
    std::vector<std::string> parts;
    if (readouts || !s["spectraFiles"].empty()) parts.push_back(counted(s["spectraFiles"].size(), "spectra file"));
    if (readouts || s["displayImages"] > 0) parts.push_back(counted(s["displayImages"], "display image"));
    if (!readouts || !s["niftiFiles"].empty()) parts.push_back(counted(s["niftiFiles"].size(), "NIfTI file"));
    if (!s["calibrationFile"].is_null()) parts.push_back("a calibration file");
    for (size_t i = 0; i < parts.size(); ++i) line += (i ? ", " : "") + parts[i];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, " (%.1f s)", s["wallSeconds"].get<double>());
    return line + " in " + out.string() + seconds;
}

// State of the calibration values file before the run, so that the summary
// names it only when this run wrote it (a water-suppression run appends to
// the file a reference-voltage run left, as on the scanner).
struct FileStamp {
    bool exists = false;
    fs::file_time_type time{};
    uintmax_t size = 0;
};
FileStamp stampOf(const fs::path& p) {
    FileStamp s;
    std::error_code ec;
    s.exists = fs::is_regular_file(p, ec);
    if (s.exists) {
        s.time = fs::last_write_time(p, ec);
        s.size = fs::file_size(p, ec);
    }
    return s;
}

std::string readText(const fs::path& p) {
    std::ifstream f(p);
    std::stringstream text;
    text << f.rdbuf();
    return text.str();
}

json stageStatuses(const DuvPipeline& pipeline) {
    json stages = json::array();
    for (const StageStatus& s : pipeline.Statuses())
        stages.push_back({{"stage", s.stage},
                          {"service", s.service},
                          {"beginInit", hex(s.beginInit)},
                          {"endInit", hex(s.endInit)},
                          {"endOfJob", hex(s.endOfJob)},
                          {"calls", s.calls},
                          {"failedCalls", s.failedCalls},
                          {"firstFailure", hex(s.firstFailure)},
                          {"firstFailureError", s.firstFailureError}});
    return stages;
}

// The first lifecycle failure of the job in words, or empty.
std::string firstFailure(const DuvPipeline& pipeline, bool endOfJobRan) {
    for (const StageStatus& s : pipeline.Statuses()) {
        if (DuvIsFailure(s.beginInit)) return "stage " + s.stage + ": BeginInit failed with status " + hex(s.beginInit);
        if (DuvIsFailure(s.endInit)) return "stage " + s.stage + ": EndInit failed with status " + hex(s.endInit);
        if (DuvIsFailure(s.firstFailure))
            return "stage " + s.stage + ": " + std::to_string(s.failedCalls) + " of " + std::to_string(s.calls) +
                   " calls failed, the first with status " + hex(s.firstFailure) +
                   (s.firstFailureError.empty() ? "" : " (" + s.firstFailureError + ")");
        if (endOfJobRan && DuvIsFailure(s.endOfJob))
            return "stage " + s.stage + ": end of job failed with status " + hex(s.endOfJob);
    }
    return {};
}

// The export keeps the module's own frame (docs/conventions.md, "The frames of
// the files"): beside every exported NIfTI-1 file a JSON sidecar of the same
// name says which frame its world is and for which patient position. Returns
// the sidecars written; throws std::runtime_error naming one it cannot write
// (written as summary.json is, so that a full disk is a failure).
std::vector<std::string> writeExportSidecars(const std::vector<std::string>& files, const XProtocol& protocol) {
    ReadonlyXNode node = protocol.At("YAPS.tPatientPosition", false);
    const std::string position = node.IsOk() && node.IsType(ReadonlyXNode::String) ? node.ToString() : "";
    const json sidecar = {
        {"Frame", "device"},
        {"PatientPosition", position},
        {"Description",
         "world = (-X, Y, -Z) of the magnet's device coordinates (X right seen from the front of the bore, Y up, "
         "Z out of the bore): the patient's RAS only for HFS; for every other position the same magnet-fixed frame"}};
    std::vector<std::string> written;
    for (const std::string& f : files) {
        if (f.size() < 4 || f.compare(f.size() - 4, 4, ".nii") != 0) continue;
        const std::string path = f.substr(0, f.size() - 4) + ".json";
        writeJsonFile(path, sidecar);
        written.push_back(path);
    }
    return written;
}
// What the guard around a run needs to finish it when an exception ends it
// early: the output folder once the run has claimed it, and the summary so
// far.
struct RunRecord {
    fs::path out;
    bool outputClaimed = false;
    fs::path moduleLog;  // once the modules' output goes there
    json summary;
};

int runGuarded(const RunOptions& o, RunRecord& record);

}  // namespace

// Every exception ends as one line and an exit status: a protocol value that
// a reader of duv cannot take (missing, or of another type) is bad input (2),
// anything else a failed run (1), whose summary.json then says what
// happened.
int runMeasurement(const RunOptions& o) {
    RunRecord record;
    int code = 1;
    std::string message;
    try {
        return runGuarded(o, record);
    } catch (const ReadonlyXNode::Exception& e) {
        code = 2;
        message = std::string("protocol: ") + e.what();
    } catch (const std::bad_alloc&) {
        message = "out of memory";
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "unknown exception";
    }
    message = withModuleLine(message, record.moduleLog);
    // Bad input claims nothing; a failed run says in summary.json what happened.
    if (code == 1 && record.outputClaimed) {
        record.summary["ok"] = false;
        record.summary["failure"] = message;
        try {
            writeJsonFile((record.out / "summary.json").string(), record.summary);
        } catch (const std::exception& e) {
            if (message != e.what()) message += "; " + std::string(e.what());
        }
    }
    return fail(code, message);
}

namespace {

// The first protocol double that is not finite (the text form reads "nan"
// and "inf"), or a bad handle. Slice geometry, times and frequencies are
// doubles; a value that is not finite would reach the files' transforms and
// axes unnoticed.
ReadonlyXNode firstNonFinite(const ReadonlyXNode& node) {
    if (node.IsType(ReadonlyXNode::Double)) return std::isfinite(node.ToDouble()) ? ReadonlyXNode() : node;
    if (node.IsType(ReadonlyXNode::Map)) {
        for (const std::string& name : node.ChildNames()) {
            const ReadonlyXNode bad = firstNonFinite(node.At(name, false));
            if (bad.IsOk()) return bad;
        }
    } else if (node.IsType(ReadonlyXNode::Array)) {
        for (const ReadonlyXNode& element : node.Select("*")) {  // the set elements only
            const ReadonlyXNode bad = firstNonFinite(element);
            if (bad.IsOk()) return bad;
        }
    }
    return ReadonlyXNode();
}

int runGuarded(const RunOptions& o, RunRecord& record) {
    const auto started = std::chrono::steady_clock::now();
    const InterruptCatcher interrupts;
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
    if (const ReadonlyXNode bad = firstNonFinite(protocol); bad.IsOk())
        return fail(2, "protocol: " + bad.Path() + ": " + bad.ToString() + " is not a finite number");
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
    if (o.stopAfter < -1) return fail(2, "--stop-after: negative record count " + std::to_string(o.stopAfter));
    const std::string module = !o.module.empty() ? o.module : haveReadouts ? "Derovo2" : "Viviv";
    const std::string configurator = !o.configurator.empty() ? o.configurator : defaultConfigurator(module);
    const uint64_t total = readouts ? readouts->count() : images->count();
    if (o.maxFiles < -1) return fail(2, "--max-files: negative file count " + std::to_string(o.maxFiles));
    if (o.maxBytes < -1) return fail(2, "--max-bytes: negative byte count " + std::to_string(o.maxBytes));
    // Output far out of proportion to the input is refused before anything
    // is written rather than capped: a run that silently kept only some of
    // its data sets would look complete. Images are exported one file per
    // series, never more than they are.
    if (readouts && module == "Derovo2") {
        const SpectraEstimate estimate = estimateDerovo2Spectra(protocol, total, readouts->slices(), o.dataSets);
        const std::string refusal = spectraOutputRefusal(estimate, total, fs::file_size(in / "readouts.bin", ec),
                                                         o.maxFiles, o.maxBytes);
        if (!refusal.empty()) return fail(2, refusal);
    }
    const std::vector<std::string> warnings = protocolWarnings(protocol, bool(readouts));
    for (const std::string& w : warnings) duvErr("duv run: warning: " + w + "\n");

    // --- output layout: the host's installation lives under OUT/host ---
    const fs::path out = fs::absolute(o.output.empty() ? (in / "out") : fs::path(o.output));
    if (fs::exists(out / "summary.json", ec) || fs::exists(out / "trace.log", ec))
        duvErr("duv run: " + out.string() + " holds an earlier run: its results are replaced\n");
    OutputFolder outputFolder(out);
    for (const char* sub : {"spectra", "data-sets", "display", "nifti"}) fs::remove_all(out / sub, ec);
    fs::remove(out / "summary.json", ec);
    for (const char* sub : {"spectra", "display", "nifti", "host/SimMeasData", "host/temp", "host/MriCustomer/seq",
                            "host/work"}) {
        fs::create_directories(out / sub, ec);
        if (ec) return fail(2, (out / sub).string() + ": cannot be created: " + ec.message());
    }
    if (o.dataSets) {
        fs::create_directories(out / "data-sets", ec);
        if (ec) return fail(2, (out / "data-sets").string() + ": cannot be created: " + ec.message());
    }
    record.out = out;
    record.outputClaimed = true;
    DuvHost::SetInstallationRoot((out / "host").string());
    const fs::path calib = fs::path(DuvHost::SimulationDataDirectory()) / "zorp_calibs.ini";
    const FileStamp calibBefore = stampOf(calib);
    // The stages run with OUT/host/work as working directory: relative module
    // directories mean what they meant where duv was started.
    if (!o.modulePath.empty()) {
        std::vector<std::string> dirs;
        for (const std::string& d : o.modulePath) dirs.push_back(fs::absolute(d).string());
        ModuleLoader::instance().setSearchPath(dirs);
    }
    RunLog log(out / "trace.log");
    if (!log.ok()) return fail(2, (out / "trace.log").string() + ": cannot be created");
    // From here on until the pipeline is gone (stages print from their
    // destructors too) descriptors 1 and 2 are the modules' and go into
    // module.log; every failure repeats the last line they printed.
    const fs::path moduleLog = out / "module.log";
    ModuleOutput moduleOutput(moduleLog.string());
    if (!moduleOutput.ok()) return fail(2, moduleLog.string() + ": cannot be created");
    record.moduleLog = moduleLog;
    auto failRun = [&](int code, const std::string& message) {
        return fail(code, withModuleLine(message, moduleLog));
    };
    WorkingDirectory cwd(out / "host/work");
    DuvFramework::ClearLastError();

    // --- where sent data go ---
    SpectraSink spectra((out / "spectra").string(), protocol);
    // Module developers' view: every data set as sent, one file each.
    std::unique_ptr<SpectraSink> dataSets;
    if (o.dataSets)
        dataSets = std::make_unique<SpectraSink>((out / "data-sets").string(), protocol, SpectraSink::Samples::AsSent);
    DisplaySink display((out / "display").string(), o.keepDisplays);
    std::atomic<long> databaseImages{0};
    DuvEnvironment env([&](DuvAs& data, MrPtr<MiniHeader>& header, ImageControl&) -> DuvStatus {
        bool flag = false;
        if (header->get("SpectroData", flag) && flag) {
            const DuvStatus status = spectra.receive(data, *header);
            return dataSets && status == I_OK ? dataSets->receive(data, *header) : status;
        }
        if (header->get("SecondaryCaptured", flag) && flag) return display.receive(*header);
        ++databaseImages;
        return I_OK;
    });

    json& summary = record.summary;
    summary["input"] = in.string();
    summary["output"] = out.string();
    summary["module"] = module;
    summary["configurator"] = configurator;
    summary["records"] = total;
    summary["recordKind"] = readouts ? "readouts" : "images";
    summary["stopAfter"] = o.stopAfter >= 0 ? json(o.stopAfter) : json(nullptr);
    summary["interrupted"] = nullptr;  // or the signal that ended the run
    // The protocol's warnings, then what the spectra files cannot carry.
    summary["warnings"] = warnings;
    summary["logFiles"] = {(out / "trace.log").string(), moduleLog.string()};
    if (haveReadouts)
        for (const std::string& w : spectra.warnings()) summary["warnings"].push_back(w);
    // Status of each pipeline-wide lifecycle call; null: not called.
    json lifecycle = {{"compose", nullptr}, {"init", nullptr}, {"endOfJob", nullptr}};
    // Written for every run that got this far, failed or not: the statuses
    // say where it stopped. False when the report page could not be written.
    auto writeSummary = [&](DuvPipeline& pipeline, bool ok, const std::string& failure) {
        summary["lifecycle"] = lifecycle;
        summary["stages"] = stageStatuses(pipeline);
        summary["lastError"] = hex(DuvFramework::GetLastError());
        summary["spectraSinkError"] = spectra.lastError();
        if (dataSets) summary["dataSetSinkError"] = dataSets->lastError();
        summary["wallSeconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        summary["ok"] = ok;
        summary["failure"] = failure;
        writeJsonFile((out / "summary.json").string(), summary);
        return writeRunReportPage(out, summary);
    };
    auto lifecycleFailure = [&](DuvPipeline& pipeline, const std::string& what) {
        const std::string message =
            withModuleLine(what + "; last error " + hex(DuvFramework::GetLastError()), moduleLog);
        writeSummary(pipeline, false, message);
        return fail(1, message);
    };

    // --- the pipeline as the scanner composes it ---
    DuvPipeline pipeline(protocol, &env);
    DuvSinkFunctor* sink = nullptr;
    MrFunctor root;
    DuvStatus composeStatus = I_OK;
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
        ProtocolComposer::IComposer* composer = ModuleLoader::instance().createComposer(module, configurator);
        if (!composer) return lifecycleFailure(pipeline, "module " + module + " has no configurator " + configurator);
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
        // A protocol without a node that a stage's property needs is bad input.
        return failRun(2, std::string("protocol: ") + e.what());
    } catch (const std::exception& e) {
        lifecycle["compose"] = hex(I_FAIL);
        return lifecycleFailure(pipeline, "composing the pipeline failed: " + std::string(e.what()));
    }
    lifecycle["compose"] = hex(composeStatus);
    if (DuvIsFailure(composeStatus))
        return lifecycleFailure(pipeline, "composing the pipeline with " + configurator + " failed with status " +
                                              hex(composeStatus));

    const DuvStatus initStatus = pipeline.Init();
    lifecycle["init"] = hex(initStatus);
    if (DuvIsFailure(initStatus)) {
        const std::string which = firstFailure(pipeline, false);
        return lifecycleFailure(pipeline, which.empty() ? "initialisation failed with status " + hex(initStatus) : which);
    }
    pipeline.Start();
    // What the spectra files cannot carry as the protocol gives it, once the
    // run is under way (bad input is reported alone).
    if (haveReadouts)
        for (const std::string& w : spectra.warnings()) duvErr("duv run: warning: " + w + "\n");

    // --- feed every record (or the first N) ---
    const uint64_t limit = o.stopAfter >= 0 ? std::min<uint64_t>(uint64_t(o.stopAfter), total) : total;
    uint64_t fed = 0;
    {
        Progress progress(limit, o.progress, readouts ? "readouts" : "images");
        try {
            if (readouts) {
                duvfiles::ReadoutRecord rec;
                ScanControl ctrl;
                ctrl.lSlices = readouts->slices();
                while (fed < limit && !caughtSignal() && readouts->next(rec)) {
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
                while (fed < limit && !caughtSignal() && images->next(rec)) {
                    DuvAs as(duvfiles::makeImageObject(rec));
                    MrPtr<MiniHeader> header = duvfiles::makeImageHeader(rec);
                    ImageControl ctrl = rec.control;
                    pipeline.RaiseImage(root, "ImageReady", as, header, ctrl);
                    progress.update(++fed);
                }
            }
        } catch (const std::exception& e) {
            // The file changed under us after it was checked.
            pipeline.EndOfJob(kAcquisitionStopped);
            return failRun(2, e.what());
        }
    }
    const DuvStatus endStatus = fed < total ? kAcquisitionStopped : I_ACQ_END;
    const DuvStatus eojStatus = pipeline.EndOfJob(endStatus);
    lifecycle["endOfJob"] = hex(eojStatus);
    const std::vector<std::string> displayFiles = display.flush();

    // --- summary ---
    summary["fed"] = fed;
    summary["endStatus"] = hex(endStatus);
    summary[readouts ? "passedOnScans" : "passedOnImages"] = readouts ? sink->scans() : sink->images();
    summary["databaseImages"] = databaseImages.load();
    summary["dataSets"] = spectra.count();
    summary["dataSetsPerSeries"] = spectra.seriesCounts();
    summary["spectraFiles"] = spectra.files();
    if (dataSets) summary["dataSetFiles"] = dataSets->files();
    summary["displayImages"] = display.count();
    summary["displayImagesPerKind"] = display.countsByKind();
    summary["displayFiles"] = displayFiles;
    std::vector<std::string> niftiFiles;
    for (const auto& e : fs::recursive_directory_iterator(out / "nifti", ec))
        if (e.is_regular_file()) niftiFiles.push_back(e.path().string());
    std::sort(niftiFiles.begin(), niftiFiles.end());
    summary["niftiFiles"] = niftiFiles;
    std::string sidecarFailure;
    try {
        summary["niftiSidecars"] = writeExportSidecars(niftiFiles, protocol);
    } catch (const std::exception& e) {
        sidecarFailure = e.what();
    }
    const FileStamp calibAfter = stampOf(calib);
    if (calibAfter.exists && (!calibBefore.exists || calibAfter.time != calibBefore.time ||
                              calibAfter.size != calibBefore.size))
        summary["calibrationFile"] = {{"path", calib.string()}, {"content", readText(calib)}};
    else
        summary["calibrationFile"] = nullptr;

    std::string failure = firstFailure(pipeline, true);
    if (failure.empty() && DuvIsFailure(eojStatus)) failure = "end of job failed with status " + hex(eojStatus);
    if (failure.empty()) failure = sidecarFailure;
    if (!log.close() && failure.empty()) failure = (out / "trace.log").string() + ": write failed";
    if (const int signal = caughtSignal(); signal && failure.empty()) {
        // Ended like a stopped measurement: what was stored is complete, but
        // the run is not what was asked for.
        summary["interrupted"] = signalName(signal);
        const std::string message = std::string("interrupted by ") + signalName(signal) + " after " +
                                    std::to_string(fed) + " of " + counted(total, readouts ? "readout" : "image");
        writeSummary(pipeline, false, message);
        outputFolder.keep();
        fail(kInterruptedExit, message + "; what was stored so far is in " + out.string());
        return kInterruptedExit;
    }
    if (failure.empty()) {
        if (writeSummary(pipeline, true, "")) {
            outputFolder.keep();
            duvOut(successLine(summary, out) + "\n");
            return 0;
        }
        failure = (out / "index.html").string() + ": write failed";
    }
    if (!spectra.lastError().empty()) failure += " (spectra sink: " + spectra.lastError() + ")";
    if (dataSets && !dataSets->lastError().empty()) failure += " (data-set sink: " + dataSets->lastError() + ")";
    return lifecycleFailure(pipeline, failure);
}

}  // namespace

}  // namespace duvoffline
