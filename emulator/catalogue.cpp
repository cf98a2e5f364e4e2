#include "emulator/catalogue.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/exception.h"
#include "platform/text.h"

namespace emulator {
namespace {

constexpr const char* kFirstLine = "mssql-emulator catalogue 1";
constexpr const char* kSystem[] = {"master", "tempdb", "model", "msdb"};

AnsiString Escape(const AnsiString& s) {
    AnsiString out;
    for (const char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

AnsiString Unescape(const AnsiString& s) {
    AnsiString out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out.push_back(s[i]);
            continue;
        }
        if (++i >= s.size()) {
            throw platform::Exception("a line ends in a backslash");
        }
        switch (s[i]) {
            case '\\':
                out.push_back('\\');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            default:
                throw platform::Exception("unknown escape");
        }
    }
    return out;
}

std::vector<AnsiString> Split(const AnsiString& line) {
    std::vector<AnsiString> parts;
    std::size_t start = 0;
    while (true) {
        const auto tab = line.find('\t', start);
        parts.push_back(Unescape(line.substr(start, tab - start)));
        if (tab == AnsiString::npos) {
            return parts;
        }
        start = tab + 1;
    }
}

AnsiString Hex(const FamilyGuid& g) {
    static const char* digits = "0123456789abcdef";
    AnsiString out;
    for (const auto b : g) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

FamilyGuid FromHex(const AnsiString& s) {
    FamilyGuid g{};
    if (s.size() != 32) {
        throw platform::Exception("catalogue: bad family identifier");
    }
    // Digit by digit: stoul would throw past our callers, and take " f" or "-1".
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = platform::HexDigitValue(s[2 * i]);
        const int low = platform::HexDigitValue(s[2 * i + 1]);
        if (high < 0 || low < 0) {
            throw platform::Exception("catalogue: bad family identifier");
        }
        g[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return g;
}

std::vector<Database> WithSystem(std::vector<Database> dbs) {
    std::vector<Database> out;
    for (const char* name : kSystem) {
        out.push_back(Database{name, {}, {}, true});
    }
    for (auto& db : dbs) {
        if (!IsSystemDatabase(db.name)) {
            out.push_back(std::move(db));
        }
    }
    return out;
}

}  // namespace

AnsiString EscapeField(const AnsiString& s) {
    return Escape(s);
}

std::vector<AnsiString> SplitFields(const AnsiString& line) {
    return Split(line);
}

bool IsSystemDatabase(const AnsiString& name) {
    return std::any_of(std::begin(kSystem), std::end(kSystem),
                       [&](const char* s) { return platform::AnsiSameText(s, name); });
}

Catalogue::Catalogue(std::filesystem::path file) : file_(std::move(file)) {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) {
        dbs_ = WithSystem({});
        return;
    }
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        throw platform::Exception("cannot read the catalogue " + file_.string());
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        dbs_ = WithSystem(Decode(text));
    } catch (const std::exception& e) {
        throw platform::Exception(file_.string() + ": " + e.what());
    }
}

std::string Catalogue::Encode(const std::vector<Database>& dbs) {
    std::string out = std::string(kFirstLine) + "\n";
    for (const auto& db : dbs) {
        if (db.system) {
            continue;
        }
        out += "database\t" + Escape(db.name) + "\t" + Hex(db.family) + "\n";
        for (const auto& f : db.files) {
            out += std::string("file\t") + (f.log ? "log" : "data") + "\t" + Escape(f.logical) +
                   "\t" + Escape(f.path) + "\t" + std::to_string(f.size) + "\n";
        }
    }
    return out;
}

std::vector<Database> Catalogue::Decode(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) {
        throw platform::Exception("not an mssql-emulator catalogue");
    }
    std::vector<Database> dbs;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        const auto parts = Split(line);
        if (parts[0] == "database" && parts.size() == 3 && !parts[1].empty()) {
            dbs.push_back(Database{parts[1], FromHex(parts[2]), {}, false});
        } else if (parts[0] == "file" && parts.size() == 5 && !dbs.empty() &&
                   (parts[1] == "data" || parts[1] == "log") &&
                   parts[4].find_first_not_of("0123456789") == std::string::npos &&
                   !parts[4].empty() && parts[4].size() < 20) {
            dbs.back().files.push_back(
                DatabaseFile{parts[2], parts[1] == "log", parts[3], std::stoull(parts[4])});
        } else {
            throw platform::Exception("malformed line: " + line.substr(0, 80));
        }
    }
    return dbs;
}

const Database* Catalogue::Find(const AnsiString& name) const {
    for (const auto& db : dbs_) {
        if (platform::AnsiSameText(db.name, name)) {
            return &db;
        }
    }
    return nullptr;
}

const Database* Catalogue::OwnerOf(const AnsiString& path) const {
    for (const auto& db : dbs_) {
        for (const auto& f : db.files) {
            if (platform::AnsiSameText(f.path, path)) {
                return &db;
            }
        }
    }
    return nullptr;
}

void Catalogue::Save(const std::vector<Database>& dbs) {
    platform::WriteFileAtomically(file_, Encode(dbs));
}

void Catalogue::Put(Database db) {
    auto next = dbs_;
    auto it = std::find_if(next.begin(), next.end(), [&](const Database& d) {
        return platform::AnsiSameText(d.name, db.name);
    });
    if (it != next.end()) {
        *it = std::move(db);
    } else {
        next.push_back(std::move(db));
    }
    Save(next);
    dbs_ = std::move(next);
}

void Catalogue::Remove(const AnsiString& name) {
    auto next = dbs_;
    next.erase(
        std::remove_if(next.begin(), next.end(),
                       [&](const Database& d) { return platform::AnsiSameText(d.name, name); }),
        next.end());
    Save(next);
    dbs_ = std::move(next);
}

}  // namespace emulator
