#pragma once
// How a loopback capture that could not start tells about it: its thread has
// no one to return an error to, so it leaves a log file beside the program and
// a line on standard error.

#include <string>

namespace kestrune::win {

// Truncates the log, so it keeps only the last failure; failures to write it
// are ignored.
void report_loopback_failure(const std::string& error);

}  // namespace kestrune::win
