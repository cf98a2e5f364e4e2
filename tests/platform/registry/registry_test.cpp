// TRegistry as the Delphi class library's, on the workstation's hive.
#include "platform/registry.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/atomic_file.h"
#include "platform/hive.h"
#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;
using namespace platform;
using namespace platform::literals;
using testsupport::ReadFile;

namespace {

const std::string kHive =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Quill.Document]\r\n"
    "@=\"Document Quill\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant]\r\n"
    "\"Path\"=\"C:\\\\Program Files\\\\Quillorant\"\r\n"
    "\"Expand\"=hex(2):25,54,45,4d,50,25,5c,71,00\r\n"
    "\"Cut\"=hex(1):61,62,00,63,64,00\r\n"
    "\"NoNul\"=hex(1):61,62\r\n"
    "\"Version\"=dword:00000003\r\n"
    "\"ZeroDword\"=hex(4):\r\n"
    "\"Bin\"=hex:01,02\r\n"
    "\"Empty\"=\"\"\r\n"
    "\"Soci\xE9t\xE9\"=\"Qu\xE9"
    "bec\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\Modules]\r\n\r\n";

struct Stamp {
    std::string bytes;
    std::int64_t mtimeNs;
    ino_t inode;
    bool operator==(const Stamp&) const = default;
};

class Registry : public testing::Test {
  protected:
    void SetUp() override {
        ws_.WriteFile(HiveFile(), kHive);
        // An old mtime, so that any rewrite would show.
        fs::last_write_time(HiveFile(), fs::last_write_time(HiveFile()) - std::chrono::hours(2));
    }
    fs::path HiveFile() const { return Workstation::Current().HivePath(); }
    Stamp Now() const {
        struct stat st {};
        EXPECT_EQ(::stat(HiveFile().c_str(), &st), 0);
        return {ReadFile(HiveFile()),
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                st.st_ino};
    }
    void MakeReadOnly() { fs::permissions(HiveFile(), fs::perms(0444)); }
    static std::string ErrorOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const ERegistryException& e) {
            return e.Message();
        }
        return "(no error)";
    }

    testsupport::TempWorkstation ws_;
};

TEST_F(Registry, Defaults) {
    TRegistry reg;
    EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
    EXPECT_EQ(reg.Access(), KEY_ALL_ACCESS);
    EXPECT_EQ(TRegistry(KEY_READ).Access(), KEY_READ);
    EXPECT_FALSE(reg.HasCurrentKey());
    // HKEY_CURRENT_USER is not stored: nothing opens there, nothing is created.
    EXPECT_FALSE(reg.OpenKey("\\SOFTWARE\\Quillorant", true));
    EXPECT_FALSE(reg.KeyExists("SOFTWARE"));
    reg.SetRootKey(HKEY_USERS);
    EXPECT_FALSE(reg.OpenKey("", false));
    EXPECT_EQ(HKEY_CLASSES_ROOT, 0x80000000u);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, 0x80000002u);
    EXPECT_EQ(KEY_ALL_ACCESS, 0xF003Fu);
    EXPECT_EQ(KEY_READ, 0x20019u);
    EXPECT_EQ(KEY_WRITE, 0x20006u);
}

TEST_F(Registry, AbsoluteAndRelativeOpens) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    // Nothing open: relative to the root key.
    ASSERT_TRUE(reg.OpenKey("software", false));
    EXPECT_EQ(reg.CurrentPath(), "software");
    // Relative to the current key.
    ASSERT_TRUE(reg.OpenKey("QUILLORANT", false));
    EXPECT_EQ(reg.CurrentPath(), "software\\QUILLORANT");
    EXPECT_EQ(reg.ReadString("path"), "C:\\Program Files\\Quillorant");
    EXPECT_TRUE(reg.OpenKey("Modules", false));
    EXPECT_EQ(reg.CurrentPath(), "software\\QUILLORANT\\Modules");
    // A failed open changes nothing.
    EXPECT_FALSE(reg.OpenKey("Quillorant", false));
    EXPECT_FALSE(reg.OpenKey("\\Nowhere", false));
    EXPECT_FALSE(reg.OpenKey("\\SOFTWARE\\\\Quillorant", false));
    EXPECT_EQ(reg.CurrentPath(), "software\\QUILLORANT\\Modules");
    EXPECT_TRUE(reg.HasCurrentKey());
    // Absolute: from the root key, the leading backslash is not part of the name.
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Quillorant");
    EXPECT_TRUE(reg.KeyExists("Modules"));
    EXPECT_FALSE(reg.KeyExists("SOFTWARE"));
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE"));
    reg.CloseKey();
    reg.CloseKey();  // nothing open: nothing happens
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_EQ(reg.CurrentPath(), "");
    EXPECT_TRUE(reg.KeyExists("SOFTWARE\\quillorant\\modules"));
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\Quillorant\\Modules\\"));
    EXPECT_FALSE(reg.KeyExists("Modules"));
    // The root key itself.
    EXPECT_TRUE(reg.OpenKey("", false));
    EXPECT_TRUE(reg.OpenKey("SOFTWARE", false));
}

