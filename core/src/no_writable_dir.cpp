#include "no_writable_dir.hpp"

#include "text/path_text.hpp"

namespace kestrune {

std::string NoWritableDir::display_text() const {
    std::string text =
        "Recording couldn't be started because no writeable directory could be found. Please set "
        "the output directory field to a folder you can write to.";
    if (!tried.empty()) {
        text += "\n\nTried:";
        for (const TriedDirectory& t : tried) {
            text += "\n";
            text += path_display(t.directory);
            text += ": ";
            text += t.error_text;
        }
    }
    return text;
}

}  // namespace kestrune
