// Stand-in for the window start-up in builds that do not have the window yet.

#include "io/console.hpp"
#include "main/run_gui.hpp"

namespace kestrune::win {

int run_gui(const GuiStartup&) {
    write_stderr_line("The window is not available in this build.");
    return 1;
}

}  // namespace kestrune::win
