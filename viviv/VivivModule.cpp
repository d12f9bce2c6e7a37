// Module entry points, factory table and the configurator that exports the
// protocol and inserts the NIfTI writer behind "imafinish".
#include "VivivModule.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "Viviv_NS_qomNiftiWriter.h"
#include "VivivTrace.h"
#include "VivivTypeRecord.h"
#include "duvhost/Installation.h"
#include "duvhost/XProtocol.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::unique_ptr<Rudu::Module> g_module;

void* noPerformanceMap(void*) { return nullptr; }

const Rudu::Type* writerType() { return Viviv_NS_qomNiftiWriter::TypeOf(); }
const Rudu::Type* configuratorType() { return Viviv_NS_qomDuvPrgB0Configurator::TypeOf(); }
Rudu::Component* createWriter() { return Rudu::HeapObject<Viviv_NS_qomNiftiWriter>::Create(); }
Rudu::Component* createConfigurator() { return Rudu::HeapObject<Viviv_NS_qomDuvPrgB0Configurator>::Create(); }

const Rudu::FactoryEntry kFactoryTable[] = {
    {"Viviv_NS_qomNiftiWriter", writerType, createWriter},
    {"Viviv_NS_qomDuvPrgB0Configurator", configuratorType, createConfigurator},
    {nullptr, nullptr, nullptr},
};

constexpr const char* kSource = "VivivConfigurator";
constexpr const char* kCompose = "Viviv_NS_qomDuvPrgB0Configurator::Compose";
constexpr const char* kPredecessor = "imafinish";

}  // namespace

extern "C" Rudu::Module* VivivModule() {
    Rudu::GlobalGuard guard;
    if (!g_module) g_module = std::make_unique<Rudu::Module>("Viviv");
    return g_module.get();
}

extern "C" Rudu::Component* Viviv__CreateObject(const char* typeName) {
    viviv::ModuleLock lock;
    return lock.module().CreateInstance(typeName, kFactoryTable, noPerformanceMap);
}

extern "C" ProtocolComposer::IComposer* Viviv_createProtocolComposer(const char* name, double version) {
    return Rudu::CreateProtocolComposer(Viviv__CreateObject, name, version);
}

namespace viviv {

ModuleLock::ModuleLock() : module_(*VivivModule()) { module_.Lock(); }
ModuleLock::~ModuleLock() { module_.Unlock(); }

ProtocolExportNames protocolExportNames() {
#ifdef _WIN32
    return {"..\\temp\\current_prot.evp", "/opt/zarezu/temp/current_prot.evp"};
#else
    // The working directory's sibling "temp"; the writer gets the same file
    // by its absolute name (the parent of the physical working directory is
    // what ".." names).
    const std::string exportName = "../temp/current_prot.evp";
    std::string cwd(4096, '\0');
    if (!getcwd(&cwd[0], cwd.size())) return {exportName, exportName};
    cwd.resize(cwd.find('\0'));
    const size_t slash = cwd.find_last_of('/');
    const std::string parent = slash == std::string::npos ? std::string() : cwd.substr(0, slash);
    return {exportName, parent + "/temp/current_prot.evp"};
#endif
}

// The root directory belongs to the host installation: "/" on the scanner,
// a folder of its own where the host runs as an ordinary user (duv: under
// its output folder), so that the fallback never writes outside the host's
// tree.
ProtocolExportNames protocolFallbackNames() {
    const std::string name = DuvHost::RootDirectory() + "current_prot.evp";
    return {name, name};
}

}  // namespace viviv

const Rudu::Type* Viviv_NS_qomDuvPrgB0Configurator::TypeOf() {
    static std::unique_ptr<Rudu::Type> type;
    return viviv::typeOnce(type, [] {
        return std::make_unique<Rudu::Type>("Viviv_NS_qomDuvPrgB0Configurator", std::vector<const Rudu::Type*>{},
                                            std::vector<Rudu::MethodDescriptor>{},
                                            std::vector<Rudu::EventDescriptor>{},
                                            std::vector<Rudu::PropertyDescriptor>{});
    });
}

