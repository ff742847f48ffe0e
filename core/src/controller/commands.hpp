#pragma once
// The window's two file commands, independent of recording: repair the
// output folder's leftover .recpart files, and normalize one chosen WAV file.

#include "controller/view.hpp"

namespace kestrune {

void run_repair_command(View& view);
void run_normalize_command(View& view, Dialogs& dialogs);

}  // namespace kestrune
