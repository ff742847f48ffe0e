#include "main/command_line_args.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <memory>

#include "common/wide.hpp"

namespace kestrune::win {
namespace {

struct LocalFreeDeleter {
    void operator()(LPWSTR* p) const { ::LocalFree(p); }
};

}  // namespace

std::vector<std::string> command_line_args(const wchar_t* command_line) {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(
        ::CommandLineToArgvW(command_line, &count));
    std::vector<std::string> args;
    if (!argv)
        return args;
    for (int i = 1; i < count; ++i)
        args.push_back(to_utf8(argv.get()[i]));
    return args;
}

}  // namespace kestrune::win
