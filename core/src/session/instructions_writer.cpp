#include "instructions_writer.hpp"

#include <string>

namespace kestrune {

Result<InstructionsWriter> InstructionsWriter::create(const std::filesystem::path& path) {
    Result<FilePtr> file = open_file(path, OpenMode::CreateTruncate);
    if (!file)
        return std::unexpected(std::move(file.error()));
    return InstructionsWriter(std::move(*file));
}

InstructionsWriter::InstructionsWriter(FilePtr file) : file_(std::move(file)) {}

InstructionsWriter::~InstructionsWriter() {
    close();
}

Result<void> InstructionsWriter::write(std::string_view text) {
    if (!file_)
        return fail(ErrorKind::Other, "instructions file is closed");
    // Straight to the file: after a crash every offset written so far must be
    // there, and a line per segment start is rare enough to cost nothing.
    const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
    return write_all(*file_, std::span<const std::byte>(bytes, text.size()));
}

Result<void> InstructionsWriter::flush() {
    return {};
}

void InstructionsWriter::close() {
    if (!file_)
        return;
    (void)file_->close();
    file_.reset();
}

std::string instructions_header(std::uint32_t sample_rate) {
    return "# Kestrune session instructions\n"
           "# Sample rate: " +
           std::to_string(sample_rate) +
           "\n"
           "#\n"
           "# All stems in this session share the above sample rate.\n"
           "# Offsets below are sample-accurate at that rate.\n"
           "#\n"
           "# To mix this session in an audio editor:\n"
           "#   1. Repair any .recpart files to .wav using kestrune --repair\n"
           "#   2. Create a new project at the sample rate listed above\n"
           "#   3. For each line below, import the named file and place it\n"
           "#      at the given sample offset on the timeline\n"
           "#   4. Files play until their data ends; no trimming is needed\n"
           "#\n"
           "# sample_offset file\n";
}

}  // namespace kestrune
