#include "emulator/sql.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

namespace emulator::sql {
namespace {

enum class Kind { Word, QuotedId, String, Number, Variable, Symbol, End };

struct Token {
    Kind kind;
    AnsiString value;  // unescaped
    AnsiString raw;    // as written, for "Incorrect syntax near"
    int line;
};

struct Failure {
    SyntaxError error;
};

[[noreturn]] void Fail(std::vector<SyntaxError::Item> items) {
    throw Failure{SyntaxError{std::move(items)}};
}

[[noreturn]] void Near(const Token& t) {
    Fail({{102, 15, 1, "Incorrect syntax near '" + t.raw.substr(0, 128) + "'.", t.line}});
}

bool IsIdentStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80;
}

bool IsIdentPart(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '#' || c == '@' || c == '$' || c >= 0x80;
}

std::vector<Token> Lex(const AnsiString& s) {
    std::vector<Token> out;
    std::size_t i = 0;
    int line = 1;
    const std::size_t n = s.size();
    auto quoted = [&](char close, Kind kind, std::size_t start, std::size_t bodyStart) {
        AnsiString value;
        const int startLine = line;
        std::size_t j = bodyStart;
        while (true) {
            if (j >= n) {
                const AnsiString rest = s.substr(bodyStart, 128);
                Fail({{105, 15, 1,
                       "Unclosed quotation mark after the character string '" + rest + "'.", line},
                      {102, 15, 1, "Incorrect syntax near '" + rest + "'.", line}});
            }
            if (s[j] == close) {
                if (j + 1 < n && s[j + 1] == close) {
                    value.push_back(close);
                    j += 2;
                    continue;
                }
                break;
            }
            if (s[j] == '\n') {
                ++line;
            }
            value.push_back(s[j++]);
        }
        out.push_back({kind, value, s.substr(start, j + 1 - start), startLine});
        i = j + 1;
    };
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c <= ' ') {
            ++i;
        } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
            while (i < n && s[i] != '\n') {
                ++i;
            }
        } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            // Block comments nest, as SQL Server's do.
            int depth = 0;
            do {
                if (i + 1 < n && s[i] == '/' && s[i + 1] == '*') {
                    ++depth;
                    i += 2;
                } else if (i + 1 < n && s[i] == '*' && s[i + 1] == '/') {
                    --depth;
                    i += 2;
                } else if (i < n) {
                    if (s[i] == '\n') {
                        ++line;
                    }
                    ++i;
                }
                if (i >= n && depth > 0) {
                    Fail({{113, 15, 1, "Missing end comment mark '*/'.", line}});
                }
            } while (depth > 0);
        } else if (c == '\'') {
            quoted('\'', Kind::String, i, i + 1);
        } else if ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'') {
            quoted('\'', Kind::String, i, i + 2);
        } else if (c == '[') {
            quoted(']', Kind::QuotedId, i, i + 1);
        } else if (c == '"') {
            quoted('"', Kind::QuotedId, i, i + 1);
        } else if (std::isdigit(c)) {
            std::size_t j = i;
            while (j < n && std::isdigit(static_cast<unsigned char>(s[j]))) {
                ++j;
            }
            if (j + 1 < n && s[j] == '.' && std::isdigit(static_cast<unsigned char>(s[j + 1]))) {
                ++j;
                while (j < n && std::isdigit(static_cast<unsigned char>(s[j]))) {
                    ++j;
                }
            }
            out.push_back({Kind::Number, s.substr(i, j - i), s.substr(i, j - i), line});
            i = j;
        } else if (c == '@' || IsIdentStart(c)) {
            std::size_t j = i + 1;
            while (j < n && IsIdentPart(static_cast<unsigned char>(s[j]))) {
                ++j;
            }
            const auto text = s.substr(i, j - i);
            out.push_back({c == '@' ? Kind::Variable : Kind::Word, text, text, line});
            i = j;
        } else {
            out.push_back({Kind::Symbol, AnsiString(1, s[i]), AnsiString(1, s[i]), line});
            ++i;
        }
    }
    out.push_back({Kind::End, "", "", line});
    return out;
}

