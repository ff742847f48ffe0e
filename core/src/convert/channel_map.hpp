#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune {

// Appends samples converted from `from` to `to` channels per frame: mono is
// duplicated, stereo to mono averages, more channels to mono average all, more
// to stereo keep the first two, anything else copies what exists and pads with
// silence. A partial trailing frame is ignored; equal counts or from == 0 pass
// everything unchanged.
void map_channels(std::span<const float> samples, std::uint16_t from, std::uint16_t to,
                  std::vector<float>& out);

}  // namespace kestrune
