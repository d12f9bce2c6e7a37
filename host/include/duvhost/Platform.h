// The services that differ between the Linux and the Windows host. Each has
// one implementation per platform (src/PlatformPosix.cpp,
// src/PlatformWindows.cpp); everything else in the host and the modules is
// the same source on both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace DuvPlatform {

// Module libraries: the file name a host gives a module ("libDerovo2.so" on
// Linux, "Derovo2.dll" on Windows), and loading, symbol lookup and unloading.
// On failure the functions return null and describe the reason in error.
std::string LibraryFileName(const std::string& module);
void* OpenLibrary(const std::string& path, std::string& error);
void* LibrarySymbol(void* library, const std::string& name, std::string& error);
void CloseLibrary(void* library);
// The directory that holds the host library itself, without a trailing separator.
std::string HostLibraryDirectory();

// Local time of a moment given in seconds since 1970, 64-bit on both
// platforms (no year-2038 limit); false when the platform cannot convert it.
bool LocalTime(std::int64_t secondsSinceEpoch, std::tm& local);

// Directories: true when the file-system attributes of path can be read and
// mark a directory; creating one directory returns the platform call's
// result (0 on success).
bool IsDirectory(const std::string& path);
int MakeDirectory(const std::string& path);
// '/' on both platforms, and '\\' on Windows.
bool IsPathSeparator(char c);

// Positions in files beyond 2 GB, also in the 32-bit build.
int Seek(std::FILE* file, std::int64_t position, int whence);
std::int64_t Tell(std::FILE* file);

// Defaults of the host's installation layout (each ends with a separator).
struct InstallationDefaults {
    const char* simulationData;
    const char* temp;
    const char* customer;
    const char* root;  // where a module falls back to: the file system's root
};
InstallationDefaults DefaultInstallation();

}  // namespace DuvPlatform
