// Normalising a 1 GiB 16-bit stereo WAV file already in the page cache, side
// by side with `sox --norm` on a copy of the same file, and measuring the peak
// alone. Targets: ours takes no longer than sox (ratio <= 1.0); the peak runs
// at 1 GB/s or more.
//
// Run:
//   cmake --build build/native --target bench_normalize && build/native/bin/bench_normalize [dir]
//
// The files (about 5 GiB at the worst moment) go into a fresh folder under dir,
// by default the system's temporary folder, and are deleted at the end.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "files/normalize.hpp"
#include "files/peak.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t DATA_BYTES = std::uint64_t{1} << 30;
constexpr std::uint64_t NEEDED_BYTES = 6 * DATA_BYTES;
constexpr int ROUNDS = 3;

void put_le(std::vector<char>& out, std::uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Noise between -16384 and 16384, so that the gain is just under 2 and every
// sample changes.
bool write_source(const fs::path& path) {
    std::vector<char> header;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    put_le(header, static_cast<std::uint32_t>(36 + DATA_BYTES), 4);
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le(header, 16, 4);
    put_le(header, 1, 2);
    put_le(header, 2, 2);
    put_le(header, 48000, 4);
    put_le(header, 48000 * 4, 4);
    put_le(header, 4, 2);
    put_le(header, 16, 2);
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    put_le(header, static_cast<std::uint32_t>(DATA_BYTES), 4);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    std::vector<std::int16_t> block(std::size_t{1} << 21);
    std::uint32_t state = 12345;
    for (std::uint64_t done = 0; done < DATA_BYTES; done += block.size() * 2) {
        for (auto& s : block) {
            state = state * 1664525u + 1013904223u;
            s = static_cast<std::int16_t>(static_cast<std::int32_t>(state >> 16) % 16385 *
                                          ((state & 1) ? 1 : -1));
        }
        if (done == 0)
            block[1] = 16384;
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * 2));
    }
    return static_cast<bool>(out.flush());
}

// Reads the file so that it sits in the page cache, and writes back what is
// dirty so that no earlier run's write-back lands in the next measurement.
void settle(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(std::size_t{1} << 22);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    }
    (void)std::system("sync");
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int run(const fs::path& dir) {
    const fs::path source = dir / "source.wav";
    const fs::path ours = dir / "ours.wav";
    const fs::path sox_in = dir / "sox_in.wav";
    const fs::path sox_out = dir / "sox_out.wav";
    std::printf("generating %s (1 GiB of 16-bit stereo)\n", source.string().c_str());
    if (!write_source(source)) {
        std::fprintf(stderr, "cannot write %s\n", source.string().c_str());
        return 1;
    }
    const double file_bytes = static_cast<double>(fs::file_size(source));

    std::vector<double> peak_times;
    settle(source);
    for (int i = 0; i < ROUNDS; ++i) {
        const auto start = Clock::now();
        const std::optional<float> peak = kestrune::measure_peak(source);
        peak_times.push_back(seconds_since(start));
        if (peak != 16384.0f / 32767.0f) {
            std::fprintf(stderr, "measure_peak gave a wrong result\n");
            return 1;
        }
    }

    std::vector<double> our_times, sox_times;
    const std::string sox_cmd = "sox --norm '" + sox_in.string() + "' '" + sox_out.string() + "'";
    for (int round = 0; round < ROUNDS; ++round) {
        std::error_code ec;
        fs::copy_file(source, ours, fs::copy_options::overwrite_existing, ec);
        if (!ec)
            fs::copy_file(source, sox_in, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            std::fprintf(stderr, "cannot copy the source: %s\n", ec.message().c_str());
            return 1;
        }
        // Alternate who goes first, so that neither always meets a busier cache.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                settle(ours);
                const auto start = Clock::now();
                const auto r = kestrune::normalize_file(ours);
                our_times.push_back(seconds_since(start));
                if (!r || *r != kestrune::NormalizeOutcome::Normalized) {
                    std::fprintf(stderr, "normalize_file failed: %s\n",
                                 r ? "unchanged" : r.error().text.c_str());
                    return 1;
                }
            } else {
                settle(sox_in);
                const auto start = Clock::now();
                const int rc = std::system(sox_cmd.c_str());
                sox_times.push_back(seconds_since(start));
                if (rc != 0) {
                    std::fprintf(stderr, "sox failed (%d)\n", rc);
                    return 1;
                }
                fs::remove(sox_out, ec);
            }
        }
        std::printf("round %d: normalize_file %.3f s, sox --norm %.3f s\n", round + 1,
                    our_times.back(), sox_times.back());
    }
    const std::optional<float> after = kestrune::measure_peak(ours);
    if (!after || *after < 0.999f) {
        std::fprintf(stderr, "the normalised file does not peak at full scale\n");
        return 1;
    }

    const double ours_s = median(our_times);
    const double sox_s = median(sox_times);
    const double peak_s = median(peak_times);
    std::printf("normalize_file (median of %d): %.3f s\n", ROUNDS, ours_s);
    std::printf("sox --norm     (median of %d): %.3f s\n", ROUNDS, sox_s);
    std::printf("ratio ours/sox: %.3f (target <= 1.0)\n", ours_s / sox_s);
    std::printf("measure_peak   (median of %d): %.3f s, %.2f GB/s (target >= 1 GB/s)\n", ROUNDS,
                peak_s, file_bytes / peak_s / 1e9);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    std::error_code ec;
    const fs::space_info space = fs::space(base, ec);
    if (ec || space.available < NEEDED_BYTES) {
        std::fprintf(stderr, "%s needs %llu GiB free\n", base.string().c_str(),
                     static_cast<unsigned long long>(NEEDED_BYTES >> 30));
        return 1;
    }
    if (std::system("sox --version >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "sox is not installed\n");
        return 1;
    }
    const fs::path dir =
        base / ("kestrune_bench_" + std::to_string(Clock::now().time_since_epoch().count()));
    if (!fs::create_directory(dir, ec)) {
        std::fprintf(stderr, "cannot create %s\n", dir.string().c_str());
        return 1;
    }
    const int rc = run(dir);
    fs::remove_all(dir, ec);
    return rc;
}
