#pragma once
// The entry's window path: the window start-up takes over the main thread and
// returns the process exit code.

#include "cli/gui_startup.hpp"

namespace kestrune::win {

// Registers the window class, opens the main window (starting the timed
// recording first when startup asks for one) and runs the message loop.
[[nodiscard]] int run_gui(const GuiStartup& startup);

}  // namespace kestrune::win
