// The emulator's databases: master, tempdb, model and msdb always, and those
// created or restored, kept in <data>/catalogue.txt (format in README.md),
// which is replaced atomically on every change.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "emulator/backup_file.h"
#include "platform/text.h"

namespace emulator {

struct DatabaseFile {
    AnsiString logical;
    bool log = false;
    AnsiString path;  // full Windows path on the emulator's workstation
    std::uint64_t size = 0;
};

struct Database {
    AnsiString name;
    FamilyGuid family{};
    std::vector<DatabaseFile> files;
    bool system = false;
};

// Not safe for concurrent use: the engine guards it.
class Catalogue {
  public:
    // Reads the file when it exists; throws platform::Exception when it is
    // unreadable or malformed (a server must not start on a broken catalogue).
    explicit Catalogue(std::filesystem::path file);

    const std::vector<Database>& Databases() const { return dbs_; }
    // Case-insensitive, as SQL Server's names are under its usual collation.
    const Database* Find(const AnsiString& name) const;
    // The database one of whose files is at `path` (compared as Windows paths,
    // case-insensitively).
    const Database* OwnerOf(const AnsiString& path) const;

    // Adds or replaces (by name), then saves; throws platform::EOSError, and
    // then changes nothing.
    void Put(Database db);
    void Remove(const AnsiString& name);

    static std::string Encode(const std::vector<Database>& dbs);
    static std::vector<Database> Decode(const std::string& text);

  private:
    void Save(const std::vector<Database>& dbs);

    std::filesystem::path file_;
    std::vector<Database> dbs_;
};

bool IsSystemDatabase(const AnsiString& name);

// The catalogue's line syntax, shared with the restore journal: fields
// separated by tabs, with backslash, tab and line ends escaped.
AnsiString EscapeField(const AnsiString& s);
// Throws platform::Exception for a bad escape.
std::vector<AnsiString> SplitFields(const AnsiString& line);

}  // namespace emulator
