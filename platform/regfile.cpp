#include "platform/regfile.h"

#include <cstdio>
#include <type_traits>

namespace platform {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kClasses = "SOFTWARE\\Classes";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// 1 to 8 hex digits, all of `s`.
std::optional<DWORD> ParseHexNumber(std::string_view s) {
    if (s.empty() || s.size() > 8) {
        return std::nullopt;
    }
    DWORD v = 0;
    for (char c : s) {
        const int d = HexDigitValue(c);
        if (d < 0) {
            return std::nullopt;
        }
        v = (v << 4) | static_cast<DWORD>(d);
    }
    return v;
}

AnsiString Quote(std::string_view s) {
    AnsiString out = "'";
    out += s;
    out += "'";
    return out;
}

// The physical lines of a text, without their line ends.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        if (nl == std::string_view::npos) {
            break;
        }
        text.remove_prefix(nl + 1);
    }
    return lines;
}

class Parser {
  public:
    Parser(std::string_view text, AnsiString source)
        : lines_(SplitLines(text)), source_(std::move(source)) {}

    std::vector<RegChange> Run() {
        CheckHeader();
        changes_.reserve(lines_.size());
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            startLine_ = index_;
            std::string_view line = TrimLeft(lines_[index_]);
            if (line.find('\0') != std::string_view::npos) {
                Fail("NUL byte in the text (a UTF-16 file?)");
            }
            if (line.empty() || line.front() == ';') {
                continue;
            }
            if (line.front() == '[') {
                Section(TrimRight(line));
            } else if (line.front() == '"' || line.front() == '@') {
                Value(line);
            } else {
                Fail("unexpected text " + Quote(TrimRight(line)) +
                     " (expected [KEY], \"name\"=value or @=value)");
            }
        }
        return std::move(changes_);
    }

  private:
    [[noreturn]] void FailAt(int line, const AnsiString& message) const {
        throw RegFormatError(line, message, source_);
    }
    [[noreturn]] void Fail(const AnsiString& message) const {
        FailAt(static_cast<int>(startLine_ + 1), message);
    }

    void CheckHeader() {
        startLine_ = 0;
        if (lines_.empty()) {
            Fail("empty text: the REGEDIT4 header is missing");
        }
        std::string_view first = TrimRight(lines_[0]);
        if (first.starts_with("\xEF\xBB\xBF") || first.starts_with("\xFF\xFE") ||
            first.starts_with("\xFE\xFF") || (first.size() > 1 && first[1] == '\0') ||
            TrimRight(Utf8ToAnsi(first)).starts_with("Windows Registry Editor")) {
            Fail(
                "a Unicode .reg text (Windows Registry Editor Version 5.00) is not supported; "
                "save it as REGEDIT4 (Windows-1252)");
        }
        if (!AnsiSameText(first, kHeader)) {
            Fail("not a REGEDIT4 text: the first line must be REGEDIT4, not " +
                 Quote(first.substr(0, 60)));
        }
    }

    // [HKEY_LOCAL_MACHINE\...] or [-HKEY_LOCAL_MACHINE\...].
    void Section(std::string_view line) {
        startLine_ = index_;
        if (line.size() < 2 || line.back() != ']') {
            Fail("a key line must end with ']': " + Quote(line));
        }
        std::string_view inner = line.substr(1, line.size() - 2);
        const bool deletion = !inner.empty() && inner.front() == '-';
        if (deletion) {
            inner.remove_prefix(1);
        }
        const std::size_t slash = inner.find('\\');
        const std::string_view root = inner.substr(0, slash);
        const std::string_view rest =
            slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
        AnsiString base;
        if (AnsiSameText(root, "HKEY_LOCAL_MACHINE") || AnsiSameText(root, "HKLM")) {
            base.clear();
        } else if (AnsiSameText(root, "HKEY_CLASSES_ROOT") || AnsiSameText(root, "HKCR")) {
            base = kClasses;
        } else if (root.empty()) {
            Fail("a key without its root key: " + Quote(line));
        } else {
            Fail("unsupported root key " + Quote(root) +
                 " (only HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT are stored)");
        }
        const auto parts = SplitKeyPath(rest);
        if (!parts) {
            Fail("invalid key path " + Quote(inner) + " (an empty name between backslashes?)");
        }
        AnsiString path = base;
        for (const AnsiString& part : *parts) {
            if (!path.empty()) {
                path += '\\';
            }
            path += part;
        }
        if (deletion) {
            if (path.empty() || AnsiSameText(path, kClasses)) {
                Fail("a root key cannot be deleted: " + Quote(line));
            }
            Add(RegChange::Kind::DeleteKey, path, {});
            current_.reset();
        } else {
            Add(RegChange::Kind::CreateKey, path, {});
            current_ = path;
        }
    }

    void Add(RegChange::Kind kind, const AnsiString& path, RegValue value) {
        RegChange change;
        change.kind = kind;
        change.keyPath = path;
        change.value = std::move(value);
        change.line = static_cast<int>(startLine_ + 1);
        changes_.push_back(std::move(change));
    }

    // A quoted string from s[0] == '"'; returns the text, s moved past it.
    AnsiString QuotedString(std::string_view& s, const char* what) {
        AnsiString out;
        std::size_t i = 1;
        for (;; ++i) {
            if (i >= s.size()) {
                Fail(AnsiString("unterminated quoted ") + what);
            }
            const char c = s[i];
            if (c == '"') {
                break;
            }
            if (c == '\\') {
                if (i + 1 >= s.size()) {
                    Fail(AnsiString("unterminated quoted ") + what);
                }
                const char e = s[++i];
                if (e != '\\' && e != '"') {
                    Fail(AnsiString("unknown escape \\") + e + " in a quoted " + what +
                         " (only \\\\ and \\\" are allowed)");
                }
                out += e;
            } else {
                out += c;
            }
        }
        s.remove_prefix(i + 1);
        return out;
    }

    // Nothing but blanks and an optional ; comment may follow a value.
    void End(std::string_view rest) {
        rest = TrimLeft(rest);
        if (!rest.empty() && rest.front() != ';') {
            Fail("unexpected text after the value: " + Quote(TrimRight(rest)));
        }
    }

    void Value(std::string_view line) {
        startLine_ = index_;
        AnsiString name;
        std::string_view s = line;
        if (s.front() == '@') {
            s.remove_prefix(1);
        } else {
            name = QuotedString(s, "value name");
        }
        s = TrimLeft(s);
        if (s.empty() || s.front() != '=') {
            Fail("'=' expected after the value name");
        }
        s = TrimLeft(s.substr(1));
        if (!current_) {
            Fail("a value outside a key: a [HKEY_LOCAL_MACHINE\\...] line must come first");
        }
        if (!IsStorableValueName(name)) {
            Fail("invalid value name");
        }
        if (s.empty()) {
            Fail("the value's data is missing after '='");
        }
        RegValue value;
        value.name = name;
        if (s.front() == '-') {
            End(s.substr(1));
            Add(RegChange::Kind::DeleteValue, *current_, std::move(value));
            return;
        }
        if (s.front() == '"') {
            AnsiString text = QuotedString(s, "string");
            End(s);
            value = RegValue::String(name, text);
        } else if (s.size() >= 6 && AnsiSameText(s.substr(0, 6), "dword:")) {
            std::string_view digits = s.substr(6);
            std::size_t n = 0;
            while (n < digits.size() && HexDigitValue(digits[n]) >= 0) {
                ++n;
            }
            const auto number = ParseHexNumber(digits.substr(0, n));
            if (!number) {
                Fail("a dword needs 1 to 8 hex digits: " + Quote(TrimRight(s)));
            }
            End(digits.substr(n));
            value = RegValue::Dword(name, *number);
        } else if (s.size() >= 3 && AnsiSameText(s.substr(0, 3), "hex")) {
            value.type = HexValue(s.substr(3), value.data);
        } else {
            Fail("unknown value data " + Quote(TrimRight(s)) +
                 " (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        Add(RegChange::Kind::SetValue, *current_, std::move(value));
    }

    // After "hex": ":" or "(N):", then bytes, lines continued with '\'.
    DWORD HexValue(std::string_view s, std::string& data) {
        DWORD type = REG_BINARY;
        if (!s.empty() && s.front() == '(') {
            const std::size_t close = s.find(')');
            const auto number = close == std::string_view::npos
                                    ? std::nullopt
                                    : ParseHexNumber(s.substr(1, close - 1));
            if (!number) {
                Fail("hex(N): needs a type number of 1 to 8 hex digits");
            }
            type = *number;
            s.remove_prefix(close + 1);
        }
        if (s.empty() || s.front() != ':') {
            Fail("':' expected after hex or hex(N)");
        }
        s.remove_prefix(1);

        std::string list;
        for (;;) {
            std::string_view part = TrimRight(s);
            const std::size_t semicolon = part.find(';');
            std::string_view comment;
            if (semicolon != std::string_view::npos) {
                comment = part.substr(semicolon);
                part = TrimRight(part.substr(0, semicolon));
            }
            if (part.empty() || part.back() != '\\' || !comment.empty()) {
                list += part;
                break;
            }
            part.remove_suffix(1);
            list += part;
            if (index_ + 1 >= lines_.size()) {
                Fail("the hex list continues ('\\') past the end of the text");
            }
            s = TrimLeft(lines_[++index_]);
        }

        std::string_view rest = list;
        while (true) {
            rest = TrimLeft(rest);
            if (rest.empty()) {
                break;
            }
            std::size_t n = 0;
            while (n < rest.size() && HexDigitValue(rest[n]) >= 0) {
                ++n;
            }
            if (n == 0 || n > 2) {
                Fail("invalid byte in a hex list: " +
                     Quote(TrimRight(rest.substr(0, rest.find(',')))));
            }
            data += static_cast<char>(*ParseHexNumber(rest.substr(0, n)));
            rest = TrimLeft(rest.substr(n));
            if (rest.empty()) {
                break;
            }
            if (rest.front() != ',') {
                Fail("',' expected between the bytes of a hex list, not " +
                     Quote(TrimRight(rest.substr(0, 20))));
            }
            rest.remove_prefix(1);
        }
        return type;
    }

    std::vector<std::string_view> lines_;
    AnsiString source_;
    std::size_t index_ = 0;
    std::size_t startLine_ = 0;
    std::optional<AnsiString> current_;
    std::vector<RegChange> changes_;
};

bool NeedsHexForString(const RegValue& v) {
    if (v.data.empty() || v.data.back() != '\0') {
        return true;
    }
    const std::string_view text(v.data.data(), v.data.size() - 1);
    return text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

AnsiString Escape(std::string_view s) {
    AnsiString out;
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// regedit's layout (as Wine writes it): lines end ",\" once they reach 77
// columns, continuation lines start with two spaces.
void WriteHex(std::string& out, std::size_t lineLen, const RegValue& v) {
    char buf[32];
    if (v.type == REG_BINARY) {
        std::snprintf(buf, sizeof buf, "hex:");
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    }
    out += buf;
    lineLen += std::string_view(buf).size();
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(v.data[i]));
        out += buf;
        if (i + 1 == v.data.size()) {
            break;
        }
        out += ',';
        lineLen += 3;
        if (lineLen >= 77) {
            out += "\\\r\n  ";
            lineLen = 2;
        }
    }
}

void WriteKey(std::string& out, const RegKey& key, const AnsiString& path, bool isRoot) {
    if (!isRoot || !key.Values().empty()) {
        out += "[" + path + "]\r\n";
        auto writeValue = [&](const RegValue& v) {
            if (!IsStorableValueName(v.name)) {
                throw Exception("The value name " + Quote(v.name) + " of " + path +
                                " cannot be written to a .reg text");
            }
            const AnsiString name = v.name.empty() ? "@=" : "\"" + Escape(v.name) + "\"=";
            out += name;
            if (v.type == REG_SZ && !NeedsHexForString(v)) {
                out += "\"" + Escape(std::string_view(v.data.data(), v.data.size() - 1)) + "\"";
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(*v.AsDword()));
                out += buf;
            } else {
                WriteHex(out, name.size(), v);
            }
            out += "\r\n";
        };
        for (const RegValue& v : key.Values()) {
            if (v.name.empty()) {
                writeValue(v);
            }
        }
        for (const RegValue& v : key.Values()) {
            if (!v.name.empty()) {
                writeValue(v);
            }
        }
        out += "\r\n";
    }
    for (const auto& sub : key.SubKeys()) {
        if (!IsStorableKeyName(sub->Name())) {
            throw Exception("The key name " + Quote(sub->Name()) + " under " + path +
                            " cannot be written to a .reg text");
        }
        WriteKey(out, *sub, path + "\\" + sub->Name(), false);
    }
}

}  // namespace

