#include "controller/after_recording.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include "controller/source_status.hpp"
#include "files/copy_file.hpp"
#include "files/finalize.hpp"
#include "files/normalize.hpp"
#include "files/peak.hpp"
#include "files/recpart_writer.hpp"
#include "io/console.hpp"
#include "io/file.hpp"
#include "text/join.hpp"
#include "text/path_text.hpp"

namespace fs = std::filesystem;

namespace kestrune {
namespace {

bool is_wav_extension(const fs::path& p) {
    std::string ext = path_display(p.extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".wav";
}

// Component-wise prefix test: is path inside dir (or dir itself)?
bool lies_inside(const fs::path& path, const fs::path& dir) {
    auto p = path.lexically_normal();
    auto d = dir.lexically_normal();
    auto pi = p.begin();
    for (auto di = d.begin(); di != d.end(); ++di, ++pi) {
        if (di->empty() && std::next(di) == d.end())
            break;  // trailing separator
        if (pi == p.end() || *pi != *di)
            return false;
    }
    return true;
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

fs::path part_destination(const fs::path& chosen, std::size_t index) {
    if (index == 0)
        return chosen;
    // Built from path pieces rather than text, so a name the UTF-8 side cannot
    // represent still numbers correctly.
    fs::path stem = chosen.stem();
    if (stem.empty())
        stem = "recording";
    fs::path ext = chosen.extension();
    if (ext.empty() || ext == ".")
        ext = ".wav";
    fs::path name = stem;
    name += "_part" + std::to_string(index + 1);
    name += ext;
    return chosen.parent_path() / name;
}

fs::path with_wav_extension(const fs::path& chosen) {
    fs::path p = chosen;
    if (!p.has_extension())
        p.replace_extension("wav");
    return p;
}

void offer_normalize(const StopResult& result, const FileList& finished, View& view) {
    if (result.stems || result.used_sources >= result.total_sources)
        return;
    std::vector<float> peaks;
    for (const auto& file : finished) {
        if (auto peak = measure_peak(file))
            peaks.push_back(*peak);
    }
    if (peaks.empty())
        return;
    float loudest = 0.0f;
    for (float p : peaks) {
        if (!std::isnan(p))
            loudest = std::max(loudest, p);
    }
    if (!(loudest < 0.5f))
        return;
    const std::string question =
        "Recording used " + std::to_string(result.used_sources) + " of " +
        std::to_string(result.total_sources) +
        " sources and the file is quiet (headroom from unused sources).\n\nNormalize to peak "
        "volume now?";
    if (!view.ask_yes_no(question, "Normalize recording?"))
        return;

    std::vector<std::string> errors;
    for (const auto& file : finished) {
        auto outcome = normalize_file(file);
        if (!outcome)
            errors.push_back(path_display(file) + ": " + outcome.error().text);
    }
    const std::size_t n = finished.size();
    if (errors.empty()) {
        view.show_message("Normalized " + std::to_string(n) + " file(s).", "Normalize complete",
                          MessageIcon::Information);
    } else {
        view.show_message("Normalized " + std::to_string(n - errors.size()) + " file(s) with " +
                              std::to_string(errors.size()) + " error(s):\n" + join(errors, "\n"),
                          "Normalize error", MessageIcon::Error);
    }
}

void clean_up_created_dir(const FileList& finished, const fs::path& output_dir) {
    const bool moved_out = std::any_of(finished.begin(), finished.end(), [&](const fs::path& p) {
        return !lies_inside(p, output_dir);
    });
    if (!moved_out)
        return;
    std::error_code ec;
    fs::remove(output_dir, ec);
    if (ec) {
        write_stderr("Could not remove temporary output directory " + path_display(output_dir) +
                     ": " + error_from_code(ec).text + "\n");
    }
}

std::string summary(const FileList& finished, bool stems) {
    const std::string first = path_display(finished.front());
    const std::string n = std::to_string(finished.size());
    if (stems)
        return finished.size() == 1 ? "Saved stem: " + first : "Saved " + n + " stems: " + first;
    return finished.size() == 1 ? "Saved: " + first : "Saved " + n + " parts: " + first;
}

// The files whose usual names were taken, as " (names in use, saved as: ...)".
std::string free_name_note(const FileList& moved, const fs::path& chosen) {
    std::vector<std::string> renamed;
    for (std::size_t i = 0; i < moved.size(); ++i) {
        const fs::path usual =
            i == 0 ? with_wav_extension(chosen) : part_destination(moved.front(), i);
        if (moved[i] != usual)
            renamed.push_back(path_display(moved[i].filename()));
    }
    if (renamed.empty())
        return {};
    return " (names in use, saved as: " + join(renamed, ", ") + ")";
}

}  // namespace

void finish_recording(Recorder&& recording, bool ask_where, View& view, Dialogs& dialogs,
                      bool unattended) {
    const StopResult result = std::move(recording).stop();
    finish_stopped(result, ask_where, view, dialogs, unattended);
}

void finish_stopped(const StopResult& result, bool ask_where, View& view, Dialogs& dialogs,
                    bool unattended) {
    FileList finished;
    std::vector<std::string> save_errors;
    for (const auto& file : result.files) {
        auto wav = finalize_recpart(file);
        if (wav) {
            finished.push_back(*wav);
        } else {
            save_errors.push_back(path_display(file) + ": " + wav.error().text);
        }
    }

    if (result.error) {
        std::string message = "Recording stopped because writing failed:\n" + *result.error;
        if (!finished.empty())
            message += "\n\nWhatever was captured before this has been saved.";
        if (!save_errors.empty())
            message += "\n\nSave error(s):\n" + join(save_errors, "\n");
        view.set_status("Recording error: " + *result.error);
        view.show_message(message, "Recording error", MessageIcon::Error);
        if (finished.empty())
            return;
    } else if (!save_errors.empty()) {
        view.set_status("Save error.");
        view.show_message("Save error(s):\n" + join(save_errors, "\n"), "Save error",
                          MessageIcon::Error);
        if (finished.empty())
            return;
    } else if (finished.empty()) {
        view.set_status("No audio recorded.");
        view.show_message("No audio was recorded.", "Nothing recorded", MessageIcon::Information);
        return;
    }

    if (!unattended)
        offer_normalize(result, finished, view);

    std::string renamed_note;

    if (ask_where) {
        std::optional<Result<FileList>> moved;
        if (!result.stems) {
            if (auto chosen = dialogs.save_as(finished.front().filename())) {
                moved = move_parts_to(finished, *chosen);
                if (*moved && !result.stems)
                    renamed_note = free_name_note(**moved, *chosen);
            }
        } else {
            auto folder = dialogs.pick_folder();
            if (!folder) {
                moved = std::unexpected(folder.error());
            } else if (*folder) {
                moved = move_stems_to(finished, **folder);
            }
        }
        if (moved && !*moved) {
            std::string message = "Save As error: " + moved->error().text;
            const fs::path parent = finished.front().parent_path();
            if (!parent.empty()) {
                message +=
                    "\n\nAny files that were not moved are still in:\n" + path_display(parent);
            }
            view.set_status("Save As error.");
            view.show_message(message, "Save As error", MessageIcon::Error);
            return;
        }
        if (moved) {
            finished = std::move(**moved);
            if (result.created)
                clean_up_created_dir(finished, result.output_dir);
        }
    }

    if (!finished.empty())
        view.set_status(summary(finished, result.stems) + gaps_note(result.gapped) + renamed_note);
}

Result<void> move_file(const fs::path& source, const fs::path& destination, bool replace) {
    // Saving a file onto itself (by any spelling of its name) has nothing to
    // move; deleting the "old" destination first would delete the recording.
    if (same_file(source, destination))
        return {};
    std::error_code ec;
    if (fs::exists(fs::symlink_status(destination, ec)) && !replace)
        return fail(ErrorKind::AlreadyExists, path_display(destination) + " already exists");
    // On one volume a rename puts the file in place in one step, replacing
    // atomically.
    Result<void> renamed =
        replace ? replace_file(source, destination) : rename_no_replace(source, destination);
    if (renamed || renamed.error().kind == ErrorKind::AlreadyExists)
        return renamed;
    // Across volumes: a copy under a temporary name beside the target, on the
    // disk before it takes the target's place, so a failed copy (a full disk, a
    // pulled stick) leaves both the target and the source as they were.
    fs::path temp_name = destination.filename();
    temp_name += ".tmp";
    const fs::path temp = unique_path(destination.parent_path() / temp_name);
    const auto discard = [&temp](Error e) -> Result<void> {
        std::error_code remove_ec;
        fs::remove(temp, remove_ec);
        return std::unexpected(std::move(e));
    };
    if (auto copied = copy_whole_file(source, temp); !copied)
        return discard(copied.error());
    if (auto synced = sync_file(temp); !synced)
        return discard(synced.error());
    Result<void> placed =
        replace ? replace_file(temp, destination) : rename_no_replace(temp, destination);
    if (!placed)
        return discard(placed.error());
    fs::remove(source, ec);
    if (ec)
        return std::unexpected(error_from_code(ec));
    return {};
}

Result<FileList> move_parts_to(const FileList& finished, const fs::path& chosen_in) {
    FileList moved;
    if (finished.empty())
        return moved;
    fs::path chosen = with_wav_extension(chosen_in);
    // The user confirmed replacing the name they typed, not this one.
    if (chosen != chosen_in && !same_file(finished.front(), chosen))
        chosen = unique_path(chosen);
    for (std::size_t i = 1; i < finished.size(); ++i) {
        if (same_file(finished[i], chosen))
            return fail(ErrorKind::AlreadyExists,
                        path_display(chosen) + " is part of this recording; choose another name");
    }
    if (auto r = move_file(finished.front(), chosen, true); !r)
        return std::unexpected(r.error());
    moved.push_back(chosen);

    // Nobody was asked about the later parts' names: a file already there
    // stays, and the part takes the next free name.
    for (std::size_t i = 1; i < finished.size(); ++i) {
        fs::path destination = part_destination(chosen, i);
        if (!same_file(finished[i], destination))
            destination = unique_path(destination);
        if (auto r = move_file(finished[i], destination, false); !r)
            return std::unexpected(r.error());
        moved.push_back(destination);
    }
    return moved;
}

Result<FileList> move_stems_to(const FileList& finished, const fs::path& folder) {
    if (finished.empty())
        return FileList{};
    const fs::path session = finished.front().parent_path();
    if (session.empty())
        return fail(ErrorKind::NotFound, "stem recording has no session directory");
    if (same_path(folder, session))
        return finished;

    // Listed first, moved after: a directory changing under its own iterator
    // may skip or repeat entries.
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(session, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(*it);
    }
    if (ec)
        return std::unexpected(error_from_code(ec));

    FileList moved;
    for (const auto& entry : entries) {
        std::error_code type_ec;
        if (!entry.is_regular_file(type_ec))
            continue;
        const fs::path destination = unique_path(folder / entry.path().filename());
        if (auto r = move_file(entry.path(), destination, false); !r) {
            return std::unexpected(r.error());
        }
        if (is_wav_extension(destination))
            moved.push_back(destination);
    }
    if (!fs::remove(session, ec) || ec) {
        if (!ec)
            ec = std::make_error_code(std::errc::no_such_file_or_directory);
        return std::unexpected(error_from_code(ec));
    }
    return moved;
}

}  // namespace kestrune