DuvStatus Viviv_NS_qomDuvPrgB0Configurator::Compose(ProtocolComposer::Toolbox& toolbox) {
    toolbox.Init("OLTA");
    XProtocol& protocol = toolbox.Protocol();

    VIVIV_NOTICE(kSource, kCompose) << "VivivConfigurator: Exporting protocol";
    std::string text;
    protocol.SaveToStream(text);

    viviv::ProtocolExportNames names = viviv::protocolExportNames();
    std::FILE* file = std::fopen(names.exportName.c_str(), "w+b");
    if (!file) {
        VIVIV_NOTICE(kSource, kCompose) << "VivivConfigurator: failed opening xprotocol output file "
                                        << names.exportName << "; will try " << DuvHost::RootDirectory();
        names = viviv::protocolFallbackNames();
        file = std::fopen(names.exportName.c_str(), "w+b");
        if (!file) {
            VIVIV_ERROR(kSource, kCompose) << "VivivConfigurator: failed opening xprotocol output file "
                                           << names.exportName << VivivStatus{I_FAIL};
            DuvFramework::SetLastError(I_FAIL, nullptr);
            return I_FAIL;
        }
    }
    const size_t written = text.empty() ? 0 : std::fwrite(text.data(), 1, text.size(), file);
    if (written < text.size()) {
        std::fclose(file);
        VIVIV_ERROR(kSource, kCompose) << "VivivConfigurator: fwrite xprot failed, aborting...";
        return I_FAIL;
    }
    // A failing close loses buffered bytes just like a short write.
    if (std::fclose(file) != 0) {
        VIVIV_ERROR(kSource, kCompose) << "VivivConfigurator: fwrite xprot failed, aborting...";
        return I_FAIL;
    }
    VIVIV_NOTICE(kSource, kCompose) << "VivivConfigurator: exported protocol to file: " << names.exportName << " ("
                                    << text.size() << " bytes)";

    MrFunctor predecessor = toolbox.FindFunctor(kPredecessor, false);
    if (predecessor.IsBad()) {
        VIVIV_ERROR(kSource, kCompose) << "VivivConfigurator: Failed to find " << kPredecessor
                                       << " predecessor functor instance, aborting..." << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return I_FAIL;
    }
    VIVIV_NOTICE(kSource, kCompose) << "Viviv: Inserting qomNiftiWriter after " << predecessor.Name();

    MrPipeService service = toolbox.FindPipeService(predecessor.PipeServiceName(), true);
    const std::string writerName = "qomNiftiWriter";
    MrFunctor writer;
    try {
        writer = service.CreateFunctor(writerName, "Viviv_NS_qomNiftiWriter@Viviv", 2);
    } catch (const ProtocolComposer::Error& e) {
        // The host reports a stage it cannot create by an exception; this is
        // the failure of a bad handle.
        VIVIV_NOTICE(kSource, kCompose) << "VivivConfigurator: " << e.what();
        writer = MrFunctor();
    }
    if (writer.IsBad()) {
        VIVIV_ERROR(kSource, kCompose) << "VivivConfigurator: CreateFunctor() failed for " << writerName
                                       << " in pipe service " << service.Name() << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return I_FAIL;
    }

    writer.At("DoNiftiExport").FromBool(true);
    writer.At("ExportRawData").FromBool(false);
    writer.At("DebugLogging").FromBool(true);
    writer.At("DoNotSendDicomImages").FromBool(false);
    writer.At("B0ShimCalibrationMode").FromLong(0);
    writer.At("XProtFileName").FromString(names.readName);

    DuvStatus status = I_FAIL;
    try {
        status = toolbox.InsertAfter(writer.Name(), "ComputeImage", "ImageReady", predecessor.Name(), "ImageReady",
                                     true);
    } catch (const ProtocolComposer::Error& e) {
        VIVIV_NOTICE(kSource, kCompose) << "VivivConfigurator: " << e.what();
        status = I_FAIL;
    }
    if (DuvIsFailure(status)) {
        VIVIV_ERROR(kSource, kCompose) << "VivivConfigurator: Failed during call of InsertAfter('" << writer.Name()
                                       << "','" << predecessor.Name() << "'), aborting..." << VivivStatus{I_FAIL};
        DuvFramework::SetLastError(I_FAIL, nullptr);
        return I_FAIL;
    }

    MrPipeService writerService = toolbox.SplitAfter(predecessor.Name(), "qomNifti_ps", nullptr);
    toolbox.SplitAfter(writer.Name(), "new_successor_ps", nullptr);
    writerService.PoolThreads(1);
    return I_OK;
}
