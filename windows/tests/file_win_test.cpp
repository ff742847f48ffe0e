#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>

#include "io/file.hpp"

namespace kestrune {
namespace {

std::filesystem::path temp_file(const char* name) {
    return std::filesystem::temp_directory_path() / name;
}

TEST(WinFile, RecordingFileMayBeReadButNotOpenedForWritingOrRenamed) {
    const auto path = temp_file("kestrune_share_test.recpart");
    auto writer = open_file(path, OpenMode::CreateTruncate);
    ASSERT_TRUE(writer.has_value()) << writer.error().text;
    const std::byte bytes[4] = {std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}};
    ASSERT_TRUE(write_all(**writer, bytes).has_value());

    auto reader = open_file(path, OpenMode::ExistingRead);
    EXPECT_TRUE(reader.has_value());

    auto second_writer = open_file(path, OpenMode::ExistingReadWrite);
    ASSERT_FALSE(second_writer.has_value());
    // ERROR_SHARING_VIOLATION, whatever the system words it as.
    EXPECT_NE(second_writer.error().text.find("(os error 32)"), std::string::npos)
        << second_writer.error().text;

    EXPECT_FALSE(replace_file(path, temp_file("kestrune_share_test.wav")).has_value());

    reader = std::unexpected(make_error(ErrorKind::Other, ""));
    ASSERT_TRUE((*writer)->close().has_value());
    EXPECT_TRUE(replace_file(path, temp_file("kestrune_share_test.wav")).has_value());
    std::filesystem::remove(temp_file("kestrune_share_test.wav"));
}

}  // namespace
}  // namespace kestrune
