// Resources read back from executables: the installer's manifest compared
// element by element with what it must say, this test's own resources, and
// files that hold none or are damaged.
#include "platform/resource.h"

#include <gtest/gtest.h>

#include <QXmlStreamReader>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

// The resource's bytes, or nothing when it is missing.
std::optional<std::string> Read(HRSRCMODULE module, WORD type, WORD id, WORD language) {
    const HRSRC found = FindResourceExA(module, type, id, language);
    if (found == nullptr) {
        return std::nullopt;
    }
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(bytes, SizeofResource(module, found));
}

class DataFile {
  public:
    explicit DataFile(const fs::path& host) : module_(LoadLibraryAsDataFile(WindowsPath(host))) {}
    ~DataFile() { FreeResourceModule(module_); }
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;
    HRSRCMODULE get() const { return module_; }

  private:
    HRSRCMODULE module_;
};

struct Element {
    std::string path;  // names from the root, joined with '/'
    std::string ns;
    std::map<std::string, std::string> attributes;
    std::string text;  // trimmed character data

    bool operator==(const Element&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Element& e) {
    os << e.path << " {" << e.ns << "}";
    for (const auto& [name, value] : e.attributes) {
        os << ' ' << name << "=\"" << value << '"';
    }
    return os << " text \"" << e.text << '"';
}

struct Document {
    std::string version, encoding;
    bool standalone = false;
    std::vector<Element> elements;
    std::vector<std::string> other;  // comments, instructions, DTDs, errors
};

Document Parse(const std::string& xml) {
    Document doc;
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    std::vector<std::size_t> open;
    std::vector<std::string> names;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
            case QXmlStreamReader::StartDocument:
                doc.version = reader.documentVersion().toString().toStdString();
                doc.encoding = reader.documentEncoding().toString().toStdString();
                doc.standalone = reader.isStandaloneDocument();
                break;
            case QXmlStreamReader::StartElement: {
                names.push_back(reader.name().toString().toStdString());
                Element e;
                for (const std::string& n : names) {
                    e.path += (e.path.empty() ? "" : "/") + n;
                }
                e.ns = reader.namespaceUri().toString().toStdString();
                for (const QXmlStreamNamespaceDeclaration& d : reader.namespaceDeclarations()) {
                    const std::string prefix = d.prefix().toString().toStdString();
                    e.attributes[prefix.empty() ? "xmlns" : "xmlns:" + prefix] =
                        d.namespaceUri().toString().toStdString();
                }
                for (const QXmlStreamAttribute& a : reader.attributes()) {
                    e.attributes[a.qualifiedName().toString().toStdString()] =
                        a.value().toString().toStdString();
                }
                open.push_back(doc.elements.size());
                doc.elements.push_back(e);
                break;
            }
            case QXmlStreamReader::EndElement:
                open.pop_back();
                names.pop_back();
                break;
            case QXmlStreamReader::Characters:
                if (!reader.isWhitespace()) {
                    doc.elements.at(open.back()).text +=
                        reader.text().toString().trimmed().toStdString();
                }
                break;
            case QXmlStreamReader::EndDocument:
                break;
            default:
                doc.other.push_back(reader.tokenString().toStdString());
        }
    }
    if (reader.hasError()) {
        doc.other.push_back("error: " + reader.errorString().toStdString());
    }
    return doc;
}

const std::string kAsm = "urn:schemas-microsoft-com:asm.v1";

TEST(Manifest, TheInstallerCarriesItAsResource24Id1Language1033) {
    DataFile exe(SETUP_EXE);
    ASSERT_NE(exe.get(), nullptr);
    const auto xml = Read(exe.get(), RT_MANIFEST, 1, LANG_ENGLISH_US);
    ASSERT_TRUE(xml.has_value());
    const Document doc = Parse(*xml);

    EXPECT_EQ(doc.version, "1.0");
    EXPECT_EQ(doc.encoding, "UTF-8");
    EXPECT_TRUE(doc.standalone);
    EXPECT_TRUE(doc.other.empty()) << doc.other.front();
    const std::vector<Element> expected = {
        {"assembly", kAsm, {{"xmlns", kAsm}, {"manifestVersion", "1.0"}}, ""},
        {"assembly/assemblyIdentity",
         kAsm,
         {{"version", "1.0.0.0"},
          {"processorArchitecture", "X86"},
          {"name", "CompanyName.ProductName.YourApp"},
          {"type", "win32"}},
         ""},
        {"assembly/description", kAsm, {}, "Your application description here."},
        {"assembly/dependency", kAsm, {}, ""},
        {"assembly/dependency/dependentAssembly", kAsm, {}, ""},
        {"assembly/dependency/dependentAssembly/assemblyIdentity",
         kAsm,
         {{"type", "win32"},
          {"name", "Microsoft.Windows.Common-Controls"},
          {"version", "6.0.0.0"},
          {"processorArchitecture", "X86"},
          {"publicKeyToken", "6595b64144ccf1df"},
          {"language", "*"}},
         ""},
    };
    ASSERT_EQ(doc.elements.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(doc.elements[i], expected[i]) << "element " << i;
    }
    // UTF-8 without a byte-order mark, the declaration first.
    EXPECT_EQ(xml->rfind("<?xml ", 0), 0u);
}

