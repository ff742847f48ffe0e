#pragma once
// Where the console paths of the entry write: the process's standard streams,
// or a recorder in tests.

#include <string_view>

namespace kestrune {

class ConsoleOutput {
public:
    virtual ~ConsoleOutput() = default;
    virtual void write_out(std::string_view text) = 0;
    virtual void write_err(std::string_view text) = 0;
};

class StandardConsole : public ConsoleOutput {
public:
    void write_out(std::string_view text) override;
    void write_err(std::string_view text) override;
};

}  // namespace kestrune
