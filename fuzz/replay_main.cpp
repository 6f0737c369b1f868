// SPDX-License-Identifier: MIT
// Runs a libFuzzer target over every file of the corpus folders or files given
// on the command line, so corpora replay under CTest with any compiler.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    size_t count = 0;
    const auto run = [&count](const std::filesystem::path &path) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
    };
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::is_directory(argv[i])) run(argv[i]);
        else
            for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[i]))
                if (entry.is_regular_file()) run(entry.path());
    }
    std::printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
