#include <gtest/gtest.h>

#include "quality_presets.hpp"
#include "source_spec.hpp"

namespace kestrune {
namespace {

TEST(QualityPresets, FiveRowsAutomaticFirstAllFixedStereo) {
    const auto rows = quality_presets();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_FALSE(rows[0].key.has_value());
    EXPECT_FALSE(rows[0].format.has_value());
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_TRUE(rows[i].format.has_value());
        EXPECT_EQ(rows[i].format->channels, 2);
    }
    EXPECT_EQ(rows[1].label.size(), 34u);
    EXPECT_EQ(rows[4].label.size(), 42u);
}

TEST(SourceSpec, EqualityAndClassification) {
    EXPECT_NE(SourceSpec::input_device("Mic"), SourceSpec::input_device("mic"));
    EXPECT_EQ((SourceSpec{SourceKind::SystemAudio, "a"}), (SourceSpec{SourceKind::SystemAudio, "b"}));
    EXPECT_FALSE(is_loopback_entry("[Loopback]"));
    EXPECT_TRUE(is_loopback_entry("[Loopback] Speakers"));
    EXPECT_EQ(SourceSpec::loopback_device("[Loopback] Speakers").describe(),
              "loopback \"[Loopback] Speakers\"");
}

}  // namespace
}  // namespace kestrune
