#include "TextFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace duvoffline {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 (overlong forms,
// surrogates and values above U+10FFFF are invalid).
size_t validSequence(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c == 0xE0) n = 3, lo = 0xA0;
    else if (c >= 0xE1 && c <= 0xEC) n = 3;
    else if (c == 0xED) n = 3, hi = 0x9F;
    else if (c >= 0xEE && c <= 0xEF) n = 3;
    else if (c == 0xF0) n = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) n = 4;
    else if (c == 0xF4) n = 4, hi = 0x8F;
    else return 0;
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

std::string escapeInvalidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = validSequence(text, i);
        if (n) {
            out.append(text, i, n);
            i += n;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += hex;
            ++i;
        }
    }
    return out;
}

nlohmann::json withValidUtf8(const nlohmann::json& value) {
    if (value.is_string()) return escapeInvalidUtf8(value.get_ref<const std::string&>());
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& v : value) out.push_back(withValidUtf8(v));
        return out;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto it = value.begin(); it != value.end(); ++it) out[escapeInvalidUtf8(it.key())] = withValidUtf8(*it);
        return out;
    }
    return value;
}

void writeTextFile(const std::string& path, const std::string& text) {
    const std::string partial = path + ".partial";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (!f) throw std::runtime_error(path + ": cannot be written: " + std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = errno;
    // A full disk often shows only when the buffered bytes are flushed.
    const bool closed = std::fclose(f) == 0;
    if (!closed && written) err = errno;
    if (!written || !closed) {
        std::remove(partial.c_str());
        throw std::runtime_error(path + ": write failed: " + std::strerror(err));
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        err = errno;
        std::remove(partial.c_str());
        throw std::runtime_error(path + ": cannot be renamed into place: " + std::strerror(err));
    }
}

void writeJsonFile(const std::string& path, const nlohmann::json& value) {
    writeTextFile(path, withValidUtf8(value).dump(2) + "\n");
}

}  // namespace duvoffline
