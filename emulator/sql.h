// The statements the emulator understands, and their parser. Texts are
// Windows-1252 bytes (the batch's UTF-16 already converted).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/text.h"

namespace emulator::sql {

using platform::AnsiString;

struct RestoreStatement {
    enum class Kind { Database, FileListOnly, VerifyOnly };
    Kind kind = Kind::Database;
    AnsiString database;
    AnsiString disk;
    std::vector<std::pair<AnsiString, AnsiString>> moves;  // logical name, target path
    bool replace = false;
    std::optional<int> stats;  // percent step; STATS alone means 10
};

struct BackupStatement {
    AnsiString database;
    AnsiString disk;
    std::optional<int> stats;
};

struct FileSpec {
    AnsiString logical;  // empty when not given
    AnsiString path;
    std::optional<std::uint64_t> size;  // bytes
};

struct CreateDatabaseStatement {
    AnsiString name;
    std::vector<FileSpec> data;
    std::vector<FileSpec> log;
};

struct DropDatabaseStatement {
    std::vector<AnsiString> names;
    bool ifExists = false;
};

struct UseStatement {
    AnsiString name;
};

struct SetStatement {};

struct PrintStatement {
    AnsiString text;
};

struct WaitForStatement {
    std::uint64_t milliseconds = 0;
};

// One column of a SELECT without FROM.
struct SelectItem {
    enum class Kind {
        Version,
        ServerName,
        Spid,
        ServiceName,
        Language,
        TranCount,
        DbName,
        UserName,
        Integer,
        Text
    };
    Kind kind;
    AnsiString alias;
    std::int64_t integer = 0;
    AnsiString text;
};

struct SelectStatement {
    std::vector<SelectItem> items;
    bool databases = false;  // SELECT name FROM sys.databases
};

using Statement =
    std::variant<RestoreStatement, BackupStatement, CreateDatabaseStatement, DropDatabaseStatement,
                 UseStatement, SetStatement, PrintStatement, WaitForStatement, SelectStatement>;

struct ParsedStatement {
    Statement statement;
    int line = 1;  // where it starts in the batch
};

// A batch that does not parse: the messages SQL Server gives for it.
struct SyntaxError {
    struct Item {
        int number;
        std::uint8_t severity;
        std::uint8_t state;
        AnsiString text;
        int line;
    };
    std::vector<Item> messages;
};

// The whole batch, or the error that stops it before anything runs.
std::variant<std::vector<ParsedStatement>, SyntaxError> ParseBatch(const AnsiString& batch);

}  // namespace emulator::sql
