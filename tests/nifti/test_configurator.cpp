// The configurator composed into a host pipeline: protocol export, the
// writer's fixed settings, the splice behind "imafinish" in a pipe service
// of its own, and the failures.
#include <gtest/gtest.h>

#include <sstream>

#include "NiftiTestSupport.h"
#include "VivivModule.h"
#include "duvhost/Framework.h"
#include "duvhost/HostStages.h"
#include "duvhost/Installation.h"
#include "duvhost/Pipeline.h"

using namespace niftitest;

#ifndef VIVIV_LIB_DIR
#error "VIVIV_LIB_DIR names the directory of libViviv.so"
#endif

namespace {

const std::string kFailSuffix = " status = 0xc0000001";
const char* kCompose = "Viviv_NS_qomDuvPrgB0Configurator::Compose";

// A host pipeline root -> imafinish -> imasink in one pipe service.
struct HostPipeline {
    explicit HostPipeline(bool withImaFinish = true, bool imaFinishIsSink = false)
        : pipeline(fullProtocol(), &env) {
        MrPipeService ps = pipeline.AddPipeService("root_ps");
        root = pipeline.AddStage(ps, "root", MrPtr<Rudu::Component>(Rudu::HeapObject<DuvRootFunctor>::Create()));
        if (withImaFinish && imaFinishIsSink) {
            // A stage named "imafinish" without the "ImageReady" event.
            MrFunctor ima = pipeline.AddStage(
                ps, "imafinish", MrPtr<Rudu::Component>(Rudu::HeapObject<DuvSinkFunctor>::Create()));
            pipeline.Connect(root, "ImageReady", ima, "ComputeImage");
            return;
        }
        sink = Rudu::HeapObject<DuvSinkFunctor>::Create();
        MrFunctor s;
        if (withImaFinish) {
            MrFunctor ima = pipeline.AddStage(
                ps, "imafinish", MrPtr<Rudu::Component>(Rudu::HeapObject<DuvImaFinishFunctor>::Create()));
            s = pipeline.AddStage(ps, "imasink", MrPtr<Rudu::Component>(sink));
            pipeline.Connect(root, "ImageReady", ima, "ComputeImage");
            pipeline.Connect(ima, "ImageReady", s, "ComputeImage");
        } else {
            s = pipeline.AddStage(ps, "imasink", MrPtr<Rudu::Component>(sink));
            pipeline.Connect(root, "ImageReady", s, "ComputeImage");
        }
    }
    DuvStatus compose() {
        ProtocolComposer::IComposer* composer =
            ModuleLoader::instance().createComposer("Viviv", "Viviv_NS_qomDuvPrgB0Configurator");
        EXPECT_NE(composer, nullptr);
        const DuvStatus status = pipeline.Compose(*composer);
        composer->selfDestroy();
        return status;
    }
    std::vector<std::string> serviceNames() const {
        std::vector<std::string> out;
        for (const MrPipeService& s : pipeline.Services()) out.push_back(s.Name());
        return out;
    }
    std::vector<std::string> stagesOf(const std::string& service) {
        std::vector<std::string> out;
        for (const MrPipeService& s : pipeline.Services())
            if (s.Name() == service)
                for (const MrFunctor& f : pipeline.StagesOf(s)) out.push_back(f.Name());
        return out;
    }
    Writer* writer() {
        MrFunctor f = pipeline.toolbox().FindFunctor("qomNiftiWriter", false);
        return f.IsBad() ? nullptr : dynamic_cast<Writer*>(f.Component());
    }

    RecordingEnvironment env;
    DuvPipeline pipeline;
    MrFunctor root;
    DuvSinkFunctor* sink = nullptr;
};

// root/work is the working directory; root/temp its sibling.
struct HostTree {
    explicit HostTree(bool withTemp = true) {
        fs::create_directories(dir.path() / "work");
        if (withTemp) fs::create_directories(dir.path() / "temp");
        fs::create_directories(dir.path() / "nifti");
        ModuleLoader::instance().reset();
        ModuleLoader::instance().setSearchPath({VIVIV_LIB_DIR});
    }
    std::string protocolFile() const { return (fs::canonical(dir.path()) / "temp/current_prot.evp").string(); }
    TempDir dir{"viviv-host"};
};

std::string savedText(const XProtocol& p) {
    std::string text;
    p.SaveToStream(text);
    return text;
}

}  // namespace

