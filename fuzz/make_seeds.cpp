// Writes the fuzz seeds: the WAV and .recpart fixtures the tests use, intact
// and damaged, one file each.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "output_format.hpp"
#include "support/bytes.hpp"
#include "support/recpart_fixture.hpp"
#include "support/wav_fixture.hpp"

namespace fs = std::filesystem;
using namespace kestrune;

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    int n = 0;
    const auto seed = [&](const std::vector<std::uint8_t>& bytes) {
        test::write_bytes(dir / ("seed_" + std::to_string(n++)), bytes);
    };

    const OutputFormat recparts[] = {
        {44100, 2, 16, false}, {48000, 1, 24, false}, {48000, 2, 32, true}, {8000, 6, 16, false}};
    for (const OutputFormat& f : recparts) {
        for (const std::size_t data : {0u, 3u, 64u, 803u})
            seed(test::crashed_recpart(f, data));
    }

    const std::vector<std::int32_t> ints = {0, 100, -100, 16000, -32768, 32767, 5, -5};
    const std::vector<double> floats = {0.0, 0.25, -0.5, 1.5, -1.0, 0.125, 0.0, 0.75};
    test::WavSpec extensible24;
    extensible24.bits_per_sample = 24;
    extensible24.extensible = true;
    extensible24.channels = 2;
    test::WavSpec valid20 = extensible24;
    valid20.bits_per_sample = 32;
    valid20.valid_bits = 20;
    test::WavSpec eight;
    eight.bits_per_sample = 8;
    test::WavSpec float32;
    float32.is_float = true;
    float32.bits_per_sample = 32;
    test::WavSpec float64 = float32;
    float64.bits_per_sample = 64;
    for (const test::WavDamage& damage :
         {test::WavDamage{}, test::WavDamage{.cut_bytes = 3, .data_size = std::nullopt},
          test::WavDamage{.cut_bytes = 0, .data_size = 0xFFFFFFFFu},
          test::WavDamage{.cut_bytes = 0, .data_size = 4u}}) {
        seed(test::int_wav_bytes({}, ints, damage));
        seed(test::int_wav_bytes(extensible24, ints, damage));
        seed(test::int_wav_bytes(valid20, ints, damage));
        seed(test::int_wav_bytes(eight, {0, 100, -100, 127}, damage));
        seed(test::float_wav_bytes(float32, floats, damage));
        seed(test::float_wav_bytes(float64, floats, damage));
    }
    return 0;
}
