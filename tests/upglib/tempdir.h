// A fresh directory for tests that work on real files, removed with everything in it when the
// object goes out of scope.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ulstring.h"

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tabrix-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = std::filesystem::canonical(pattern).string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    // The directory (canonical: no symbolic links in it) or a name inside it, in UTF-8 ...
    const std::string& path() const { return path_; }
    std::string path(const std::string& name) const { return path_ + "/" + name; }
    // ... and in UTF-16.
    std::u16string wpath(const std::string& name = "") const {
        return ul_utf8to16(name.empty() ? path_.c_str() : path(name).c_str());
    }

    // Creates or replaces a file with exactly these bytes; returns its UTF-8 path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        out << bytes;
        return path(name);
    }

  private:
    std::string path_;
};

// Works in a directory until the end of the scope.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& directory) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(directory);
    }
    ~ScopedCwd() { std::filesystem::current_path(old_); }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

  private:
    std::filesystem::path old_;
};

// The whole content of a file as bytes ("" when it cannot be read).
inline std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
