#include "cli/console_repair.hpp"

#include <string>

#include "files/finalize.hpp"
#include "text/path_text.hpp"

namespace kestrune {

void run_console_repair(const std::filesystem::path& dir, ConsoleOutput& console) {
    const std::vector<RepairResult> results = repair_directory(dir);
    if (results.empty()) {
        console.write_out("No incomplete recordings found in " + path_display(dir) + "\n");
        return;
    }
    for (const RepairResult& r : results) {
        if (r.in_use) {
            console.write_out("Left alone (still being recorded): " + path_display(r.path) + "\n");
        } else if (r.outcome) {
            console.write_out("Repaired: " + path_display(r.path) + " -> " +
                              path_display(*r.outcome) + "\n");
        } else {
            console.write_err("Failed " + path_display(r.path) + ": " + r.outcome.error().text +
                              "\n");
        }
    }
}

}  // namespace kestrune
