#pragma once
// Where a recording may go on Windows when the requested folder fails: the
// working directory, the program's folder and the user's Documents.

#include "session/session_locations.hpp"

namespace kestrune::win {

class WinSessionLocations : public SessionLocations {
public:
    [[nodiscard]] std::optional<std::filesystem::path> working_dir() const override;
    [[nodiscard]] std::optional<std::filesystem::path> program_path() const override;
    [[nodiscard]] std::optional<std::filesystem::path> documents_dir() const override;
};

}  // namespace kestrune::win
