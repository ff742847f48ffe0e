#include "session.hpp"

#include <system_error>

#include "record_options.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

std::vector<std::filesystem::path> candidates(const std::filesystem::path& requested,
                                              const SessionLocations& locations) {
    std::vector<std::filesystem::path> list;
    list.push_back(requested.empty() ? default_output_dir() : requested);
    const auto add = [&list](std::filesystem::path p) {
        for (const auto& c : list)
            if (same_path(c, p))
                return;
        list.push_back(std::move(p));
    };
    if (auto wd = locations.working_dir())
        add(*wd);
    if (auto program = locations.program_path(); program && program->has_parent_path()) {
        add(program->parent_path() / "kestrune");
        add(program->parent_path());
    }
    if (auto docs = locations.documents_dir())
        add(*docs / "kestrune");
    return list;
}

bool is_dir(const std::filesystem::path& p) {
    std::error_code ec;
    return std::filesystem::is_directory(p, ec);
}

// What one attempt leaves behind if it fails after creating the directory.
struct Attempt {
    Session session;
    std::optional<std::filesystem::path> session_folder;
    bool main_file_created = false;

    void discard() {
        for (OutputSlot& slot : session.outputs)
            if (slot.writer)
                slot.writer->close();
        if (session.instructions)
            session.instructions->close();
        std::error_code ec;
        if (session_folder) {
            std::filesystem::remove_all(*session_folder, ec);
        } else if (main_file_created) {
            std::filesystem::remove(session.main_file, ec);
        }
    }
};

Result<void> create_dirs(const std::filesystem::path& p) {
    std::error_code ec;
    std::filesystem::create_directories(p, ec);
    if (ec)
        return std::unexpected(error_from_code(ec));
    if (!is_dir(p))
        return std::unexpected(error_from_code(std::make_error_code(std::errc::not_a_directory)));
    return {};
}

Result<void> fill(Attempt& attempt, const std::filesystem::path& dir, const SessionRequest& request,
                  const WriterConfig& writer) {
    Session& s = attempt.session;
    s.output_dir = dir;
    s.main_file = unique_path(dir / ("recording_" + request.timestamp + ".recpart"));
    if (request.mode == RecordingMode::SingleFile) {
        attempt.main_file_created = true;  // create may leave a file behind on failure
        Result<RecpartWriter> w =
            RecpartWriter::create(s.main_file, request.formats.front(), writer);
        if (!w)
            return std::unexpected(std::move(w.error()));
        s.files.push_back(s.main_file);
        OutputSlot slot{s.main_file, request.formats.front(), std::move(*w), 1, true};
        s.outputs.push_back(std::move(slot));
        return {};
    }

    std::filesystem::path name = s.main_file.stem();
    if (name.empty())
        name = "recording";
    const std::filesystem::path folder = unique_path(dir / name);
    attempt.session_folder = folder;
    if (Result<void> r = create_dirs(folder); !r)
        return r;
    for (std::size_t i = 0; i < request.labels.size(); ++i) {
        std::filesystem::path file_name = path_from_utf8(request.labels[i]);
        file_name += ".recpart";
        OutputSlot slot{folder / file_name, request.formats[i], std::nullopt, 1, false};
        if (request.mode == RecordingMode::StemsSilence || request.enabled[i]) {
            // Labels may collide after sanitising, or by letter case where file
            // names ignore it; the free name then names the slot's later files.
            const std::filesystem::path path = unique_path(slot.base_path);
            Result<RecpartWriter> w = RecpartWriter::create(path, request.formats[i], writer);
            if (!w)
                return std::unexpected(std::move(w.error()));
            s.files.push_back(path);
            slot.base_path = path;
            slot.writer.emplace(std::move(*w));
            slot.has_segment = true;
        }
        s.outputs.push_back(std::move(slot));
    }
    if (request.mode == RecordingMode::StemsInstructed) {
        Result<InstructionsWriter> iw = InstructionsWriter::create(folder / "instructions.txt");
        if (!iw)
            return std::unexpected(std::move(iw.error()));
        s.instructions.emplace(std::move(*iw));
        if (Result<void> r =
                s.instructions->write(instructions_header(request.formats.front().sample_rate));
            !r)
            return r;
    }
    return {};
}

}  // namespace

Result<Session> setup_session(const SessionRequest& request, const SessionLocations& locations,
                              const WriterConfig& writer) {
    const std::vector<std::filesystem::path> list = candidates(request.requested_dir, locations);
    NoWritableDir failures;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const std::filesystem::path& dir = list[index];
        const bool existed = is_dir(dir);
        Result<void> made = create_dirs(dir);
        Attempt attempt;
        if (made)
            made = fill(attempt, dir, request, writer);
        if (made) {
            Session s = std::move(attempt.session);
            s.created = !existed;
            if (index > 0) {
                s.warning = "Could not write to " + path_display(list.front()) + "; recording in " +
                            path_display(dir) + " instead: " + failures.tried.front().error_text;
            } else if (!existed) {
                s.warning = "Created output directory " + path_display(dir);
            }
            return s;
        }
        attempt.discard();
        // Only a directory this attempt created, and only when empty: a file
        // that stood where the directory should go is the user's.
        if (!existed && is_dir(dir)) {
            std::error_code ec;
            std::filesystem::remove(dir, ec);  // parents created with it stay
        }
        failures.tried.push_back({dir, made.error().text});
    }
    return std::unexpected(error_from_no_writable_dir(std::move(failures)));
}

}  // namespace kestrune
