#include "channel_map.hpp"

namespace kestrune {

void map_channels(std::span<const float> samples, std::uint16_t from, std::uint16_t to,
                  std::vector<float>& out) {
    if (from == 0 || from == to) {
        out.insert(out.end(), samples.begin(), samples.end());
        return;
    }
    const std::size_t frames = samples.size() / from;
    out.reserve(out.size() + frames * to);
    const float* in = samples.data();
    for (std::size_t f = 0; f < frames; ++f, in += from) {
        if (from == 1 && to == 2) {
            out.push_back(in[0]);
            out.push_back(in[0]);
        } else if (from == 2 && to == 1) {
            out.push_back((in[0] + in[1]) * 0.5f);
        } else if (to == 1) {
            float sum = 0.0f;
            for (std::uint16_t c = 0; c < from; ++c)
                sum += in[c];
            out.push_back(sum / static_cast<float>(from));
        } else if (to == 2) {
            out.push_back(in[0]);
            out.push_back(in[1]);
        } else {
            for (std::uint16_t c = 0; c < to; ++c)
                out.push_back(c < from ? in[c] : 0.0f);
        }
    }
}

}  // namespace kestrune
