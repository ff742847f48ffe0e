#pragma once
// instructions.txt: the header and one line per segment, each handed to the
// file as it is written.

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "io/file.hpp"

namespace kestrune {

class InstructionsWriter {
public:
    [[nodiscard]] static Result<InstructionsWriter> create(const std::filesystem::path& path);
    explicit InstructionsWriter(FilePtr file);

    InstructionsWriter(InstructionsWriter&&) noexcept = default;
    InstructionsWriter& operator=(InstructionsWriter&&) noexcept = default;
    ~InstructionsWriter();

    [[nodiscard]] Result<void> write(std::string_view text);
    // Nothing is held back; kept for callers that end with it.
    [[nodiscard]] Result<void> flush();
    // Idempotent.
    void close();

private:
    FilePtr file_;
};

// The fourteen comment lines that open every instructions file.
[[nodiscard]] std::string instructions_header(std::uint32_t sample_rate);

}  // namespace kestrune
