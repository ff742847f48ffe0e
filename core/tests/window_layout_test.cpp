#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "controller/window_layout.hpp"
#include "quality_presets.hpp"

namespace kestrune {
namespace {

TEST(WindowLayout, ScaleFollowsDpiAndScreenWithinLimits) {
    struct Case {
        const char* name;
        int width, height;
        std::optional<float> dpi;
        std::size_t devices;
        float scale;
    };
    const Case cases[] = {
        {"1080p at 96 DPI, 3 devices", 1920, 1080, 1.0f, 3, 1.0f},
        {"4K at 192 DPI, 2 devices", 3840, 2160, 2.0f, 2, 2.0f},
        {"720p, 30 devices: held at 0.75", 1280, 720, 1.0f, 30, 0.75f},
        {"720p, 20 devices: shrinks to fit", 1280, 720, 1.0f, 20, 620.0f / 818.0f},
        {"no device context", 1920, 1080, std::nullopt, 0, 1.0f},
        {"large screen at 96 DPI", 3840, 2160, 1.0f, 2, 2060.0f / 1080.0f},
        {"nonsense DPI", 1920, 1080, std::numeric_limits<float>::quiet_NaN(), 2, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(layout_scale(c.width, c.height, c.dpi, c.devices), c.scale, 1e-4);
    }
    // Client area at scale 1.0 with 3 items: 600 x 546.
    EXPECT_EQ(scale_length(CLIENT_BASE_HEIGHT + device_list_room(3), 1.0f), 546);
    EXPECT_EQ(device_list_room(0), 32);
    EXPECT_EQ(device_list_room(1), 32);
    EXPECT_EQ(device_list_room(30), 480);
}

TEST(WindowLayout, ScaledLengthsRoundHalfAwayAndClamp) {
    EXPECT_EQ(scale_length(10, 1.25f), 13);  // 12.5
    EXPECT_EQ(scale_length(-10, 1.25f), -13);
    EXPECT_EQ(scale_length(26, 0.75f), 20);  // 19.5
    EXPECT_EQ(scale_length(1e12, 1.0f), INT_MAX);
    EXPECT_EQ(scale_length(-1e12, 1.0f), INT_MIN);
    EXPECT_EQ(scale_length(10, std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(WindowLayout, QualityRowForTheInitialFormat) {
    const auto rows = quality_presets();
    EXPECT_EQ(rows[quality_index_for(std::nullopt)].label, "Auto (match source)");
    EXPECT_EQ(rows[quality_index_for(OutputFormat{48000, 2, 24, false})].label,
              "Studio  \u2014  48 kHz / 24-bit");
    EXPECT_EQ(quality_index_for(OutputFormat{96000, 2, 32, true}), 4u);
    EXPECT_EQ(quality_index_for(OutputFormat{22050, 1, 8, false}), 0u);
}

TEST(WindowLayout, MeterCellsFillOneColumnThenTwo) {
    struct Case {
        std::size_t index, count;
        std::optional<LayoutRect> cell;
    };
    const Case cases[] = {
        {0, 1, LayoutRect{10, 92, 580, 14}},
        {3, 4, LayoutRect{10, 140, 580, 14}},
        {0, 5, LayoutRect{10, 92, 285, 14}},
        {4, 5, LayoutRect{305, 92, 285, 14}},
        {7, 8, LayoutRect{305, 140, 285, 14}},
        {8, 9, std::nullopt},  // no room left
        {2, 2, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + " of " + std::to_string(c.count));
        EXPECT_EQ(meter_cell(c.index, c.count), c.cell);
    }
}

TEST(WindowLayout, DeviceItemTexts) {
    EXPECT_EQ(device_item_text("[Loopback] Speakers", false), "off  \u2014  [Loopback] Speakers");
    EXPECT_EQ(device_item_text("Line In", true), "on   \u2014  Line In");
}

}  // namespace
}  // namespace kestrune
