// Writes the seed corpus of jpeg_frame_fuzzer: small JPEGs of every depth made
// by the library's own compressor, whole and cut short.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "codec/jpeg.hpp"
#include "format.hpp"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir(argv[1]);
    std::filesystem::create_directories(dir);
    kiv::jpeg::Compressor compressor;
    struct Seed {
        kivStreamFormat format;
        int level;
    } const seeds[] = {
        {{8, 8, KIV_DEPTH_8, 1}, 0},   {{7, 5, KIV_DEPTH_16, 1}, 50}, {{9, 3, KIV_DEPTH_24, 1}, 0},
        {{16, 16, KIV_DEPTH_32, 1}, 20}, {{5, 9, KIV_DEPTH_24, 1}, 95},
    };
    int n = 0;
    for (const Seed &s : seeds) {
        const kivStreamFormat &f = s.format;
        std::vector<uint8_t> pixels(size_t(kiv::frameBytes64(f)));
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 37 + (i / 7) * 11);
        std::vector<uint8_t> jpeg;
        if (compressor.compress(f, pixels.data(), kiv::jpeg::qualityForLevel(s.level), jpeg) != KIV_OK) return 1;
        const uint16_t head[4] = {f.width, f.height, f.depth, f.orientation};
        for (size_t cut : {jpeg.size(), jpeg.size() * 2 / 3, size_t(200)}) {
            if (cut > jpeg.size()) continue;
            std::ofstream out(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
            for (uint16_t v : head) out.put(char(v & 0xff)).put(char(v >> 8));
            out.write(reinterpret_cast<const char *>(jpeg.data()), std::streamsize(cut));
        }
    }
    std::printf("wrote %d seeds\n", n);
    return 0;
}
