#include "output_slot.hpp"

#include <string>

#include "text/path_text.hpp"

namespace kestrune {
namespace {

// Later parts are named after the file the writer started on, which is unique
// even when two slots' labels collide: slot stems are not.
std::filesystem::path part_after_first(const std::filesystem::path& first, std::uint32_t part) {
    std::filesystem::path name = first.stem();
    name += "_part" + std::to_string(part) + ".recpart";
    return first.parent_path() / name;
}

template <class Build>
const std::filesystem::path& cached_next_part(OutputSlot& slot, Build build) {
    const std::uint32_t part = slot.writer ? slot.writer->part() + 1 : 2;
    if (slot.next_part.empty() || slot.next_part_number != part ||
        slot.next_part_segment != slot.segment) {
        slot.next_part = build(part);
        slot.next_part_number = part;
        slot.next_part_segment = slot.segment;
    }
    return slot.next_part;
}

}  // namespace

void end_segment(OutputSlot& slot) {
    if (!slot.writer)
        return;
    (void)slot.writer->flush();
    (void)slot.writer->rewrite_header();
    slot.ended.push_back(std::move(*slot.writer));
    slot.writer.reset();
}

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
    if (slot.writer)
        return path_display(slot.writer->first_path().stem());
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

const std::filesystem::path& next_segment_part(OutputSlot& slot) {
    return cached_next_part(slot, [&](std::uint32_t part) {
        return slot.writer ? part_after_first(slot.writer->first_path(), part)
                           : segment_file_path(slot, part);
    });
}

const std::filesystem::path& next_mix_part(OutputSlot& slot, const std::filesystem::path& dir) {
    return cached_next_part(slot, [&](std::uint32_t part) {
        return slot.writer ? part_after_first(slot.writer->first_path(), part)
                           : mix_part_path(dir, slot, part);
    });
}

}  // namespace kestrune
