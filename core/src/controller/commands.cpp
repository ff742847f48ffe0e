#include "controller/commands.hpp"

#include <string>

#include "files/finalize.hpp"
#include "files/normalize.hpp"
#include "text/path_text.hpp"

namespace kestrune {

void run_repair_command(View& view) {
    const std::string dir = view.output_text();
    const auto results = repair_directory(path_from_utf8(dir));
    std::string text;
    if (results.empty()) {
        text = "No incomplete recordings found.";
    } else {
        std::size_t repaired = 0;
        std::size_t in_use = 0;
        for (const auto& r : results) {
            if (r.in_use)
                ++in_use;
            else if (r.outcome)
                ++repaired;
        }
        const std::size_t failed = results.size() - repaired - in_use;
        text = std::to_string(results.size() - in_use) + " incomplete recording(s) found.\n" +
               std::to_string(repaired) + " repaired successfully.";
        if (failed > 0)
            text += "\n" + std::to_string(failed) + " failed to repair.";
        if (in_use > 0)
            text += "\n" + std::to_string(in_use) + " file(s) still being recorded, left alone.";
    }
    text += "\n\nDirectory checked:\n" + dir;
    view.show_message(text, "Repair Results", MessageIcon::Information);
}

void run_normalize_command(View& view, Dialogs& dialogs) {
    const auto chosen = dialogs.open_wav();
    if (!chosen)
        return;
    const std::string shown = path_display(*chosen);
    std::string text;
    std::string caption;
    MessageIcon icon = MessageIcon::Information;
    if (auto outcome = normalize_file(*chosen); !outcome) {
        text = "Normalize failed: " + outcome.error().text;
        caption = "Normalize error";
        icon = MessageIcon::Error;
    } else if (*outcome == NormalizeOutcome::Normalized) {
        text = "Normalized: " + shown;
        caption = "Normalize complete";
    } else {
        text = "Already at peak, no change: " + shown;
        caption = "Normalize skipped";
    }
    view.show_message(text, caption, icon);
    view.set_status(text);
}

}  // namespace kestrune
