// One input is one file on disk, handed to everything that reads a WAV or
// .recpart header: the header walk, the peak scan, normalise and repair. Any
// crash, sanitizer report or broken promise (a repaired file that is not a
// readable WAV, an input changed by a failed normalise) stops the run.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "files/finalize.hpp"
#include "files/normalize.hpp"
#include "files/peak.hpp"
#include "files/wav_header.hpp"
#include "files/wav_reader.hpp"
#include "io/file.hpp"

namespace fs = std::filesystem;

namespace {

const fs::path& work_dir() {
    static const fs::path dir = [] {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = base / ("kestrune_fuzz_" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

void put(const fs::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<char> get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrune;
    const fs::path dir = work_dir();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        fs::remove(e.path(), ec);

    const fs::path wav = dir / "in.wav";
    put(wav, data, size);
    if (Result<FilePtr> f = open_file(wav, OpenMode::ExistingRead); f)
        (void)read_wav_header(**f);
    (void)measure_peak(wav);

    const std::vector<char> before = get(wav);
    Result<NormalizeOutcome> normalized = normalize_file(wav);
    if (!normalized && get(wav) != before)
        broken("a failed normalise changed its input");
    if (fs::exists(dir / "in.wav.tmp"))
        broken("normalise left its temporary file");
    if (normalized && *normalized == NormalizeOutcome::Normalized && !WavReader::open(wav))
        broken("normalise wrote a file it cannot read back");

    const fs::path recpart = dir / "in.recpart";
    put(recpart, data, size);
    Result<fs::path> repaired = finalize_recpart(recpart);
    if (repaired) {
        if (fs::file_size(*repaired) != size && size >= 58)
            broken("repair changed the file's length");
        (void)measure_peak(*repaired);
    } else if (get(recpart) != std::vector<char>(data, data + size)) {
        // A header that passed the first checks may be rewritten even when
        // the rename then fails; a read failure must leave the bytes alone.
        if (repaired.error().kind == ErrorKind::InvalidData)
            broken("a refused repair changed its input");
    }
    return 0;
}
