#include "session_names.hpp"

#include <chrono>
#include <cstdio>
#include <vector>

#include "session/unicode_alnum.hpp"
#include "text/utf.hpp"

namespace kestrune {
namespace {

// Decodes well-formed UTF-8 (sanitize_utf8 has already replaced the rest).
std::vector<std::pair<char32_t, std::string_view>> code_points(std::string_view s) {
    std::vector<std::pair<char32_t, std::string_view>> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = 1;
        char32_t c = b;
        if (b >= 0xF0) {
            len = 4;
            c = b & 0x07;
        } else if (b >= 0xE0) {
            len = 3;
            c = b & 0x0F;
        } else if (b >= 0xC0) {
            len = 2;
            c = b & 0x1F;
        }
        if (i + len > s.size())
            len = s.size() - i;
        for (std::size_t k = 1; k < len; ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.emplace_back(c, s.substr(i, len));
        i += len;
    }
    return out;
}

bool kept_punctuation(char32_t c) {
    return c == U' ' || c == U'-' || c == U'[' || c == U']' || c == U'(' || c == U')';
}

}  // namespace

std::string session_timestamp(std::uint64_t seconds_since_1970) {
    using namespace std::chrono;
    const auto days_since = static_cast<std::int64_t>(seconds_since_1970 / 86400);
    const auto in_day = static_cast<unsigned>(seconds_since_1970 % 86400);
    const year_month_day ymd{sys_days{days{days_since}}};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u_%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  in_day / 3600, in_day % 3600 / 60);
    return text;
}

std::string stem_label(const SourceSpec& spec) {
    switch (spec.kind) {
        case SourceKind::SystemAudio:
            return "loopback";
        case SourceKind::DefaultMicrophone:
            return "mic";
        case SourceKind::InputDevice:
        case SourceKind::LoopbackDevice:
            break;
    }
    return sanitize_label(spec.name);
}

std::string sanitize_label(std::string_view name) {
    const std::string valid = sanitize_utf8(name);
    std::string joined;
    bool pending_separator = false;
    for (const auto& [c, bytes] : code_points(valid)) {
        if (is_unicode_alnum(c) || kept_punctuation(c)) {
            if (pending_separator && !joined.empty())
                joined += '_';
            pending_separator = false;
            joined += bytes;
        } else {
            pending_separator = true;
        }
    }
    const std::size_t first = joined.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const std::size_t last = joined.find_last_not_of(' ');
    return joined.substr(first, last - first + 1);
}

}  // namespace kestrune
