// Runs one fuzz target on every file of its committed corpus. A crash or a
// sanitizer report ends the test; so does a failed property of the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

std::vector<std::filesystem::path> CorpusFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(QUILL_FUZZ_CORPUS)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FuzzCorpusReplay, EveryInputGoesThroughTheParser) {
    const auto files = CorpusFiles();
    ASSERT_FALSE(files.empty()) << "no seed in " << QUILL_FUZZ_CORPUS;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in) << file;
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size()),
                  0);
    }
}

}  // namespace
