// For builds without libFuzzer: runs the target over every file given, or
// every file under each folder given, once. Crashes, sanitizer reports and
// failed checks end the program as they would under the fuzzer.

#include "FuzzTarget.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

// Not every target has one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

void runFile(const std::filesystem::path& path, int& count)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    std::fprintf(stderr, "Running: %s\n", path.c_str());
    // A copy of exactly the file's size, so that reading past its end shows.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    static std::uint8_t none;
    LLVMFuzzerTestOneInput(input.empty() ? &none : input.data(), input.size());
    ++count;
}

} // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
                if (entry.is_regular_file())
                    runFile(entry.path(), count);
        } else {
            runFile(path, count);
        }
    }
    std::fprintf(stderr, "Executed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
