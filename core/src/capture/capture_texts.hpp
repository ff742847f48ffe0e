#pragma once
// The capture backend's fixed texts and the one formatting of result codes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

inline constexpr std::string_view MIC_THREAD_EXITED = "mic capture thread exited before starting";
inline constexpr std::string_view STREAM_CONFIG_NOT_SUPPORTED = "StreamConfigNotSupported";
inline constexpr std::string_view LOOPBACK_LOG_FILE_NAME = "kestrune_loopback_error.txt";

// "0x" and eight upper-case hexadecimal digits with leading zeros.
[[nodiscard]] std::string hex_code(std::uint32_t code);

// "<step>: 0x" + code, e.g. "Initialize: 0x88890003".
[[nodiscard]] std::string step_error(std::string_view step, std::uint32_t code);

// The log file's whole content after a failed loopback start.
[[nodiscard]] std::string loopback_log_text(std::string_view error);
// The standard-error line, without its line feed.
[[nodiscard]] std::string loopback_stderr_line(std::string_view error);
// A running capture whose device went away, without the line feed.
[[nodiscard]] std::string loopback_lost_line(std::string_view error);
[[nodiscard]] std::string mic_lost_line(std::string_view error);
// The silent stream that keeps a loopback endpoint running could not be opened.
[[nodiscard]] std::string keep_alive_failed_line(std::string_view error);
[[nodiscard]] std::string unsupported_format_line(std::string_view sample_type);

// Beside the executable; the bare name when its path is unknown or has no parent.
[[nodiscard]] std::filesystem::path loopback_log_path(
    const std::optional<std::filesystem::path>& executable);

}  // namespace kestrune
