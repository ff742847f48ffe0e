#include "cli/usage.hpp"

#include "io/console.hpp"
#include "quality_presets.hpp"

namespace kestrune {
namespace {

// Keys are padded so that their descriptions line up with the "auto" line.
constexpr std::size_t KEY_COLUMN_WIDTH = 22;

}  // namespace

std::string usage_text() {
    std::string text =
        "Usage: kestrune [OPTIONS]\n"
        "\n"
        "Options:\n"
        "  --duration <secs>     Start recording immediately, stop after <secs> seconds\n"
        "  --mic                 Include microphone input\n"
        "  --output <dir>        Output directory\n"
        "  --repair              Repair incomplete .recpart files and exit\n"
        "  --stems               Record one file per source (instructed mode)\n"
        "  --stems-silence       Record one file per source, inserting silence for gaps\n"
        "  --format <preset>     Output quality (default: auto)\n"
        "    auto                  Match native device format\n";
    for (const QualityPreset& row : quality_presets()) {
        if (!row.key)
            continue;
        text += "    ";
        text += *row.key;
        if (row.key->size() < KEY_COLUMN_WIDTH)
            text.append(KEY_COLUMN_WIDTH - row.key->size(), ' ');
        text += row.label;
        text += '\n';
    }
    text +=
        "\n"
        "  Note: Fixed presets always produce stereo output. Use --format auto\n"
        "  to preserve mono sources when recording stems.\n"
        "  --help                Show this message\n";
    return text;
}

void print_usage() {
    write_stderr(usage_text());
}

}  // namespace kestrune
