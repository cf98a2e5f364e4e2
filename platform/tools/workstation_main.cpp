// workstation: sets up and inspects the Windows workstation stood in for on
// this host (its folder, drives and registry hive), for users, tests and
// demonstration scripts. Run `workstation --help`.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/exception.h"
#include "platform/hive.h"
#include "platform/library.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/workstation.h"

namespace {

using platform::AnsiString;
using Args = std::vector<std::string>;  // UTF-8, as the shell gives them

constexpr const char* kHelp = R"(usage: workstation [--workstation DIR] COMMAND [ARGUMENTS]

Sets up and inspects the Windows workstation that the installer sees: a folder
holding its drives (drives/<letter>, drive C: is drives/c) and its registry
hive (registry/HKEY_LOCAL_MACHINE.reg, HKEY_CLASSES_ROOT being
HKEY_LOCAL_MACHINE\SOFTWARE\Classes).

Without --workstation the folder is $WORKSTATION_DIR when set, else
$XDG_DATA_HOME/quillorant/workstation, else ~/.local/share/quillorant/workstation.

Commands:
  init                  create the folder, drive C: and an empty hive; what
                        exists already (an existing hive above all) is kept
  reg import FILE       merge a REGEDIT4 .reg text into the hive, as regedit
                        does ([-KEY] and "name"=- delete); FILE - is stdin
  reg export            write the hive as a REGEDIT4 .reg text on stdout
  reg query KEY [NAME]  print the values of KEY (HKLM\..., HKEY_CLASSES_ROOT\...)
                        and its subkeys, or only the value NAME ("" is the
                        default value), as reg.exe query does
  path WINDOWS-PATH     print the host path of a Windows path (C:\...)
  com register PROGID {CLSID} LIBRARY
                        register a component library under a program
                        identifier, as regsvr32 does: HKCR\PROGID\CLSID,
                        HKCR\CLSID\{CLSID}\ProgID and its InprocServer32
                        (default value: the library's Windows path).
                        LIBRARY is a host path (written in its Windows form,
                        Z:\... outside every drive), a Windows path or a bare
                        name that the loader finds; it must exist
  com unregister PROGID remove the ProgID's key and the class key it names
  help                  this text

Arguments and printed texts are UTF-8. The .reg texts of reg import and
reg export are Windows-1252 bytes with CRLF line ends, as regedit's REGEDIT4
format holds them (LF line ends are read too); convert with
`iconv -f UTF-8 -t WINDOWS-1252` when writing one in a UTF-8 editor.

Exit status: 0 done, 1 failed (a missing key or value, a malformed .reg
text, an unwritable hive...), 2 usage error.
)";

struct UsageError {
    std::string message;
};

// A failure that the command has already explained on stderr.
struct Failed {};

void Print(const AnsiString& ansi) {
    std::cout << platform::AnsiToUtf8(ansi);
}

[[noreturn]] void Fail(const std::string& utf8) {
    std::cerr << "workstation: " << utf8 << "\n";
    throw Failed{};
}

void Expect(const Args& args, std::size_t min, std::size_t max, const char* usage) {
    if (args.size() < min || args.size() > max) {
        throw UsageError{std::string("usage: workstation ") + usage};
    }
}

// ---- init -----------------------------------------------------------------

int Init(const Args& args) {
    Expect(args, 0, 0, "init");
    const platform::Workstation& ws = platform::Workstation::Current();
    std::filesystem::create_directories(ws.DrivesDir() / "c");
    std::filesystem::create_directories(ws.RegistryDir());
    platform::Hive(ws).CreateIfMissing();
    return 0;
}

// ---- reg ------------------------------------------------------------------

struct KeyName {
    platform::HKEY root;
    const char* rootName;
    AnsiString path;  // under the root
};

std::optional<KeyName> ParseKeyName(const AnsiString& text) {
    const std::size_t slash = text.find('\\');
    const std::string_view root = std::string_view(text).substr(0, slash);
    KeyName key{};
    if (platform::AnsiSameText(root, "HKLM") ||
        platform::AnsiSameText(root, "HKEY_LOCAL_MACHINE")) {
        key = {platform::HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", {}};
    } else if (platform::AnsiSameText(root, "HKCR") ||
               platform::AnsiSameText(root, "HKEY_CLASSES_ROOT")) {
        key = {platform::HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", {}};
    } else {
        return std::nullopt;
    }
    key.path = slash == AnsiString::npos ? AnsiString() : text.substr(slash + 1);
    return key;
}

const char* TypeName(platform::DWORD type) {
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    return type < std::size(names) ? names[type] : nullptr;
}

// The data as reg.exe query shows it.
AnsiString DataText(const platform::RegValue& v) {
    char buf[32];
    if (auto text = v.Text()) {
        return *text;
    }
    if (auto number = v.AsDword()) {
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(*number));
        return buf;
    }
    if (v.type == platform::REG_QWORD && v.data.size() == 8) {
        unsigned long long q = 0;
        for (int i = 7; i >= 0; --i) {
            q = (q << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
        }
        std::snprintf(buf, sizeof buf, "0x%llx", q);
        return buf;
    }
    if (v.type == platform::REG_MULTI_SZ) {
        AnsiString out;
        std::string_view rest = v.data;
        while (!rest.empty()) {
            const std::size_t nul = rest.find('\0');
            const std::string_view item = rest.substr(0, nul);
            if (item.empty() && (nul == std::string_view::npos || nul + 1 >= rest.size())) {
                break;
            }
            if (!out.empty() || rest.data() != v.data.data()) {
                out += "\\0";
            }
            out += item;
            if (nul == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(nul + 1);
        }
        return out;
    }
    AnsiString out;
    for (char c : v.data) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(c));
        out += buf;
    }
    return out;
}

void PrintValue(const platform::RegValue& v) {
    char type[32];
    const char* name = TypeName(v.type);
    if (name == nullptr) {
        std::snprintf(type, sizeof type, "0x%x", static_cast<unsigned>(v.type));
        name = type;
    }
    Print("    " + (v.name.empty() ? AnsiString("(Default)") : v.name) + "    " + name + "    " +
          DataText(v) + "\n");
}

int RegQuery(const Args& args) {
    Expect(args, 1, 2, "reg query KEY [NAME]");
    const AnsiString keyText = platform::Utf8ToAnsi(args[0]);
    const auto key = ParseKeyName(keyText);
    if (!key) {
        Fail("unsupported root key in '" + args[0] +
             "' (HKEY_LOCAL_MACHINE, HKLM, HKEY_CLASSES_ROOT or HKCR)");
    }
    const auto hivePath = platform::HivePathOf(key->root, key->path);
    if (!hivePath) {
        Fail("invalid key path '" + args[0] + "'");
    }
    const platform::RegKey tree = platform::Hive().Load();
    const platform::RegKey* node = &tree;
    AnsiString shown = key->rootName;
    const auto stored = platform::SplitKeyPath(*hivePath);
    const std::size_t skip = key->root == platform::HKEY_CLASSES_ROOT ? 2 : 0;
    for (std::size_t i = 0; node != nullptr && i < stored->size(); ++i) {
        node = node->FindSubKey((*stored)[i]);
        if (node != nullptr && i >= skip) {
            shown += "\\" + node->Name();
        }
    }
    if (node == nullptr) {
        Fail("the key '" + args[0] + "' does not exist");
    }
    if (args.size() == 2) {
        const AnsiString name = platform::Utf8ToAnsi(args[1]);
        const platform::RegValue* value = node->FindValue(name);
        if (value == nullptr) {
            Fail("the value '" + args[1] + "' does not exist in '" + args[0] + "'");
        }
        Print(shown + "\n");
        PrintValue(*value);
        return 0;
    }
    Print(shown + "\n");
    for (const platform::RegValue& v : node->Values()) {
        if (v.name.empty()) {
            PrintValue(v);
        }
    }
    for (const platform::RegValue& v : node->Values()) {
        if (!v.name.empty()) {
            PrintValue(v);
        }
    }
    if (!node->SubKeys().empty()) {
        Print("\n");
        for (const auto& sub : node->SubKeys()) {
            Print(shown + "\\" + sub->Name() + "\n");
        }
    }
    return 0;
}

int RegImport(const Args& args) {
    Expect(args, 1, 1, "reg import FILE|-");
    std::string text;
    AnsiString source;
    if (args[0] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        source = "(stdin)";
    } else {
        std::ifstream in(args[0], std::ios::binary);
        if (!in) {
            Fail("cannot read '" + args[0] + "'");
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        source = platform::Utf8ToAnsi(args[0]);
    }
    platform::Hive().Import(text, source);
    return 0;
}

int RegExport(const Args& args) {
    Expect(args, 0, 0, "reg export");
    std::cout << platform::Hive().Export();  // Windows-1252 bytes, as stored
    return 0;
}

int Reg(const Args& args) {
    if (args.empty()) {
        throw UsageError{"usage: workstation reg import|export|query ..."};
    }
    const Args rest(args.begin() + 1, args.end());
    if (args[0] == "import") {
        return RegImport(rest);
    }
    if (args[0] == "export") {
        return RegExport(rest);
    }
    if (args[0] == "query") {
        return RegQuery(rest);
    }
    throw UsageError{"unknown reg command '" + args[0] + "' (import, export or query)"};
}

// ---- path -----------------------------------------------------------------

int Path(const Args& args) {
    Expect(args, 1, 1, "path WINDOWS-PATH");
    const auto host = platform::HostPath(platform::Utf8ToAnsi(args[0]));
    if (!host) {
        Fail("'" + args[0] + "' has no host path on this workstation");
    }
    std::cout << host->string() << "\n";
    return 0;
}

// ---- com ------------------------------------------------------------------

// A host path when it names a host file, else the Windows text as given.
AnsiString LibraryName(const std::string& arg) {
    if (arg.find('/') != std::string::npos) {
        std::error_code ec;
        const auto host = std::filesystem::absolute(arg, ec);
        if (ec || !std::filesystem::is_regular_file(host, ec)) {
            Fail("no library file '" + arg + "'");
        }
        return platform::WindowsPath(host.lexically_normal());
    }
    const AnsiString name = platform::Utf8ToAnsi(arg);
    if (platform::LibrarySearchPath(name).empty()) {
        Fail("the library '" + arg + "' is not found on this workstation");
    }
    return name;
}

int ComRegister(const Args& args) {
    Expect(args, 3, 3, "com register PROGID {CLSID} LIBRARY");
    platform::CLSID clsid;
    if (platform::FAILED(platform::CLSIDFromString(args[1], &clsid))) {
        Fail("'" + args[1] +
             "' is not a class identifier ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})");
    }
    platform::RegisterComponent(platform::Utf8ToAnsi(args[0]), clsid, LibraryName(args[2]));
    return 0;
}

int ComUnregister(const Args& args) {
    Expect(args, 1, 1, "com unregister PROGID");
    if (!platform::UnregisterComponent(platform::Utf8ToAnsi(args[0]))) {
        Fail("the ProgID '" + args[0] + "' is not registered");
    }
    return 0;
}

int Com(const Args& args) {
    if (args.empty()) {
        throw UsageError{"usage: workstation com register|unregister ..."};
    }
    const Args rest(args.begin() + 1, args.end());
    if (args[0] == "register") {
        return ComRegister(rest);
    }
    if (args[0] == "unregister") {
        return ComUnregister(rest);
    }
    throw UsageError{"unknown com command '" + args[0] + "' (register or unregister)"};
}

// ---- main -----------------------------------------------------------------

struct Command {
    const char* name;
    int (*run)(const Args&);
};

constexpr Command kCommands[] = {
    {"init", Init},
    {"reg", Reg},
    {"path", Path},
    {"com", Com},
};

int Run(const Args& all) {
    std::size_t i = 0;
    std::optional<std::string> root;
    while (i < all.size() && all[i].starts_with("-") && all[i] != "-") {
        const std::string& opt = all[i];
        if (opt == "--help" || opt == "-h") {
            std::cout << kHelp;
            return 0;
        }
        if (opt == "--workstation") {
            if (i + 1 >= all.size() || all[i + 1].empty()) {
                throw UsageError{"--workstation needs a folder"};
            }
            root = all[i + 1];
            i += 2;
        } else if (opt.starts_with("--workstation=")) {
            root = opt.substr(std::string("--workstation=").size());
            if (root->empty()) {
                throw UsageError{"--workstation needs a folder"};
            }
            ++i;
        } else {
            throw UsageError{"unknown option '" + opt + "'"};
        }
    }
    if (i >= all.size()) {
        throw UsageError{"no command given"};
    }
    if (root) {
        platform::Workstation::SetCurrent(*root);
    }
    const std::string& name = all[i];
    const Args args(all.begin() + static_cast<std::ptrdiff_t>(i) + 1, all.end());
    if (name == "help") {
        std::cout << kHelp;
        return 0;
    }
    for (const Command& c : kCommands) {
        if (name == c.name) {
            return c.run(args);
        }
    }
    throw UsageError{"unknown command '" + name + "'"};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int rc = Run(Args(argv + 1, argv + argc));
        std::cout.flush();
        return std::cout ? rc : 1;
    } catch (const UsageError& e) {
        std::cerr << "workstation: " << e.message << "\n"
                  << "Try 'workstation --help'.\n";
        return 2;
    } catch (const Failed&) {
        return 1;
    } catch (const platform::Exception& e) {
        std::cerr << "workstation: " << platform::AnsiToUtf8(e.Message()) << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "workstation: " << e.what() << "\n";
        return 1;
    }
}
