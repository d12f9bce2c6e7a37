// Finding and loading module libraries with dlopen, and creating their
// objects and configurators through the module's exported functions.
#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "duvhost/Pipeline.h"

#define HOST_LOADER_TRACE(level, function) \
    getStdStackTraceStream("DUV.host", level, 1, "DUV", "duvhost", "ModuleLoader", __LINE__, function, "DLL", false)

namespace {

using ModuleFunction = void* (*)();
using CreateObjectFunction = Rudu::Component* (*)(const char*);
using CreateComposerFunction = ProtocolComposer::IComposer* (*)(const char*, double);

// The directory that holds this library: the modules are built next to it,
// so a build tree works without any configuration.
std::string ownDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&ownDirectory), &info) == 0 || !info.dli_fname) return ".";
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

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
    std::vector<std::string> directories{ownDirectory()};
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
    impl_->directories = {ownDirectory()};
    impl_->loaded.clear();  // the handles are not closed: see the header
}

void* ModuleLoader::open(const std::string& library) {
    std::lock_guard<std::recursive_mutex> g(impl_->mutex);
    auto it = impl_->loaded.find(library);
    if (it != impl_->loaded.end()) return it->second;

    const std::string file = "lib" + library + ".so";
    if (!isPlainName(library))
        throw ProtocolComposer::Error("cannot load module '" + library + "': not a plain module name");

    std::vector<std::string> errors;
    void* handle = nullptr;
    for (const std::string& dir : impl_->directories) {
        const std::string path = (dir.empty() ? std::string(".") : dir) + "/" + file;
        dlerror();
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle) break;
        const char* e = dlerror();
        errors.push_back(e ? e : path + ": unknown error");
    }
    if (!handle)
        throw ProtocolComposer::Error("cannot load module '" + library + "': " + file + " not loadable from [" +
                                      joined(impl_->directories) + "]: " +
                                      (errors.empty() ? std::string("no search directory") : joined(errors)));

    const std::string entry = library + "Module";
    dlerror();
    auto moduleFunction = reinterpret_cast<ModuleFunction>(dlsym(handle, entry.c_str()));
    if (!moduleFunction) {
        const char* e = dlerror();
        dlclose(handle);
        throw ProtocolComposer::Error("module '" + library + "' has no entry function " + entry + ": " +
                                      (e ? e : "symbol is null"));
    }
    moduleFunction();
    impl_->loaded[library] = handle;
    HOST_LOADER_TRACE(duvtrace::Notice, "ModuleLoader::open") << "loaded module " << library;
    return handle;
}

namespace {
template <class F>
F symbolOf(void* handle, const std::string& library, const std::string& name) {
    dlerror();
    auto f = reinterpret_cast<F>(dlsym(handle, name.c_str()));
    if (!f) {
        const char* e = dlerror();
        throw ProtocolComposer::Error("module '" + library + "' does not export " + name + ": " +
                                      (e ? e : "symbol is null"));
    }
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
