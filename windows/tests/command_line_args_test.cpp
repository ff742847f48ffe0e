#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/command_line_args.hpp"

namespace kestrune::win {
namespace {

TEST(CommandLineArgs, SplitsByThePlatformRulesAndDropsTheProgram) {
    using Args = std::vector<std::string>;
    struct Case {
        std::wstring line;
        Args expected;
    };
    const std::vector<Case> cases = {
        {L"kestrune.exe", {}},
        {L"\"C:\\Program Files\\Kestrune\\kestrune.exe\" --help", {"--help"}},
        {L"kestrune.exe -o \"C:\\My Takes\" -d 5", {"-o", "C:\\My Takes", "-d", "5"}},
        {L"kestrune.exe -o \"a \\\"quoted\\\" name\"", {"-o", "a \"quoted\" name"}},
        {L"kestrune.exe -o C:\\dir\\", {"-o", "C:\\dir\\"}},
        {L"kestrune.exe -o \"\"", {"-o", ""}},
        {L"kestrune.exe -o Caf\u00E9", {"-o", "Caf\xC3\xA9"}},
        {L"kestrune.exe -o \U0001F600", {"-o", "\xF0\x9F\x98\x80"}},
        // An unpaired surrogate cannot be UTF-8; it becomes U+FFFD.
        {std::wstring(L"kestrune.exe -o x") + wchar_t(0xD800) + L"y", {"-o", "x\xEF\xBF\xBDy"}},
        {std::wstring(L"kestrune.exe ") + wchar_t(0xDC00), {"\xEF\xBF\xBD"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.expected));
        EXPECT_EQ(command_line_args(c.line.c_str()), c.expected);
    }
}

}  // namespace
}  // namespace kestrune::win
