// A fresh directory under the system temp directory, removed with its
// contents at the end of the scope. Shared by the test areas.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace duvtest {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "duv-test") {
        // A random name that create_directory claims atomically, on Linux
        // and on Windows alike.
        namespace fs = std::filesystem;
        std::random_device seed;
        std::mt19937_64 rng((static_cast<unsigned long long>(seed()) << 32) ^ seed());
        for (;;) {
            path_ = fs::temp_directory_path() / (tag + "-" + std::to_string(rng() % 1000000000000ULL));
            std::error_code ec;
            if (fs::create_directory(path_, ec)) break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace duvtest
