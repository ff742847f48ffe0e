#include "controller/window_layout.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include "quality_presets.hpp"

namespace kestrune {

int device_list_room(std::size_t device_count) {
    return 16 * static_cast<int>(
                    std::max<std::size_t>(std::min<std::size_t>(device_count, 1u << 20), 2));
}

float layout_scale(int screen_width, int screen_height, std::optional<float> dpi_factor,
                   std::size_t device_count) {
    const float sw = static_cast<float>(screen_width - 40);
    const float sh = static_cast<float>(screen_height - 100);
    const float dpi = dpi_factor.value_or(1.0f);
    const float fit = std::min(sw / 1920.0f, sh / 1080.0f);
    const float a = std::max(1.0f, std::max(dpi, fit));
    const float height = static_cast<float>(CLIENT_BASE_HEIGHT + device_list_room(device_count));
    const float fitted = std::min(sh / height, std::min(sw / static_cast<float>(CLIENT_WIDTH), a));
    // std::max(0.75f, NaN) would keep NaN; a broken DPI value must not shrink
    // the window to nothing.
    if (std::isnan(fitted))
        return 0.75f;
    return std::max(0.75f, fitted);
}

int scale_length(double logical, float scale) {
    const double v = std::round(logical * static_cast<double>(scale));
    if (std::isnan(v))
        return 0;
    if (v >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (v <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(v);
}

std::optional<LayoutRect> meter_cell(std::size_t index, std::size_t count) {
    if (index >= count || index >= METER_MAX)
        return std::nullopt;
    const int gap = 10;
    const bool two_columns = count > METER_ROWS;
    const int width = two_columns ? (METER_BAND_WIDTH - gap) / 2 : METER_BAND_WIDTH;
    const auto column = static_cast<int>(index / METER_ROWS);
    const auto row = static_cast<int>(index % METER_ROWS);
    return LayoutRect{METER_BAND_X + column * (width + gap), METER_BAND_Y + row * METER_ROW, width,
                      METER_ROW - 2};
}

std::size_t quality_index_for(const std::optional<OutputFormat>& format) {
    const auto rows = quality_presets();
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (format ? rows[i].format == format : !rows[i].format.has_value())
            found = i;
    }
    return found.value_or(0);
}

std::string device_item_text(const std::string& name, bool on) {
    return std::string(on ? "on " : "off") + "  \u2014  " + name;
}

}  // namespace kestrune