RegValue RegValue::String(AnsiString name, std::string_view text, DWORD type) {
    RegValue v;
    v.name = std::move(name);
    v.type = type;
    v.data.assign(text);
    v.data += '\0';
    return v;
}

RegValue RegValue::Dword(AnsiString name, DWORD value) {
    RegValue v;
    v.name = std::move(name);
    v.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) {
        v.data += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return v;
}

std::optional<AnsiString> RegValue::Text() const {
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return std::nullopt;
    }
    return AnsiString(data.c_str());
}

std::optional<DWORD> RegValue::AsDword() const {
    if (type != REG_DWORD || data.size() != 4) {
        return std::nullopt;
    }
    DWORD v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
    }
    return v;
}

bool IsStorableValueName(std::string_view name) {
    return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

bool IsStorableKeyName(std::string_view name) {
    return !name.empty() && IsStorableValueName(name) && name.find('\\') == std::string_view::npos;
}

std::optional<std::vector<AnsiString>> SplitKeyPath(std::string_view path) {
    std::vector<AnsiString> parts;
    if (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
        if (path.empty()) {
            return std::nullopt;
        }
    }
    if (path.empty()) {
        return parts;
    }
    for (;;) {
        const std::size_t slash = path.find('\\');
        const std::string_view part = path.substr(0, slash);
        if (!IsStorableKeyName(part)) {
            return std::nullopt;
        }
        parts.emplace_back(part);
        if (slash == std::string_view::npos) {
            return parts;
        }
        path.remove_prefix(slash + 1);
    }
}

AnsiString JoinKeyPath(const std::vector<AnsiString>& components) {
    AnsiString out;
    for (const AnsiString& c : components) {
        if (!out.empty()) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

RegKey::RegKey(AnsiString name) : name_(std::move(name)) {}

RegKey* RegKey::FindSubKey(std::string_view name) {
    const auto it = subKeyIndex_.find(AnsiUpperCase(name));
    return it == subKeyIndex_.end() ? nullptr : subKeys_[it->second].get();
}

const RegKey* RegKey::FindSubKey(std::string_view name) const {
    return const_cast<RegKey*>(this)->FindSubKey(name);
}

RegKey& RegKey::CreateSubKey(std::string_view name) {
    if (RegKey* existing = FindSubKey(name)) {
        return *existing;
    }
    subKeys_.push_back(std::make_unique<RegKey>(AnsiString(name)));
    subKeyIndex_.emplace(AnsiUpperCase(name), subKeys_.size() - 1);
    return *subKeys_.back();
}

bool RegKey::DeleteSubKey(std::string_view name) {
    const auto it = subKeyIndex_.find(AnsiUpperCase(name));
    if (it == subKeyIndex_.end()) {
        return false;
    }
    subKeys_.erase(subKeys_.begin() + static_cast<std::ptrdiff_t>(it->second));
    ReindexSubKeys();
    return true;
}

const RegValue* RegKey::FindValue(std::string_view name) const {
    const auto it = valueIndex_.find(AnsiUpperCase(name));
    return it == valueIndex_.end() ? nullptr : &values_[it->second];
}

void RegKey::SetValue(std::string_view name, DWORD type, std::string data) {
    const auto it = valueIndex_.find(AnsiUpperCase(name));
    if (it != valueIndex_.end()) {
        values_[it->second].type = type;
        values_[it->second].data = std::move(data);
        return;
    }
    values_.push_back(RegValue{AnsiString(name), type, std::move(data)});
    valueIndex_.emplace(AnsiUpperCase(name), values_.size() - 1);
}

bool RegKey::DeleteValue(std::string_view name) {
    const auto it = valueIndex_.find(AnsiUpperCase(name));
    if (it == valueIndex_.end()) {
        return false;
    }
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(it->second));
    ReindexValues();
    return true;
}

void RegKey::ReindexSubKeys() {
    subKeyIndex_.clear();
    for (std::size_t i = 0; i < subKeys_.size(); ++i) {
        subKeyIndex_.emplace(AnsiUpperCase(subKeys_[i]->Name()), i);
    }
}

void RegKey::ReindexValues() {
    valueIndex_.clear();
    for (std::size_t i = 0; i < values_.size(); ++i) {
        valueIndex_.emplace(AnsiUpperCase(values_[i].name), i);
    }
}

RegKey* RegKey::FindPath(std::string_view path) {
    const auto parts = SplitKeyPath(path);
    if (!parts) {
        return nullptr;
    }
    RegKey* key = this;
    for (const AnsiString& part : *parts) {
        key = key->FindSubKey(part);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

const RegKey* RegKey::FindPath(std::string_view path) const {
    return const_cast<RegKey*>(this)->FindPath(path);
}

RegKey* RegKey::CreatePath(std::string_view path) {
    const auto parts = SplitKeyPath(path);
    if (!parts) {
        return nullptr;
    }
    RegKey* key = this;
    for (const AnsiString& part : *parts) {
        key = &key->CreateSubKey(part);
    }
    return key;
}

bool RegKey::DeletePath(std::string_view path) {
    auto parts = SplitKeyPath(path);
    if (!parts || parts->empty()) {
        return false;
    }
    const AnsiString last = parts->back();
    parts->pop_back();
    RegKey* parent = FindPath(JoinKeyPath(*parts));
    return parent != nullptr && parent->DeleteSubKey(last);
}

std::vector<RegChange> ParseRegText(std::string_view text, const AnsiString& source) {
    return Parser(text, source).Run();
}

namespace {

// Moves the values out of the changes when they are not needed any more.
template <typename Changes>
void Apply(RegKey& hklm, Changes&& changes) {
    constexpr bool kMove = !std::is_const_v<std::remove_reference_t<Changes>>;
    // The key of the previous statement, found again without a path walk
    // while no key is deleted.
    const AnsiString* lastPath = nullptr;
    RegKey* lastKey = nullptr;
    for (auto& c : changes) {
        switch (c.kind) {
            case RegChange::Kind::CreateKey:
                lastKey = hklm.CreatePath(c.keyPath);
                lastPath = &c.keyPath;
                break;
            case RegChange::Kind::DeleteKey:
                hklm.DeletePath(c.keyPath);
                lastKey = nullptr;
                lastPath = nullptr;
                break;
            case RegChange::Kind::SetValue:
                if (lastPath == nullptr || *lastPath != c.keyPath) {
                    lastKey = hklm.CreatePath(c.keyPath);
                    lastPath = &c.keyPath;
                }
                if (lastKey != nullptr) {
                    if constexpr (kMove) {
                        lastKey->SetValue(c.value.name, c.value.type, std::move(c.value.data));
                    } else {
                        lastKey->SetValue(c.value.name, c.value.type, c.value.data);
                    }
                }
                break;
            case RegChange::Kind::DeleteValue:
                if (RegKey* key = hklm.FindPath(c.keyPath)) {
                    key->DeleteValue(c.value.name);
                }
                break;
        }
    }
}

}  // namespace

void ApplyRegChanges(RegKey& hklm, const std::vector<RegChange>& changes) {
    Apply(hklm, changes);
}

RegKey ParseRegTree(std::string_view text, const AnsiString& source) {
    RegKey hklm;
    std::vector<RegChange> changes = ParseRegText(text, source);
    Apply(hklm, changes);
    return hklm;
}

std::string WriteRegText(const RegKey& hklm) {
    std::string out = std::string(kHeader) + "\r\n\r\n";
    WriteKey(out, hklm, "HKEY_LOCAL_MACHINE", true);
    return out;
}

}  // namespace platform
