#pragma once
// The platform's fallback places for a recording. The Windows build supplies
// the real ones; tests supply their own.

#include <filesystem>
#include <optional>

namespace kestrune {

class SessionLocations {
public:
    virtual ~SessionLocations() = default;
    [[nodiscard]] virtual std::optional<std::filesystem::path> working_dir() const = 0;
    // The program file itself (its directory is a candidate).
    [[nodiscard]] virtual std::optional<std::filesystem::path> program_path() const = 0;
    // The user's Documents folder.
    [[nodiscard]] virtual std::optional<std::filesystem::path> documents_dir() const = 0;
};

}  // namespace kestrune