TEST(VivivConfigurator, WriterThatCannotBeCreatedFailsTheComposition) {
    HostTree tree;
    TempDir empty;
    ModuleLoader::instance().setSearchPath({empty.str()});
    ScopedCwd cwd(tree.dir.path() / "work");
    HostPipeline host;
    MrPtr<Rudu::Component> object(Viviv__CreateObject("Viviv_NS_qomDuvPrgB0Configurator"));
    auto* composer = dynamic_cast<ProtocolComposer::IComposer*>(object.get());
    ASSERT_NE(composer, nullptr);
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(host.pipeline.Compose(*composer), I_FAIL);
    EXPECT_TRUE(sink->contains("VivivConfigurator: CreateFunctor() failed for qomNiftiWriter in pipe service root_ps" +
                               kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_TRUE(fs::exists(tree.dir.path() / "temp/current_prot.evp"));
}

TEST(VivivConfigurator, ExportsTheProtocolAndSplicesTheWriter) {
    HostTree tree;
    ScopedCwd cwd(tree.dir.path() / "work");
    writeFile((tree.dir.path() / "temp/current_prot.evp").string(), "stale content of an older composition\n");
    HostPipeline host;
    duvtrace::ScopedMemorySink sink;
    ASSERT_EQ(host.compose(), I_OK);

    // The protocol file holds exactly the protocol's text form.
    const std::string text = savedText(host.pipeline.protocol());
    const auto bytes = readFile(tree.protocolFile());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
    EXPECT_TRUE(sink->contains("VivivConfigurator: Exporting protocol"));
    EXPECT_TRUE(sink->contains("VivivConfigurator: exported protocol to file: ../temp/current_prot.evp (" +
                               std::to_string(text.size()) + " bytes)"));
    EXPECT_TRUE(sink->contains("Viviv: Inserting qomNiftiWriter after imafinish"));
    const auto records = sink->find("DUV.Viviv", duvtrace::Notice, kCompose, "");
    ASSERT_EQ(records.size(), 3u);
    for (const auto& r : records) {
        EXPECT_EQ(r.file, "VivivConfigurator");
        EXPECT_EQ(r.group, "MrSpecAcq");
        EXPECT_EQ(r.component, "Viviv");
    }
    EXPECT_EQ(host.pipeline.toolbox().ProgramName(), "OLTA");

    // The writer alone in its own service with one thread, between imafinish and the sink.
    EXPECT_EQ(host.serviceNames(), (std::vector<std::string>{"root_ps", "qomNifti_ps", "new_successor_ps"}));
    EXPECT_EQ(host.stagesOf("root_ps"), (std::vector<std::string>{"root", "imafinish"}));
    EXPECT_EQ(host.stagesOf("qomNifti_ps"), std::vector<std::string>{"qomNiftiWriter"});
    EXPECT_EQ(host.stagesOf("new_successor_ps"), std::vector<std::string>{"imasink"});
    EXPECT_EQ(host.pipeline.toolbox().FindPipeService("qomNifti_ps", true).PoolThreads(), 1);

    // The six fixed settings, whatever the constructor gave, and the protocol values.
    Writer* w = host.writer();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->getDoNiftiExport());
    EXPECT_FALSE(w->getExportRawData());
    EXPECT_TRUE(w->getDebugLogging());
    EXPECT_FALSE(w->getDoNotSendDicomImages());
    EXPECT_EQ(w->getB0ShimCalibrationMode(), 0);
    EXPECT_EQ(w->getXProtFileName(), tree.protocolFile());
    EXPECT_EQ(w->getNSlc(), 3);
    EXPECT_EQ(w->getNCha(), 32);

    // A job through the composed pipeline: every image reaches the file and the sink.
    w->setExportFilePath((tree.dir.path() / "nifti").string());
    ASSERT_EQ(host.pipeline.Init(), I_OK);
    EXPECT_EQ(std::string(w->protocolText().begin(), w->protocolText().end()), text);
    host.pipeline.Start();
    Counts c;
    c.slc = 3;
    for (long slc : {2L, 0L, 1L}) {
        TestImage s;
        s.slice = slc;
        DuvAs as = makeImage(s);
        MrPtr<MiniHeader> h = makeHeader(slc);
        ImageControl ctrl = makeControl(c, slc);
        ASSERT_EQ(host.pipeline.RaiseImage(host.root, "ImageReady", as, h, ctrl), I_OK);
    }
    ASSERT_EQ(host.pipeline.EndOfJob(I_ACQ_END), I_OK);
    EXPECT_EQ(host.pipeline.FirstCallFailure(), I_OK);
    EXPECT_EQ(host.sink->images(), 3);
    const auto file = readFile((tree.dir.path() / "nifti/mprage.nii").string());
    ASSERT_EQ(file.size(), 352u + 3 * 96u);
    for (long slc = 0; slc < 3; ++slc) {
        TestImage s;
        s.slice = slc;
        const auto want = expectedImageBytes(s, 0);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), file.begin() + 352 + slc * 96)) << slc;
    }
}

