#pragma once
// What happens between Stop and a ready window: .recpart files become .wav
// files, problems are reported, a quiet mix is offered normalisation, files
// go where the user picks, and the status shows a summary. Every step is
// modal; the window is already idle when this runs.

#include <filesystem>

#include "controller/view.hpp"
#include "error.hpp"
#include "recorder/recorder.hpp"

namespace kestrune {

// Stops the recording (blocking until its files are finished), then runs
// finish_stopped.
void finish_recording(Recorder&& recording, bool ask_where, View& view, Dialogs& dialogs,
                      bool unattended = false);

// An unattended run (a timed recording from the command line) asks no
// question nobody is there to answer: a quiet mix is left as recorded.
void finish_stopped(const StopResult& result, bool ask_where, View& view, Dialogs& dialogs,
                    bool unattended = false);

// Moves a file, falling back to copy and delete across volumes. Without
// replace an existing destination is an AlreadyExists error.
[[nodiscard]] Result<void> move_file(const std::filesystem::path& source,
                                     const std::filesystem::path& destination, bool replace);

// The first file becomes chosen (".wav" added when it has no extension), the
// following ones <stem>_part<n>.<ext> beside it. Stops at the first failure.
[[nodiscard]] Result<FileList> move_parts_to(const FileList& finished,
                                             const std::filesystem::path& chosen);

// Moves every regular file of the session directory into folder under a free
// name and removes the session directory; returns the moved .wav files.
[[nodiscard]] Result<FileList> move_stems_to(const FileList& finished,
                                             const std::filesystem::path& folder);

}  // namespace kestrune
