// What the fuzz harnesses share: a scratch directory for the files the
// readers under test open by name, and a check that stops the process (a
// finding for libFuzzer, a failed test for the replay driver).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "TempDir.h"

namespace duvfuzz {

// One directory per process, removed when the process ends normally.
inline const duvtest::TempDir& scratch() {
    static const duvtest::TempDir dir("duv-fuzz");
    return dir;
}

// Writes the input to scratch()/name and returns the file's path.
inline std::string writeScratch(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratch() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), long(size));
    return path;
}

inline std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

[[noreturn]] inline void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

inline void check(bool ok, const std::string& what) {
    if (!ok) broken(what);
}

}  // namespace duvfuzz
