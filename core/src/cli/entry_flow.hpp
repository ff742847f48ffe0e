#pragma once
// What the process does with its command line: help, an argument error, a
// console repair, or the window. The platform supplies the host.

#include <chrono>
#include <string>
#include <vector>

#include "cli/console_output.hpp"
#include "cli/gui_startup.hpp"

namespace kestrune {

class EntryHost : public ConsoleOutput {
public:
    [[nodiscard]] virtual std::chrono::steady_clock::time_point now() = 0;
    // Called once before the first console output; never on the window path,
    // so a window started from a console does not live and die with it.
    virtual void prepare_console() = 0;
    [[nodiscard]] virtual int run_gui(const GuiStartup& startup) = 0;
};

// args excludes the program path. Returns the process exit code: 0 after help
// and a console repair, 1 after an argument error, else what run_gui returns.
[[nodiscard]] int run_entry(const std::vector<std::string>& args, EntryHost& host);

}  // namespace kestrune
