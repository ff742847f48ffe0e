#pragma once
// instructions.txt: the header and one line per segment, kept in an 8 KiB
// buffer that reaches the file when it fills or when the recording finishes.

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "io/file.hpp"

namespace kestrune {

inline constexpr std::size_t INSTRUCTIONS_BUFFER_BYTES = 8192;

class InstructionsWriter {
public:
    [[nodiscard]] static Result<InstructionsWriter> create(const std::filesystem::path& path);
    explicit InstructionsWriter(FilePtr file);

    InstructionsWriter(InstructionsWriter&&) noexcept = default;
    InstructionsWriter& operator=(InstructionsWriter&&) noexcept = default;
    // Writes out what is buffered, errors ignored.
    ~InstructionsWriter();

    [[nodiscard]] Result<void> write(std::string_view text);
    [[nodiscard]] Result<void> flush();
    // flush with errors ignored, then close. Idempotent.
    void close();

private:
    FilePtr file_;
    std::vector<std::byte> buffer_;
};

// The fourteen comment lines that open every instructions file.
[[nodiscard]] std::string instructions_header(std::uint32_t sample_rate);

}  // namespace kestrune
