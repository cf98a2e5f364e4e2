// Where the build puts the component libraries the tests register: <build>/lib,
// found from the executables' folder (QUILL_BIN_DIR, else this test's own).
#pragma once

#include <cstdlib>
#include <filesystem>

namespace testsupport {

inline std::filesystem::path BuildBinDir() {
    const char* bin = std::getenv("QUILL_BIN_DIR");
    return bin != nullptr && *bin != '\0'
               ? std::filesystem::path(bin)
               : std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

inline std::filesystem::path BuildLibrary(const char* fileName) {
    return (BuildBinDir().parent_path() / "lib" / fileName).lexically_normal();
}

}  // namespace testsupport
