// The Linux host's platform services.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "duvhost/Platform.h"

namespace DuvPlatform {

std::string LibraryFileName(const std::string& module) { return "lib" + module + ".so"; }

void* OpenLibrary(const std::string& path, std::string& error) {
    dlerror();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* e = dlerror();
        error = e ? e : path + ": unknown error";
    }
    return library;
}

void* LibrarySymbol(void* library, const std::string& name, std::string& error) {
    dlerror();
    void* symbol = dlsym(library, name.c_str());
    if (!symbol) {
        const char* e = dlerror();
        error = e ? e : "symbol is null";
    }
    return symbol;
}

void CloseLibrary(void* library) { dlclose(library); }

std::string HostLibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&HostLibraryDirectory), &info) == 0 || !info.dli_fname) return ".";
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool LocalTime(std::int64_t secondsSinceEpoch, std::tm& local) {
    static_assert(sizeof(time_t) == 8, "time_t must be 64-bit");
    const time_t t = static_cast<time_t>(secondsSinceEpoch);
    return localtime_r(&t, &local) != nullptr;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0777); }

bool IsPathSeparator(char c) { return c == '/'; }

int Seek(std::FILE* file, std::int64_t position, int whence) {
    static_assert(sizeof(off_t) == 8, "off_t must be 64-bit");
    return fseeko(file, static_cast<off_t>(position), whence);
}

std::int64_t Tell(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }

InstallationDefaults DefaultInstallation() {
    return {"/opt/med/SimMeasData/", "/opt/med/temp/", "/opt/med/MriCustomer/seq/", "/"};
}

}  // namespace DuvPlatform