TEST(VivivConfigurator, MissingImageFinishingStageFailsAfterTheExport) {
    HostTree tree;
    ScopedCwd cwd(tree.dir.path() / "work");
    HostPipeline host(false);
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(host.compose(), I_FAIL);
    EXPECT_TRUE(sink->contains("VivivConfigurator: Failed to find imafinish predecessor functor instance, aborting..." +
                               kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    const auto bytes = readFile(tree.protocolFile());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), savedText(host.pipeline.protocol()));
    EXPECT_EQ(host.writer(), nullptr);
}

TEST(VivivConfigurator, FailedInsertionLeavesTheWriterInThePredecessorsService) {
    HostTree tree;
    ScopedCwd cwd(tree.dir.path() / "work");
    HostPipeline host(true, true);
    duvtrace::ScopedMemorySink sink;
    DuvFramework::ClearLastError();
    EXPECT_EQ(host.compose(), I_FAIL);
    EXPECT_TRUE(sink->contains(
        "VivivConfigurator: Failed during call of InsertAfter('qomNiftiWriter','imafinish'), aborting..." +
        kFailSuffix));
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    EXPECT_EQ(host.serviceNames(), std::vector<std::string>{"root_ps"});
    EXPECT_EQ(host.stagesOf("root_ps"), (std::vector<std::string>{"root", "imafinish", "qomNiftiWriter"}));
}

// The installation gives the root directory of the fallback; both branches
// run on every machine: a root that can be written (a temporary directory)
// and one that cannot (a directory that does not exist).
TEST(VivivConfigurator, WithoutTheSiblingTempDirectoryTheInstallationRootIsTried) {
    for (const bool writable : {true, false}) {
        SCOPED_TRACE(writable ? "writable root" : "root that cannot be written");
        HostTree tree(false);
        const std::string root = (fs::canonical(tree.dir.path()) / (writable ? "root" : "missing")).string() + "/";
        if (writable) fs::create_directories(root);
        DuvHost::SetRootDirectory(root);
        const std::string fallback = root + "current_prot.evp";
        ScopedCwd cwd(tree.dir.path() / "work");
        HostPipeline host;
        duvtrace::ScopedMemorySink sink;
        DuvFramework::ClearLastError();
        const DuvStatus status = host.compose();
        DuvHost::ResetInstallationDefaults();
        EXPECT_TRUE(sink->contains("VivivConfigurator: failed opening xprotocol output file ../temp/current_prot.evp; "
                                   "will try " + root));
        if (writable) {
            // The writer is told to read the file that was written.
            EXPECT_EQ(status, I_OK);
            Writer* w = host.writer();
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(w->getXProtFileName(), fallback);
            const auto bytes = readFile(fallback);
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), savedText(host.pipeline.protocol()));
            EXPECT_TRUE(sink->contains("VivivConfigurator: exported protocol to file: " + fallback + " (" +
                                       std::to_string(bytes.size()) + " bytes)"));
        } else {
            EXPECT_EQ(status, I_FAIL);
            EXPECT_TRUE(sink->contains("VivivConfigurator: failed opening xprotocol output file " + fallback +
                                       kFailSuffix));
            EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
            EXPECT_FALSE(fs::exists(fallback));
        }
    }
}

TEST(VivivConfigurator, ExportNamesFollowTheWorkingDirectory) {
    HostTree tree;
    ScopedCwd cwd(tree.dir.path() / "work");
    const viviv::ProtocolExportNames names = viviv::protocolExportNames();
    EXPECT_EQ(names.exportName, "../temp/current_prot.evp");
    EXPECT_EQ(names.readName, tree.protocolFile());
    DuvHost::ResetInstallationDefaults();
    EXPECT_EQ(viviv::protocolFallbackNames().exportName, "/current_prot.evp");
    EXPECT_EQ(viviv::protocolFallbackNames().readName, "/current_prot.evp");
    DuvHost::SetInstallationRoot(tree.dir.str() + "/host");
    EXPECT_EQ(viviv::protocolFallbackNames().exportName, tree.dir.str() + "/host/current_prot.evp");
    DuvHost::ResetInstallationDefaults();
}
