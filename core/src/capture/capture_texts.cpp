#include "capture/capture_texts.hpp"

#include <cstdio>

namespace kestrune {

std::string hex_code(std::uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(code));
    return buf;
}

std::string step_error(std::string_view step, std::uint32_t code) {
    std::string text(step);
    text += ": ";
    text += hex_code(code);
    return text;
}

std::string loopback_log_text(std::string_view error) {
    return "Loopback error: " + std::string(error) + "\n";
}

std::string loopback_stderr_line(std::string_view error) {
    return "Loopback capture error: " + std::string(error);
}

std::string loopback_lost_line(std::string_view error) {
    return "Loopback capture error: device lost: " + std::string(error);
}

std::string mic_lost_line(std::string_view error) {
    return "Mic stream error: device lost: " + std::string(error);
}

std::string keep_alive_failed_line(std::string_view error) {
    return "Loopback keep-alive stream failed: " + std::string(error);
}

std::string unsupported_format_line(std::string_view sample_type) {
    return "Mic stream: unsupported sample format " + std::string(sample_type);
}

std::filesystem::path loopback_log_path(const std::optional<std::filesystem::path>& executable) {
    const std::filesystem::path name{std::string(LOOPBACK_LOG_FILE_NAME)};
    if (!executable || !executable->has_parent_path())
        return name;
    return executable->parent_path() / name;
}

}  // namespace kestrune
