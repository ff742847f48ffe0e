#pragma once
// The entry's host on Windows: the real clock, the window start-up, and the
// process's standard streams, attached to the parent's console on demand.

#include "cli/entry_flow.hpp"

namespace kestrune::win {

// Puts the C runtime's standard streams in binary mode: in text mode every line
// feed would become CR LF in redirected output, and the texts are defined with
// bare line feeds.
void use_binary_std_streams();

// Standard streams that are not redirected (no valid handle) are pointed at the
// console of the parent process, if it has one; redirected ones are left
// alone, and no console is ever created.
void attach_parent_console();

class ConsoleHost final : public EntryHost {
public:
    std::chrono::steady_clock::time_point now() override;
    void prepare_console() override;
    int run_gui(const GuiStartup& startup) override;
    void write_out(std::string_view text) override;
    void write_err(std::string_view text) override;
};

}  // namespace kestrune::win
