// The Windows host's platform services. The build defines
// __MINGW_USE_VC2005_COMPAT so that time_t is 64-bit in the 32-bit build too.
#include <direct.h>
#include <windows.h>

#include "duvhost/Platform.h"

namespace DuvPlatform {

std::string LibraryFileName(const std::string& module) { return module + ".dll"; }

namespace {
std::string lastErrorText(const std::string& what) {
    const DWORD code = GetLastError();
    char buffer[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return what + ": error " + std::to_string(code) + (text.empty() ? "" : " (" + text + ")");
}
}  // namespace

void* OpenLibrary(const std::string& path, std::string& error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (!library) error = lastErrorText(path);
    return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const std::string& name, std::string& error) {
    FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library), name.c_str());
    if (!symbol) error = lastErrorText(name);
    return reinterpret_cast<void*>(symbol);
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string HostLibraryDirectory() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&HostLibraryDirectory), &self))
        return ".";
    char buffer[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(self, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return ".";
    const std::string path(buffer, n);
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

bool LocalTime(std::int64_t secondsSinceEpoch, std::tm& local) {
    static_assert(sizeof(time_t) == 8, "time_t must be 64-bit: build with __MINGW_USE_VC2005_COMPAT");
    const time_t t = static_cast<time_t>(secondsSinceEpoch);
    return localtime_s(&local, &t) == 0;
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int MakeDirectory(const std::string& path) { return _mkdir(path.c_str()); }

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

int Seek(std::FILE* file, std::int64_t position, int whence) { return _fseeki64(file, position, whence); }

std::int64_t Tell(std::FILE* file) { return _ftelli64(file); }

// The Windows host's installation lies under C:\Zarezu: the calibration file
// goes to C:\Zarezu\SimMeasData\, the default export directory starts at
// C:\Zarezu\MriCustomer\seq\.
InstallationDefaults DefaultInstallation() {
    return {"C:\\Zarezu\\SimMeasData\\", "C:\\Zarezu\\temp\\", "C:\\Zarezu\\MriCustomer\\seq\\", "\\"};
}

}  // namespace DuvPlatform
