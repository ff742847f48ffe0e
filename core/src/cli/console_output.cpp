#include "cli/console_output.hpp"

#include "io/console.hpp"

namespace kestrune {

void StandardConsole::write_out(std::string_view text) {
    write_stdout(text);
}

void StandardConsole::write_err(std::string_view text) {
    write_stderr(text);
}

}  // namespace kestrune