TEST_F(Registry, ChangingTheRootKeyClosesTheCurrentKey) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE", false));
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(reg.HasCurrentKey());
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    EXPECT_FALSE(reg.HasCurrentKey());
}

TEST_F(Registry, OpenKeyCreatesOnlyWhenAllowed) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    const Stamp before = Now();
    EXPECT_FALSE(reg.OpenKey("\\SOFTWARE\\New\\Deep", false));
    EXPECT_EQ(Now(), before);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\New\\Deep", true));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\New\\Deep");
    EXPECT_NE(Hive().Load().FindPath("SOFTWARE\\New\\Deep"), nullptr);  // on disk already
    ASSERT_TRUE(reg.OpenKey("Child", true));                            // relative create
    EXPECT_NE(Hive().Load().FindPath("SOFTWARE\\new\\deep\\child"), nullptr);
}

TEST_F(Registry, ValueExists) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.ValueExists("Path"));  // no key open
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    EXPECT_TRUE(reg.ValueExists("Path"));
    EXPECT_TRUE(reg.ValueExists("PATH"));
    EXPECT_TRUE(reg.ValueExists("Version"));
    EXPECT_TRUE(reg.ValueExists("Empty"));
    EXPECT_TRUE(reg.ValueExists("soci\xC9t\xC9"));
    EXPECT_FALSE(reg.ValueExists("Missing"));
    EXPECT_FALSE(reg.ValueExists(""));  // no default value there
}

TEST_F(Registry, ReadString) {
    TRegistry reg(KEY_READ);
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(reg.ReadString("Path"), "");  // no key open
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    EXPECT_EQ(reg.ReadString("Path"), "C:\\Program Files\\Quillorant");
    EXPECT_EQ(reg.ReadString("Expand"), "%TEMP%\\q");  // not expanded
    EXPECT_EQ(reg.ReadString("Cut"), "ab");            // up to the first NUL
    EXPECT_EQ(reg.ReadString("NoNul"), "ab");
    EXPECT_EQ(reg.ReadString("Empty"), "");
    EXPECT_EQ(reg.ReadString("Missing"), "");
    EXPECT_EQ(reg.ReadString("ZeroDword"), "");  // no data: no type check
    EXPECT_EQ(reg.ReadString("SOCI\xC9T\xC9"),
              "Qu\xE9"
              "bec");
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("Version"); }),
              "Type de donn\xE9"
              "es incorrect pour 'Version'");
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("Bin"); }),
              "Type de donn\xE9"
              "es incorrect pour 'Bin'");
    EXPECT_EQ("Type de données incorrect pour 'Bin'"_ansi, ErrorOf([&] { reg.ReadString("Bin"); }));
}

TEST_F(Registry, ReadStringOfAnUnreadableHive) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    ws_.WriteFile(HiveFile(),
                  "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant]\r\n\"Path\"=?\r\n");
    EXPECT_EQ(ErrorOf([&] { reg.ReadString("Path"); }),
              "Echec \xE0 l'obtention des donn\xE9"
              "es pour 'Path'");
    EXPECT_FALSE(reg.ValueExists("Path"));
    EXPECT_FALSE(reg.OpenKey("\\SOFTWARE", false));
}

TEST_F(Registry, ReadsLeaveTheHiveFileUntouched) {
    const Stamp before = Now();
    {
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", true));  // exists: nothing written
        EXPECT_TRUE(reg.OpenKey("Modules", true));
        EXPECT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
        EXPECT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Quillorant"));
        EXPECT_TRUE(reg.ValueExists("Path"));
        EXPECT_FALSE(reg.ReadString("Path").empty());
        EXPECT_FALSE(reg.GetValueNames().empty());
        EXPECT_FALSE(reg.GetKeyNames().empty());
        EXPECT_TRUE(reg.KeyExists("\\SOFTWARE"));
        EXPECT_FALSE(reg.OpenKey("\\Missing", false));
        reg.CloseKey();
        EXPECT_EQ(QueryValue(HKEY_CLASSES_ROOT, "Quill.Document", "")->Text(), "Document Quill");
    }
    EXPECT_EQ(Now(), before);
    EXPECT_FALSE(fs::exists(LockFileFor(HiveFile())));  // not even the lock was taken
}

