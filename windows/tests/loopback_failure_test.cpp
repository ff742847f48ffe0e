#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "backend_win/loopback_failure.hpp"
#include "capture/capture_texts.hpp"
#include "common/module_path.hpp"

namespace kestrune::win {
namespace {

TEST(LoopbackFailure, LogBesideTheProgramKeepsOnlyTheLastFailureAndStandardErrorSaysIt) {
    const std::filesystem::path log = loopback_log_path(executable_path());
    // An earlier, longer failure must not survive in the file.
    std::ofstream(log, std::ios::binary) << std::string(200, 'x') << "\n";
    testing::internal::CaptureStderr();
    report_loopback_failure("GetService: 0x88890003");
    const std::string err = testing::internal::GetCapturedStderr();
    std::ifstream in(log, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    in.close();
    EXPECT_EQ(text, "Loopback error: GetService: 0x88890003\n");
    EXPECT_EQ(err, "Loopback capture error: GetService: 0x88890003\n");
    std::filesystem::remove(log);
}

}  // namespace
}  // namespace kestrune::win
