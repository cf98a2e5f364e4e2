#include "platform/workstation.h"

#include <cstdlib>
#include <memory>

namespace platform {
namespace {

std::unique_ptr<Workstation>& CurrentSlot() {
    static std::unique_ptr<Workstation> current;
    return current;
}

}  // namespace

Workstation::Workstation(std::filesystem::path root)
    : root_(std::filesystem::absolute(std::move(root)).lexically_normal()) {}

std::filesystem::path Workstation::HivePath() const {
    return RegistryDir() / "HKEY_LOCAL_MACHINE.reg";
}

std::filesystem::path Workstation::DefaultRoot() {
    if (const char* dir = std::getenv("WORKSTATION_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
        return std::filesystem::path(data) / "quillorant" / "workstation";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/") / ".local" / "share" / "quillorant" /
           "workstation";
}

const Workstation& Workstation::Current() {
    auto& slot = CurrentSlot();
    if (!slot) {
        slot = std::make_unique<Workstation>(DefaultRoot());
    }
    return *slot;
}

void Workstation::SetCurrent(std::filesystem::path root) {
    CurrentSlot() = std::make_unique<Workstation>(std::move(root));
}

}  // namespace platform
