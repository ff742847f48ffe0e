#pragma once
// Window geometry and control contents that need no window system: the layout
// scale, scaled lengths, the quality row to select and device item texts.

#include <cstddef>
#include <optional>
#include <string>

#include "output_format.hpp"

namespace kestrune {

inline constexpr int CLIENT_WIDTH = 600;
// Client height without the device list's growing part.
inline constexpr int CLIENT_BASE_HEIGHT = 498;

// The level meters' band below the source check boxes: up to four rows in
// one column, then two columns.
inline constexpr int METER_BAND_X = 10;
inline constexpr int METER_BAND_Y = 92;
inline constexpr int METER_BAND_WIDTH = 580;
inline constexpr int METER_ROW = 16;
inline constexpr std::size_t METER_ROWS = 4;
inline constexpr std::size_t METER_MAX = 2 * METER_ROWS;

// A control's place in layout units, before scaling.
struct LayoutRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const LayoutRect&, const LayoutRect&) = default;
};

// Where meter index of count goes; absent beyond METER_MAX.
[[nodiscard]] std::optional<LayoutRect> meter_cell(std::size_t index, std::size_t count);

// L: the device list's room, 16 units per item with room for at least two.
[[nodiscard]] int device_list_room(std::size_t device_count);

// Never below 0.75; grows with the DPI or the screen from a 1920 x 1080
// reference; never beyond the screen less a margin. dpi_factor absent: 1.0.
[[nodiscard]] float layout_scale(int screen_width, int screen_height,
                                 std::optional<float> dpi_factor, std::size_t device_count);

// logical * scale rounded half away from zero, clamped to int; NaN gives 0.
[[nodiscard]] int scale_length(double logical, float scale);

// The quality row to select for the initial format: the last automatic row
// for none, else the last row with an equal format, else 0.
[[nodiscard]] std::size_t quality_index_for(const std::optional<OutputFormat>& format);

// "on " or "off", two spaces, an em dash, two spaces, the display name.
[[nodiscard]] std::string device_item_text(const std::string& name, bool on);

}  // namespace kestrune
