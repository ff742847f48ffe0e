#include "output_slot.hpp"

#include <string>

#include "text/path_text.hpp"

namespace kestrune {

std::filesystem::path slot_stem(const OutputSlot& slot) {
    std::filesystem::path stem = slot.base_path.stem();
    if (stem.empty())
        stem = "source";
    return stem;
}

std::filesystem::path segment_file_path(const OutputSlot& slot, std::uint32_t part) {
    std::filesystem::path name = slot_stem(slot);
    if (slot.segment != 1)
        name += "_" + std::to_string(slot.segment);
    if (part != 1)
        name += "_part" + std::to_string(part);
    name += ".recpart";
    return slot.base_path.parent_path() / name;
}

std::string instruction_name(const OutputSlot& slot) {
    std::string name = path_display(slot_stem(slot));
    if (slot.segment != 1)
        name += "_" + std::to_string(slot.segment);
    return name;
}

std::filesystem::path mix_part_path(const std::filesystem::path& dir, const OutputSlot& slot,
                                    std::uint32_t part) {
    std::filesystem::path name = slot_stem(slot);
    name += "_part" + std::to_string(part) + ".recpart";
    return dir / name;
}

}  // namespace kestrune
