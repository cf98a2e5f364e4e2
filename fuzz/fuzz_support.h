// Shared by the fuzz targets: each defines LLVMFuzzerTestOneInput, run by
// libFuzzer (build-fuzz) or by the corpus replay in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quillfuzz {

inline std::string_view Bytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A property of the parser that must hold for every input: a failure is a
// finding, so it stops the run the way a sanitizer does.
inline void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz property failed: %s\n", what);
        std::abort();
    }
}

}  // namespace quillfuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
