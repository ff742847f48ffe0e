// Process entry: the UTF-16 command line in, the exit code out. The decisions
// live in the core's entry flow; this only supplies the Windows host.

#include <windows.h>

#include "cli/entry_flow.hpp"
#include "main/command_line_args.hpp"
#include "main/console_host.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kestrune::win::use_binary_std_streams();
    kestrune::win::ConsoleHost host;
    return kestrune::run_entry(kestrune::win::command_line_args(::GetCommandLineW()), host);
}