bool IsStatementStart(const Token& t) {
    if (t.kind != Kind::Word) {
        return false;
    }
    for (const char* k :
         {"RESTORE", "BACKUP", "CREATE", "DROP", "SET", "USE", "SELECT", "PRINT", "WAITFOR"}) {
        if (platform::AsciiUpperCase(t.value) == k) {
            return true;
        }
    }
    return false;
}

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

    std::vector<ParsedStatement> Batch() {
        std::vector<ParsedStatement> out;
        while (true) {
            while (IsSymbol(";")) {
                ++p_;
            }
            if (Peek().kind == Kind::End) {
                return out;
            }
            const int line = Peek().line;
            out.push_back({StatementAt(), line});
        }
    }

  private:
    const Token& Peek(std::size_t ahead = 0) const {
        return t_[std::min(p_ + ahead, t_.size() - 1)];
    }
    // The token to name in an error: at the end, the last one written.
    const Token& ErrorToken() const {
        if (Peek().kind == Kind::End && p_ > 0) {
            return t_[p_ - 1];
        }
        return Peek();
    }
    [[noreturn]] void Unexpected() const { Near(ErrorToken()); }

    bool IsWord(const char* upper, std::size_t ahead = 0) const {
        const Token& t = Peek(ahead);
        return t.kind == Kind::Word && platform::AsciiUpperCase(t.value) == upper;
    }
    bool IsSymbol(const char* s) const { return Peek().kind == Kind::Symbol && Peek().value == s; }
    bool AcceptWord(const char* upper) {
        if (IsWord(upper)) {
            ++p_;
            return true;
        }
        return false;
    }
    bool AcceptSymbol(const char* s) {
        if (IsSymbol(s)) {
            ++p_;
            return true;
        }
        return false;
    }
    void ExpectWord(const char* upper) {
        if (!AcceptWord(upper)) {
            Unexpected();
        }
    }
    void ExpectSymbol(const char* s) {
        if (!AcceptSymbol(s)) {
            Unexpected();
        }
    }
    AnsiString Name() {
        const Token& t = Peek();
        if ((t.kind == Kind::Word && !IsStatementStart(t)) || t.kind == Kind::QuotedId) {
            ++p_;
            return t.value;
        }
        Unexpected();
    }
    AnsiString String() {
        if (Peek().kind != Kind::String) {
            Unexpected();
        }
        return t_[p_++].value;
    }
    // A name or a quoted text, as NAME = accepts.
    AnsiString NameOrString() {
        if (Peek().kind == Kind::String) {
            return String();
        }
        return Name();
    }
    std::uint64_t Number() {
        const Token& t = Peek();
        if (t.kind != Kind::Number || t.value.find('.') != AnsiString::npos ||
            t.value.size() > 18) {
            Unexpected();
        }
        ++p_;
        return std::stoull(t.value);
    }

    Statement StatementAt() {
        if (AcceptWord("RESTORE")) {
            return Restore();
        }
        if (AcceptWord("BACKUP")) {
            return Backup();
        }
        if (AcceptWord("CREATE")) {
            return Create();
        }
        if (AcceptWord("DROP")) {
            return Drop();
        }
        if (AcceptWord("USE")) {
            return UseStatement{Name()};
        }
        if (AcceptWord("SET")) {
            return Set();
        }
        if (AcceptWord("SELECT")) {
            return Select();
        }
        if (AcceptWord("PRINT")) {
            return PrintStatement{String()};
        }
        if (AcceptWord("WAITFOR")) {
            return WaitFor();
        }
        Unexpected();
    }

    AnsiString Disk() {
        ExpectWord("DISK");
        ExpectSymbol("=");
        return String();
    }

    std::optional<int> Stats() {
        if (AcceptSymbol("=")) {
            const auto n = Number();
            if (n < 1 || n > 100) {
                Unexpected();
            }
            return static_cast<int>(n);
        }
        return 10;
    }

    RestoreStatement Restore() {
        RestoreStatement r;
        if (AcceptWord("DATABASE")) {
            r.database = Name();
        } else if (AcceptWord("FILELISTONLY")) {
            r.kind = RestoreStatement::Kind::FileListOnly;
        } else if (AcceptWord("VERIFYONLY")) {
            r.kind = RestoreStatement::Kind::VerifyOnly;
        } else {
            Unexpected();
        }
        ExpectWord("FROM");
        r.disk = Disk();
        if (AcceptWord("WITH")) {
            do {
                if (AcceptWord("MOVE")) {
                    AnsiString logical = String();
                    ExpectWord("TO");
                    r.moves.emplace_back(std::move(logical), String());
                } else if (AcceptWord("REPLACE")) {
                    r.replace = true;
                } else if (AcceptWord("STATS")) {
                    r.stats = Stats();
                } else if (AcceptWord("FILE")) {
                    ExpectSymbol("=");
                    if (Peek().kind != Kind::Number || Peek().value != "1") {
                        Unexpected();
                    }
                    ++p_;
                } else if (AcceptWord("RECOVERY") || AcceptWord("NOUNLOAD") ||
                           AcceptWord("UNLOAD") || AcceptWord("REWIND") || AcceptWord("NOREWIND") ||
                           AcceptWord("CHECKSUM") || AcceptWord("NO_CHECKSUM")) {
                } else {
                    Unexpected();
                }
            } while (AcceptSymbol(","));
        }
        return r;
    }

    BackupStatement Backup() {
        BackupStatement b;
        ExpectWord("DATABASE");
        b.database = Name();
        ExpectWord("TO");
        b.disk = Disk();
        if (AcceptWord("WITH")) {
            do {
                if (AcceptWord("STATS")) {
                    b.stats = Stats();
                } else if (AcceptWord("NAME") || AcceptWord("DESCRIPTION") ||
                           AcceptWord("MEDIANAME") || AcceptWord("MEDIADESCRIPTION")) {
                    ExpectSymbol("=");
                    String();
                } else if (AcceptWord("INIT") || AcceptWord("NOINIT") || AcceptWord("FORMAT") ||
                           AcceptWord("NOFORMAT") || AcceptWord("SKIP") || AcceptWord("NOSKIP") ||
                           AcceptWord("COMPRESSION") || AcceptWord("NO_COMPRESSION") ||
                           AcceptWord("CHECKSUM") || AcceptWord("NO_CHECKSUM") ||
                           AcceptWord("COPY_ONLY") || AcceptWord("NOUNLOAD") ||
                           AcceptWord("UNLOAD") || AcceptWord("REWIND") || AcceptWord("NOREWIND")) {
                } else {
                    Unexpected();
                }
            } while (AcceptSymbol(","));
        }
        return b;
    }

    // n, nKB, nMB (the default unit), nGB, nTB.
    std::uint64_t Size() {
        const auto n = Number();
        std::uint64_t unit = 1024 * 1024;
        if (AcceptWord("KB")) {
            unit = 1024;
        } else if (AcceptWord("MB")) {
        } else if (AcceptWord("GB")) {
            unit = 1024ull * 1024 * 1024;
        } else if (AcceptWord("TB")) {
            unit = 1024ull * 1024 * 1024 * 1024;
        }
        if (n > std::numeric_limits<std::uint64_t>::max() / unit) {
            Unexpected();
        }
        return n * unit;
    }

    FileSpec File() {
        FileSpec f;
        ExpectSymbol("(");
        do {
            if (AcceptWord("NAME")) {
                ExpectSymbol("=");
                f.logical = NameOrString();
            } else if (AcceptWord("FILENAME")) {
                ExpectSymbol("=");
                f.path = String();
            } else if (AcceptWord("SIZE")) {
                ExpectSymbol("=");
                f.size = Size();
            } else if (AcceptWord("MAXSIZE")) {
                ExpectSymbol("=");
                if (!AcceptWord("UNLIMITED")) {
                    Size();
                }
            } else if (AcceptWord("FILEGROWTH")) {
                ExpectSymbol("=");
                Number();
                if (!AcceptSymbol("%")) {
                    AcceptWord("KB") || AcceptWord("MB") || AcceptWord("GB") || AcceptWord("TB");
                }
            } else {
                Unexpected();
            }
        } while (AcceptSymbol(","));
        // Every file of CREATE DATABASE names its FILENAME.
        if (f.path.empty()) {
            Unexpected();
        }
        ExpectSymbol(")");
        return f;
    }

    CreateDatabaseStatement Create() {
        CreateDatabaseStatement c;
        ExpectWord("DATABASE");
        c.name = Name();
        if (AcceptWord("ON")) {
            AcceptWord("PRIMARY");
            do {
                c.data.push_back(File());
            } while (AcceptSymbol(","));
        }
        if (AcceptWord("LOG")) {
            ExpectWord("ON");
            do {
                c.log.push_back(File());
            } while (AcceptSymbol(","));
        }
        if (AcceptWord("COLLATE")) {
            Name();
        }
        return c;
    }

    DropDatabaseStatement Drop() {
        DropDatabaseStatement d;
        ExpectWord("DATABASE");
        if (IsWord("IF") && IsWord("EXISTS", 1)) {
            p_ += 2;
            d.ifExists = true;
        }
        do {
            d.names.push_back(Name());
        } while (AcceptSymbol(","));
        return d;
    }

    // SET options take one or a few words and a value; they end at ';' or
    // where the next statement begins.
    SetStatement Set() {
        if (Peek().kind == Kind::End || IsSymbol(";") || IsStatementStart(Peek())) {
            Unexpected();
        }
        while (Peek().kind != Kind::End && !IsSymbol(";") && !IsStatementStart(Peek())) {
            ++p_;
        }
        return {};
    }

    WaitForStatement WaitFor() {
        ExpectWord("DELAY");
        const Token t = Peek();
        const AnsiString text = String();
        // hh:mm[:ss[.mmm]]
        unsigned h = 0, m = 0, sec = 0, ms = 0;
        char extra = 0;
        const int got = std::sscanf(text.c_str(), "%u:%u:%u.%u%c", &h, &m, &sec, &ms, &extra);
        if (got < 2 || got > 4 || h > 23 || m > 59 || sec > 59 || ms > 999) {
            Fail({{148, 15, 1,
                   "Incorrect time syntax in time string '" + text + "' used with WAITFOR.",
                   t.line}});
        }
        return {((h * 60ull + m) * 60 + sec) * 1000 + ms};
    }

    std::optional<SelectItem> Function(const char* name, SelectItem::Kind kind) {
        if (IsWord(name) && Peek(1).kind == Kind::Symbol && Peek(1).value == "(") {
            p_ += 2;
            ExpectSymbol(")");
            return SelectItem{kind, "", 0, ""};
        }
        return std::nullopt;
    }

    SelectItem Item() {
        const Token& t = Peek();
        if (t.kind == Kind::Variable) {
            static const std::pair<const char*, SelectItem::Kind> kVariables[] = {
                {"@@VERSION", SelectItem::Kind::Version},
                {"@@SERVERNAME", SelectItem::Kind::ServerName},
                {"@@SPID", SelectItem::Kind::Spid},
                {"@@SERVICENAME", SelectItem::Kind::ServiceName},
                {"@@LANGUAGE", SelectItem::Kind::Language},
                {"@@TRANCOUNT", SelectItem::Kind::TranCount}};
            for (const auto& [name, kind] : kVariables) {
                if (platform::AsciiUpperCase(t.value) == name) {
                    ++p_;
                    return {kind, "", 0, ""};
                }
            }
            Unexpected();
        }
        if (t.kind == Kind::Number) {
            return {SelectItem::Kind::Integer, "", static_cast<std::int64_t>(Number()), ""};
        }
        if (AcceptSymbol("-")) {
            return {SelectItem::Kind::Integer, "", -static_cast<std::int64_t>(Number()), ""};
        }
        if (t.kind == Kind::String) {
            return {SelectItem::Kind::Text, "", 0, String()};
        }
        for (const auto& [name, kind] : {std::pair{"DB_NAME", SelectItem::Kind::DbName},
                                         std::pair{"USER_NAME", SelectItem::Kind::UserName},
                                         std::pair{"SUSER_SNAME", SelectItem::Kind::UserName}}) {
            if (auto item = Function(name, kind)) {
                return *item;
            }
        }
        Unexpected();
    }

    SelectStatement Select() {
        SelectStatement s;
        // SELECT name FROM [master.]sys.databases | [master..]sysdatabases
        if (IsWord("NAME") && IsWord("FROM", 1)) {
            p_ += 2;
            if (IsWord("MASTER") && Peek(1).value == ".") {
                p_ += 2;
                AcceptSymbol(".");
            }
            if (AcceptWord("SYS")) {
                ExpectSymbol(".");
                if (!AcceptWord("DATABASES") && !AcceptWord("SYSDATABASES")) {
                    Unexpected();
                }
            } else if (!AcceptWord("SYSDATABASES")) {
                Unexpected();
            }
            if (AcceptWord("ORDER")) {
                ExpectWord("BY");
                ExpectWord("NAME");
            }
            s.databases = true;
            return s;
        }
        do {
            SelectItem item = Item();
            if (AcceptWord("AS")) {
                item.alias = NameOrString();
            } else if (Peek().kind == Kind::QuotedId ||
                       (Peek().kind == Kind::Word && !IsStatementStart(Peek()) &&
                        !IsWord("FROM"))) {
                item.alias = Name();
            }
            s.items.push_back(std::move(item));
        } while (AcceptSymbol(","));
        return s;
    }

    std::vector<Token> t_;
    std::size_t p_ = 0;
};

}  // namespace

std::variant<std::vector<ParsedStatement>, SyntaxError> ParseBatch(const AnsiString& batch) {
    try {
        return Parser(Lex(batch)).Batch();
    } catch (Failure& f) {
        return std::move(f.error);
    }
}

}  // namespace emulator::sql
