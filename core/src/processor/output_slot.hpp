#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "output_format.hpp"
#include "files/recpart_writer.hpp"

namespace kestrune {

// One output of the processor: the mixed file, or one source's stem.
struct OutputSlot {
    // Names every file of the slot by its stem, even when unique_path gave the
    // first file another name.
    std::filesystem::path base_path;
    OutputFormat format;
    std::optional<RecpartWriter> writer;  // the file being written, if any
    std::uint32_t segment = 1;            // instructed stems only
    bool has_segment = false;
    // The name a roll-over would take, kept so that writing a block does not
    // build a path each time; valid for the part and segment it was made for.
    std::filesystem::path next_part = {};
    std::uint32_t next_part_number = 0;
    std::uint32_t next_part_segment = 0;
    // Segments ended while recording, kept open so that a repair meanwhile
    // passes them by; closed with the slot.
    std::vector<RecpartWriter> ended = {};
};

// Ends the slot's current segment: its header is brought up to date and the
// file stays open in ended.
void end_segment(OutputSlot& slot);

// The stem that names a slot's files ("source" when the base path has none).
[[nodiscard]] std::filesystem::path slot_stem(const OutputSlot& slot);

// Beside the base path: stem, "_" + segment unless it is 1, "_part" + part
// unless it is 1, ".recpart".
[[nodiscard]] std::filesystem::path segment_file_path(const OutputSlot& slot, std::uint32_t part);

// The segment's name in instructions.txt: the stem of the writer's first file,
// or without one the stem plus "_" + segment unless 1.
[[nodiscard]] std::string instruction_name(const OutputSlot& slot);

// The mixed file's next part: dir / stem + "_part" + part + ".recpart".
[[nodiscard]] std::filesystem::path mix_part_path(const std::filesystem::path& dir,
                                                  const OutputSlot& slot, std::uint32_t part);

// The path of the part after the writer's current one, for its roll-over:
// the stem of the writer's first file + "_part" + part, beside it. Without a
// writer: beside the base path (stems) or in dir (the mixed file).
[[nodiscard]] const std::filesystem::path& next_segment_part(OutputSlot& slot);
[[nodiscard]] const std::filesystem::path& next_mix_part(OutputSlot& slot,
                                                         const std::filesystem::path& dir);

}  // namespace kestrune
