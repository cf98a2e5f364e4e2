// The Windows workstation that this process sees: one host folder holding its
// drives (drives/<letter>) and its registry hive (registry/). Only this layer
// reads the environment to find it.
#pragma once

#include <filesystem>

namespace platform {

class Workstation {
  public:
    explicit Workstation(std::filesystem::path root);

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path DrivesDir() const { return root_ / "drives"; }
    std::filesystem::path RegistryDir() const { return root_ / "registry"; }
    std::filesystem::path HivePath() const;

    // WORKSTATION_DIR when set and not empty; otherwise
    // $XDG_DATA_HOME/quillorant/workstation, or ~/.local/share/quillorant/workstation.
    static std::filesystem::path DefaultRoot();

    // The machine of this process, taken from DefaultRoot() at first use.
    static const Workstation& Current();
    // Switches machines: the tools' --workstation option, and tests.
    static void SetCurrent(std::filesystem::path root);

  private:
    std::filesystem::path root_;
};

}  // namespace platform