TEST_F(Registry, WriteStringStoresAnSzOnDisk) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    reg.WriteString("Installed", "Oui \xE9t\xE9");
    reg.WriteString("PATH", "D:\\Quill");  // an existing value keeps its name's case
    const RegKey tree = Hive().Load();
    const RegKey* key = tree.FindPath("SOFTWARE\\Quillorant");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->FindValue("Installed")->type, REG_SZ);
    EXPECT_EQ(key->FindValue("Installed")->data, std::string("Oui \xE9t\xE9\0", 8));
    EXPECT_EQ(key->FindValue("path")->name, "Path");
    EXPECT_EQ(key->FindValue("path")->data, std::string("D:\\Quill\0", 9));
    EXPECT_NE(ReadFile(HiveFile()).find("\"Path\"=\"D:\\\\Quill\"\r\n\"Expand\""),
              std::string::npos);
    // A second accessor sees it at once.
    TRegistry other(KEY_READ);
    other.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(other.OpenKey("\\SOFTWARE\\QUILLORANT", false));
    EXPECT_EQ(other.ReadString("installed"), "Oui \xE9t\xE9");
    // Any type becomes a REG_SZ.
    reg.WriteString("Version", "4");
    EXPECT_EQ(other.ReadString("Version"), "4");
}

TEST_F(Registry, DefaultValueHasTheEmptyName) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant\\Modules", false));
    EXPECT_FALSE(reg.ValueExists(""));
    reg.WriteString("",
                    "d\xE9"
                    "faut");
    EXPECT_TRUE(reg.ValueExists(""));
    EXPECT_EQ(reg.ReadString(""),
              "d\xE9"
              "faut");
    EXPECT_NE(ReadFile(HiveFile())
                  .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\Modules]\r\n"
                        "@=\"d\xE9"
                        "faut\"\r\n"),
              std::string::npos);
}

TEST_F(Registry, RefusedWritesRaiseAndLeaveTheFile) {
    const Stamp before = Now();
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    // No key open.
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Name", "x"); }),
              "Echec \xE0 la d\xE9"
              "finition des donn\xE9"
              "es pour 'Name'");
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("", "x"); }),
              "Echec \xE0 la d\xE9"
              "finition des donn\xE9"
              "es pour ''");
    EXPECT_EQ("Echec à la définition des données pour ''"_ansi,
              ErrorOf([&] { reg.WriteString("", "x"); }));
    // A key opened read-only.
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Quillorant"));
    EXPECT_EQ(reg.Access(), KEY_READ);
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("", "x"); }),
              "Echec \xE0 la d\xE9"
              "finition des donn\xE9"
              "es pour ''");
    // A key opened with all rights, then the hive made read-only.
    reg.SetAccess(KEY_ALL_ACCESS);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    MakeReadOnly();
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Path", "x"); }),
              "Echec \xE0 la d\xE9"
              "finition des donn\xE9"
              "es pour 'Path'");
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("", "x"); }),
              "Echec \xE0 la d\xE9"
              "finition des donn\xE9"
              "es pour ''");
    EXPECT_FALSE(reg.DeleteValue("Path"));
    EXPECT_FALSE(reg.DeleteKey("Modules"));
    EXPECT_EQ(Now(), before);
}

TEST_F(Registry, AWriteToAMalformedHiveFailsAndLeavesIt) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    ws_.WriteFile(HiveFile(), kHive + "garbage\r\n");
    const Stamp before = Now();
    EXPECT_EQ(ErrorOf([&] { reg.WriteString("Path", "x"); }),
              "Echec \xE0 la d\xE9"
              "finition des donn\xE9"
              "es pour 'Path'");
    EXPECT_EQ(Now(), before);
}

TEST_F(Registry, AWriteToADeletedKeyFails) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant\\Modules", false));
    TRegistry other;
    other.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(other.DeleteKey("\\SOFTWARE\\Quillorant\\Modules"));
    EXPECT_THROW(reg.WriteString("x", "y"), ERegistryException);
    EXPECT_FALSE(Hive().Load().FindPath("SOFTWARE\\Quillorant\\Modules"));
}

