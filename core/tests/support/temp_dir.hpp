#pragma once
// A fresh directory per test, removed afterwards.

#include <filesystem>

namespace kestrune::test {

class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& p) const {
        return path_ / p;
    }

private:
    std::filesystem::path path_;
};

}  // namespace kestrune::test
