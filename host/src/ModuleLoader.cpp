// Finding and loading module libraries, and creating their objects and
// configurators through the module's exported functions.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "duvhost/Pipeline.h"
#include "duvhost/Platform.h"

#define HOST_LOADER_TRACE(level, function) \
    getStdStackTraceStream("DUV.host", level, 1, "DUV", "duvhost", "ModuleLoader", __LINE__, function, "DLL", false)

namespace {

using ModuleFunction = void* (*)();
using CreateObjectFunction = Rudu::Component* (*)(const char*);
using CreateComposerFunction = ProtocolComposer::IComposer* (*)(const char*, double);

// A module name becomes part of a file name: only plain identifiers, so a
// protocol can never make the host load a library from elsewhere.
bool isPlainName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts) {
        if (!s.empty()) s += ", ";
        s += p;
    }
    return s;
}

}  // namespace

struct ModuleLoader::Impl {
    std::recursive_mutex mutex;
    // The directory of the host library: the modules are built next to it,
    // so a build tree works without any configuration.
    std::vector<std::string> directories{DuvPlatform::HostLibraryDirectory()};
    std::map<std::string, void*> loaded;  // library name -> handle
};

ModuleLoader& ModuleLoader::instance() {
    static ModuleLoader loader = [] {
        ModuleLoader l;
        l.impl_ = std::make_shared<Impl>();
        return l;
    }();
    return loader;
}

void ModuleLoader::setSearchPath(std::vector<std::string> directories) {
    std::lock_guard<std::recursive_mutex> g(impl_->mutex);
    impl_->directories = std::move(directories);
}

const std::vector<std::string>& ModuleLoader::searchPath() const { return impl_->directories; }

void ModuleLoader::reset() {
    std::lock_guard<std::recursive_mutex> g(impl_->mutex);
    impl_->directories = {DuvPlatform::HostLibraryDirectory()};
    impl_->loaded.clear();  // the handles are not closed: see the header
}

void* ModuleLoader::open(const std::string& library) {
    std::lock_guard<std::recursive_mutex> g(impl_->mutex);
    auto it = impl_->loaded.find(library);
    if (it != impl_->loaded.end()) return it->second;

    const std::string file = DuvPlatform::LibraryFileName(library);
    if (!isPlainName(library))
        throw ProtocolComposer::Error("cannot load module '" + library + "': not a plain module name");

    std::vector<std::string> errors;
    void* handle = nullptr;
    for (const std::string& dir : impl_->directories) {
        const std::string path = (dir.empty() ? std::string(".") : dir) + "/" + file;
        std::string error;
        handle = DuvPlatform::OpenLibrary(path, error);
        if (handle) break;
        errors.push_back(error);
    }
    if (!handle)
        throw ProtocolComposer::Error("cannot load module '" + library + "': " + file + " not loadable from [" +
                                      joined(impl_->directories) + "]: " +
                                      (errors.empty() ? std::string("no search directory") : joined(errors)));

    const std::string entry = library + "Module";
    std::string error;
    auto moduleFunction = reinterpret_cast<ModuleFunction>(DuvPlatform::LibrarySymbol(handle, entry, error));
    if (!moduleFunction) {
        DuvPlatform::CloseLibrary(handle);
        throw ProtocolComposer::Error("module '" + library + "' has no entry function " + entry + ": " + error);
    }
    moduleFunction();
    impl_->loaded[library] = handle;
    HOST_LOADER_TRACE(duvtrace::Notice, "ModuleLoader::open") << "loaded module " << library;
    return handle;
}

namespace {
template <class F>
F symbolOf(void* handle, const std::string& library, const std::string& name) {
    std::string error;
    auto f = reinterpret_cast<F>(DuvPlatform::LibrarySymbol(handle, name, error));
    if (!f) throw ProtocolComposer::Error("module '" + library + "' does not export " + name + ": " + error);
    return f;
}
}  // namespace

MrPtr<Rudu::Component> ModuleLoader::create(const std::string& library, const std::string& type) {
    void* handle = open(library);
    auto createObject = symbolOf<CreateObjectFunction>(handle, library, library + "__CreateObject");
    MrPtr<Rudu::Component> object(createObject(type.c_str()));
    if (!object) throw ProtocolComposer::Error("module '" + library + "' cannot create an object of type '" + type + "'");
    return object;
}

ProtocolComposer::IComposer* ModuleLoader::createComposer(const std::string& library, const std::string& name,
                                                          double version) {
    void* handle = open(library);
    auto createComposer = symbolOf<CreateComposerFunction>(handle, library, library + "_createProtocolComposer");
    return createComposer(name.c_str(), version);
}
