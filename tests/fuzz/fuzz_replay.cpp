// Replays the kept inputs of one fuzz target through its entry point, so that
// the normal and sanitizer builds run every input that once failed.
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_in(const fs::path& dir)
{
    std::vector<fs::path> files;
    if (fs::is_directory(dir)) {
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

void replay(const fs::path& dir)
{
    for (const fs::path& file : inputs_in(dir)) {
        /* Named on standard error first, so that a crash shows which input it was. */
        fprintf(stderr, "replaying %s\n", file.c_str());
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0) << file;
    }
}

TEST(FuzzReplay, Regressions)
{
    if (inputs_in(FUZZ_REGRESSIONS_DIR).empty())
        GTEST_SKIP() << "no regression inputs in " << FUZZ_REGRESSIONS_DIR;
    replay(FUZZ_REGRESSIONS_DIR);
}

TEST(FuzzReplay, Seeds)
{
    if (inputs_in(FUZZ_SEEDS_DIR).empty())
        GTEST_SKIP() << "no seeds in " << FUZZ_SEEDS_DIR;
    replay(FUZZ_SEEDS_DIR);
}

} // namespace