TEST_F(Registry, AHiveWithoutOwnerWriteBitRefusesAllAccessOpens) {
    MakeReadOnly();
    const Stamp before = Now();
    TRegistry all;
    all.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(all.OpenKey("\\SOFTWARE\\Quillorant", false));
    EXPECT_FALSE(all.OpenKey("\\SOFTWARE\\Quillorant", true));
    EXPECT_FALSE(all.OpenKey("\\SOFTWARE\\NewKey", true));
    EXPECT_FALSE(all.OpenKey("", false));
    EXPECT_FALSE(all.HasCurrentKey());
    EXPECT_TRUE(all.KeyExists("\\SOFTWARE\\Quillorant"));  // asking is allowed
    TRegistry write(KEY_WRITE);
    write.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(write.OpenKey("\\SOFTWARE\\Quillorant", false));

    TRegistry read(KEY_READ);
    read.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(read.OpenKey("\\SOFTWARE\\Quillorant", false));
    EXPECT_EQ(read.ReadString("Path"), "C:\\Program Files\\Quillorant");
    EXPECT_FALSE(read.OpenKey("\\SOFTWARE\\NewKey", true));  // creating is a write
    EXPECT_TRUE(all.OpenKeyReadOnly("\\SOFTWARE\\Quillorant"));
    EXPECT_EQ(all.ReadString("Path"), "C:\\Program Files\\Quillorant");
    EXPECT_EQ(Now(), before);
}

TEST_F(Registry, ReadAccessCreatesOnAWritableHive) {
    TRegistry read(KEY_READ);
    read.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(read.OpenKey("\\SOFTWARE\\Made", true));  // as RegCreateKeyEx does
    EXPECT_THROW(read.WriteString("a", "b"), ERegistryException);
    EXPECT_FALSE(read.OpenKey("Sub", true));  // the current key has no create right
    EXPECT_NE(Hive().Load().FindPath("SOFTWARE\\Made"), nullptr);
}

TEST_F(Registry, ClassesRootIsSoftwareClasses) {
    TRegistry reg;
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey("Quill.Document", false));
    EXPECT_EQ(reg.ReadString(""), "Document Quill");
    ASSERT_TRUE(reg.OpenKey("\\.qdoc", true));
    reg.WriteString("", "Quill.Document");
    EXPECT_EQ(Hive().Load().FindPath("SOFTWARE\\Classes\\.QDOC")->FindValue("")->Text(),
              "Quill.Document");
    EXPECT_EQ(QueryValue(HKEY_CLASSES_ROOT, "\\.qdoc", "")->Text(), "Quill.Document");
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "Software\\Classes\\.qdoc", "")->Text(),
              "Quill.Document");
    EXPECT_TRUE(reg.OpenKey("\\", false) || reg.OpenKey("", false));
    EXPECT_FALSE(reg.DeleteKey("\\"));  // the root key itself cannot go
    EXPECT_TRUE(reg.DeleteKey("\\.qdoc"));
    EXPECT_FALSE(reg.KeyExists("\\.qdoc"));
}

TEST_F(Registry, ClassesRootOfAnEmptyHive) {
    fs::remove(HiveFile());
    TRegistry reg;
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey("", false));
    reg.WriteString("", "root");
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", "")->Text(), "root");
}

TEST_F(Registry, DeleteKeyAndValueAndListings) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant", false));
    EXPECT_EQ(reg.GetKeyNames(), std::vector<AnsiString>{"Modules"});
    const auto names = reg.GetValueNames();
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names.front(), "Path");
    EXPECT_EQ(names.back(), "Soci\xE9t\xE9");
    EXPECT_TRUE(reg.DeleteValue("PATH"));
    EXPECT_FALSE(reg.DeleteValue("PATH"));
    EXPECT_FALSE(reg.ValueExists("Path"));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quillorant\\Modules\\A\\B", true));
    reg.CloseKey();
    EXPECT_TRUE(reg.DeleteKey("SOFTWARE\\QUILLORANT\\MODULES"));  // with its subkeys
    EXPECT_FALSE(reg.KeyExists("\\SOFTWARE\\Quillorant\\Modules"));
    EXPECT_FALSE(reg.DeleteKey("\\SOFTWARE\\Quillorant\\Modules"));
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\Quillorant"));
}

TEST_F(Registry, PlainTypedAccess) {
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillorant", "version")->AsDword(), 3u);
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillorant", "Path")->Text(),
              "C:\\Program Files\\Quillorant");
    EXPECT_FALSE(QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillorant", "Nope"));
    EXPECT_FALSE(QueryValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", "Path"));
    EXPECT_FALSE(QueryValue(HKEY_CURRENT_USER, "SOFTWARE\\Quillorant", "Path"));
    SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\New\\Key", RegValue::Dword("N", 9));
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "software\\new\\key", "n")->AsDword(), 9u);
    MakeReadOnly();
    EXPECT_THROW(SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", RegValue::Dword("N", 9)), Exception);
    EXPECT_THROW(SetValue(HKEY_CURRENT_USER, "SOFTWARE\\X", RegValue::Dword("N", 9)), Exception);
}

}  // namespace
