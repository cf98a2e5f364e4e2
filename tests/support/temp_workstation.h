// A throw-away workstation folder for one test: drives/c and an empty
// registry folder, made the process's current machine while it lives.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/workstation.h"

namespace testsupport {

class TempWorkstation {
  public:
    TempWorkstation() {
        std::string templ = (std::filesystem::temp_directory_path() / "quill-ws-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            std::abort();
        }
        root_ = templ;
        std::filesystem::create_directories(root_ / "drives" / "c");
        std::filesystem::create_directories(root_ / "registry");
        platform::Workstation::SetCurrent(root_);
    }
    ~TempWorkstation() {
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root_, ec);
    }
    TempWorkstation(const TempWorkstation&) = delete;
    TempWorkstation& operator=(const TempWorkstation&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path Drive(char letter) const {
        return root_ / "drives" / std::string(1, letter);
    }

    // Writes a host file (parents created), bytes as given.
    void WriteFile(const std::filesystem::path& host, const std::string& bytes) const {
        std::filesystem::create_directories(host.parent_path());
        std::ofstream out(host, std::ios::binary);
        out << bytes;
    }

  private:
    std::filesystem::path root_;
};

inline std::string ReadFile(const std::filesystem::path& host) {
    std::ifstream in(host, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
