#include "console.hpp"

#include <cstdio>
#include <string>

namespace kestrune {

void write_stderr_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write_stderr(line);
}

void write_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace kestrune
