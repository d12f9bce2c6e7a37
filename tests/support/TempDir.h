// A fresh directory under the system temp directory, removed with its
// contents at the end of the scope. Shared by the test areas.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace duvtest {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "duv-test") {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / (tag + "-XXXXXX")).string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        path_ = ::mkdtemp(buf.data());
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