TEST(Manifest, OnlyItsOwnTypeIdAndLanguageFindIt) {
    DataFile exe(SETUP_EXE);
    ASSERT_NE(exe.get(), nullptr);
    struct Row {
        WORD type, id, language;
    } rows[] = {{RT_MANIFEST, 1, 0},
                {RT_MANIFEST, 2, LANG_ENGLISH_US},
                {RT_MANIFEST, 1, 1036},
                {10, 1, LANG_ENGLISH_US}};
    for (const Row& row : rows) {
        EXPECT_EQ(FindResourceExA(exe.get(), row.type, row.id, row.language), nullptr)
            << row.type << "/" << row.id << "/" << row.language;
    }
}

TEST(Resources, TheRunningExecutableReadsItsOwnWithAnyContent) {
    // A null module is this test's own executable.
    EXPECT_EQ(Read(nullptr, 10, 7, 1036), testsupport::ReadFile(SAMPLE_FILE));
    EXPECT_EQ(Read(nullptr, 10, 8, LANG_ENGLISH_US), std::string());
    EXPECT_EQ(Read(nullptr, 10, 8, 1036), std::nullopt);
    EXPECT_EQ(Read(nullptr, RT_MANIFEST, 1, LANG_ENGLISH_US), std::nullopt);
    EXPECT_EQ(LoadResource(nullptr, nullptr), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
}

class BadFiles : public ::testing::Test {
  protected:
    fs::path Write(const std::string& name, const std::string& bytes) const {
        const fs::path file = ws.Root() / name;
        ws.WriteFile(file, bytes);
        return file;
    }
    testsupport::TempWorkstation ws;
};

TEST_F(BadFiles, FilesThatAreNoExecutableDoNotOpen) {
    const std::string exe = testsupport::ReadFile(SETUP_EXE);
    std::string otherClass = exe;
    otherClass[4] = 1;  // ELFCLASS32
    std::string noTable = exe.substr(0, 64);
    struct Row {
        const char* why;
        fs::path file;
    } rows[] = {
        {"missing", ws.Root() / "missing.exe"},
        {"empty", Write("empty.exe", "")},
        {"text", Write("text.exe", "MZ not an ELF file at all\r\n")},
        {"header cut short", Write("short.exe", exe.substr(0, 20))},
        {"section table cut off", Write("cut.exe", noTable)},
        {"32-bit class", Write("class.exe", otherClass)},
        {"a folder", ws.Root() / "drives"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        DataFile file(row.file);
        EXPECT_EQ(file.get(), nullptr);
    }
}

TEST_F(BadFiles, ALibraryWithoutResourcesOpensWithNone) {
    DataFile library(UXTHEME_DLL);
    ASSERT_NE(library.get(), nullptr);
    EXPECT_EQ(FindResourceExA(library.get(), RT_MANIFEST, 1, LANG_ENGLISH_US), nullptr);
}

TEST_F(BadFiles, ADamagedRecordGivesNoResourceRatherThanAWrongOne) {
    std::string exe = testsupport::ReadFile(SETUP_EXE);
    // The manifest's record header: magic, size, type 24, ID 1, language 1033.
    const auto manifest = Read(DataFile(SETUP_EXE).get(), RT_MANIFEST, 1, LANG_ENGLISH_US);
    ASSERT_TRUE(manifest.has_value());
    ResourceRecordHeader header{{'Q', 'R', 'E', 'S'}, static_cast<std::uint32_t>(manifest->size()),
                                RT_MANIFEST,          1,
                                LANG_ENGLISH_US,      0};
    const std::string pattern(reinterpret_cast<const char*>(&header), sizeof header);
    // The first copy is the section's; the debugging information, further on,
    // may repeat the record's initial value.
    const auto at = exe.find(pattern);
    ASSERT_NE(at, std::string::npos);

    struct Row {
        const char* why;
        std::size_t offset;
        std::string bytes;
    } rows[] = {
        {"wrong magic", at, "QREX"},
        {"size beyond the section", at + 4, std::string("\xff\xff\xff\x7f", 4)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        std::string damaged = exe;
        damaged.replace(row.offset, row.bytes.size(), row.bytes);
        DataFile file(Write("damaged.exe", damaged));
        ASSERT_NE(file.get(), nullptr);
        EXPECT_EQ(FindResourceExA(file.get(), RT_MANIFEST, 1, LANG_ENGLISH_US), nullptr);
    }
}

}  // namespace
