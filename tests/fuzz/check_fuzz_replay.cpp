// Runs check_fuzz over the inputs named, and over every file of the
// directories named, where libFuzzer is not at hand (a GCC build): what the
// fuzzer found can be replayed there, and the seed corpus run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
bool replay(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}
} // namespace

int main(int argc, char** argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path = argv[i];
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (!replay(entry.path())) {
                    return 2;
                }
                ++inputs;
            }
        } else if (!replay(path)) {
            return 2;
        } else {
            ++inputs;
        }
    }
    std::printf("%d inputs checked\n", inputs);
    return inputs > 0 ? 0 : 2;
}
