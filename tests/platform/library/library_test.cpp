// The library loader: where a name is looked for, what a failure gives, and
// the process-wide error mode.
#include "platform/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;
using platform::FreeLibrary;
using platform::GetProcAddress;
using platform::HMODULE;
using platform::LibrarySearchPath;
using platform::LoadLibraryA;

namespace {

std::string LoadedFile(HMODULE module) {
    link_map* map = nullptr;
    if (module == nullptr || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0) {
        return "null";
    }
    return map->l_name;
}

class Loader : public ::testing::Test {
  protected:
    fs::path System32() const { return ws.Drive('c') / "Windows" / "System32"; }
    fs::path Install(const fs::path& folder, const std::string& name) const {
        fs::create_directories(folder);
        fs::copy_file(PROBE_LIBRARY, folder / name, fs::copy_options::overwrite_existing);
        return folder / name;
    }

    testsupport::TempWorkstation ws;
};

TEST_F(Loader, FindsABareNameInSystem32WithOrWithoutItsExtension) {
    const fs::path file = Install(System32(), "probe.dll");
    for (const char* name : {"probe.dll", "probe", "PROBE.DLL", "Probe"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(LibrarySearchPath(name), file.string());
        HMODULE module = LoadLibraryA(name);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(LoadedFile(module), file.string());
        auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "ProbeAnswer"));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
        EXPECT_EQ(GetProcAddress(module, "NotThere"), nullptr);
        EXPECT_EQ(FreeLibrary(module), platform::TRUE);
    }
}

TEST_F(Loader, LoadsAFullWindowsPath) {
    const fs::path file = Install(ws.Drive('c') / "Libs", "probe.dll");
    HMODULE module = LoadLibraryA("C:\\Libs\\probe.dll");
    EXPECT_EQ(LoadedFile(module), file.string());
    FreeLibrary(module);
    // Without an extension, ".dll" is added to a path too.
    module = LoadLibraryA("c:\\libs\\PROBE");
    EXPECT_EQ(LoadedFile(module), file.string());
    FreeLibrary(module);
}

TEST_F(Loader, WhatCannotBeLoadedGivesNull) {
    Install(System32(), "probe.dll");
    ws.WriteFile(System32() / "text.dll", "MZ this is not a shared object\n");
    ws.WriteFile(System32() / "empty.dll", "");
    fs::create_directories(System32() / "folder.dll");
    struct Row {
        const char* name;
        const char* why;
    } rows[] = {
        {"missing.dll", "no such file"},
        {"text.dll", "not a shared object"},
        {"empty.dll", "empty file"},
        {"folder.dll", "a folder"},
        {"probe.so", "another extension is kept as given"},
        {"", "empty name"},
        {"D:\\probe.dll", "unknown drive"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(LoadLibraryA(row.name), nullptr);
    }
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "ProbeAnswer"), nullptr);
    EXPECT_EQ(FreeLibrary(nullptr), platform::FALSE);
}

TEST(ErrorMode, SetErrorModeReturnsThePreviousMode) {
    const platform::UINT original = platform::SetErrorMode(platform::SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(
        platform::SetErrorMode(platform::SEM_FAILCRITICALERRORS | platform::SEM_NOGPFAULTERRORBOX),
        platform::SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(platform::SetErrorMode(original),
              platform::SEM_FAILCRITICALERRORS | platform::SEM_NOGPFAULTERRORBOX);
    EXPECT_EQ(platform::SetErrorMode(original), original);
}

// The executable's own folder comes before System32: the probe program is
// copied into a folder of its own and run there.
class SearchOrder : public Loader {
  protected:
    void SetUp() override {
        app = ws.Root() / "app";
        fs::create_directories(app);
        fs::copy_file(LIBRARY_PROBE, app / "library_probe");
    }

    std::array<std::string, 2> Probe(const std::string& name) const {
        const std::string command = "WORKSTATION_DIR='" + ws.Root().string() + "' '" +
                                    (app / "library_probe").string() + "' '" + name + "'";
        std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
        std::array<std::string, 2> lines;
        char buffer[4096];
        for (std::string& line : lines) {
            if (out && std::fgets(buffer, sizeof buffer, out.get()) != nullptr) {
                line = buffer;
                line.pop_back();
            }
        }
        return lines;
    }

    fs::path app;
};

TEST_F(SearchOrder, TheExecutablesFolderComesFirstThenSystem32) {
    const fs::path system = Install(System32(), "probe.dll");
    const fs::path beside = Install(app, "probe.dll");
    EXPECT_EQ(Probe("probe"), (std::array<std::string, 2>{beside.string(), beside.string()}));
    fs::remove(beside);
    EXPECT_EQ(Probe("probe.dll"), (std::array<std::string, 2>{system.string(), system.string()}));
    fs::remove(system);
    EXPECT_EQ(Probe("probe.dll"), (std::array<std::string, 2>{"", "null"}));
}

}  // namespace
