// Shared helpers of the offline host's tests: temporary directories, file
// bytes, and measurement records with known contents.
#pragma once

#include <unistd.h>

#include "../support/TempDir.h"

#include <complex>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "MeasurementFiles.h"

namespace offlinetest {

namespace fs = std::filesystem;

// Temporary directories: the shared helper, with this area's name prefix.
class TempDir : public duvtest::TempDir {
public:
    explicit TempDir(const std::string& tag = "duv-offline") : duvtest::TempDir(tag) {}
};

inline std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
inline void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}
inline std::string readText(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
inline nlohmann::json readJson(const std::string& path) { return nlohmann::json::parse(readText(path)); }

template <class T>
void patch(std::vector<unsigned char>& bytes, size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}
template <class T>
T peek(const std::vector<unsigned char>& bytes, size_t offset) {
    T v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

// A slice geometry whose 18 numbers all differ.
inline DuvSoda distinctSoda(double base = 0.0) {
    DuvSoda s;
    s.setSlicePosVec({base + 1.5, base - 2.25, base + 3.0});
    s.setSlicePosVecSBCS({base + 4.0, base + 5.5, base - 6.0});
    s.setSliceNormVec({0.0, 0.6, 0.8});
    s.setRowVec({1.0, 0.0, 0.0});
    s.setColumnVec({0.0, 0.8, -0.6});
    s.setRowSpacing(base + 2.5);
    s.setColumnSpacing(base + 3.5);
    s.setThickness(base + 10.0);
    return s;
}

// A readout of `samples` x `channels` with every header byte set and the
// sample (channel c, index i) = (100 c + i, -i - 0.5).
inline duvfiles::ReadoutRecord makeReadout(uint16_t samples, uint16_t channels, uint16_t line = 0) {
    duvfiles::ReadoutRecord r;
    auto* h = reinterpret_cast<unsigned char*>(&r.header);
    for (size_t i = 0; i < sizeof r.header; ++i) h[i] = static_cast<unsigned char>(i * 7 + 3);
    r.header.ushSamplesInScan = samples;
    r.header.ushUsedChannels = channels;
    r.header.sLC.ushLine = line;
    r.soda = distinctSoda(line);
    for (uint16_t c = 0; c < channels; ++c)
        for (uint16_t i = 0; i < samples; ++i) {
            r.samples.push_back(float(100 * c + i));
            r.samples.push_back(-float(i) - 0.5f);
        }
    return r;
}

// Byte offsets in a readouts.bin whose first record starts at 32.
constexpr size_t kRec0 = 32;
constexpr size_t kRecSamples = kRec0 + 4 + 48;    // ushSamplesInScan
constexpr size_t kRecChannels = kRec0 + 4 + 50;   // ushUsedChannels
constexpr size_t kRecSoda = kRec0 + 4 + 192;      // slice geometry
constexpr size_t kReadoutFixed = 340;

}  // namespace offlinetest
