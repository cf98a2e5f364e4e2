// The registry hive of one workstation: HKEY_LOCAL_MACHINE stored as a
// REGEDIT4 text in <workstation>/registry/HKEY_LOCAL_MACHINE.reg.
//
// Readers take no lock: the file is only ever replaced whole (see
// atomic_file.h), so they see the old or the new hive. Writers run a
// read-modify-write cycle under an exclusive lock on
// HKEY_LOCAL_MACHINE.reg.lock, so that concurrent processes lose nothing.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/regfile.h"
#include "platform/workstation.h"

namespace platform {

class Hive {
  public:
    explicit Hive(const Workstation& ws = Workstation::Current());
    explicit Hive(std::filesystem::path file);

    const std::filesystem::path& Path() const { return path_; }

    bool Exists() const;
    // False when the hive file exists without its owner write bit (decided
    // from the file mode, so that it holds for root too).
    bool Writable() const;

    // The stored tree: a missing or empty file is an empty hive. Throws
    // RegFormatError for a malformed file (the message names it) and
    // EOSError when it cannot be read. Never writes.
    RegKey Load() const;

    // Locks, reads the hive again, calls `change` on it and, when it returns
    // true and the text differs, writes the hive before returning. Anything
    // thrown (by `change`, a malformed or read-only hive, an I/O error)
    // leaves the file as it was and propagates.
    void Update(const std::function<bool(RegKey&)>& change);

    // Merges a .reg text as regedit imports it (deletions included). The text
    // is checked whole first: a malformed one changes nothing.
    void Import(std::string_view regText, const AnsiString& source = {});
    // The hive's canonical .reg text (Windows-1252, CRLF).
    std::string Export() const;

    // Writes an empty hive when there is no file; an existing one stays.
    void CreateIfMissing();

  private:
    std::filesystem::path path_;
};

}  // namespace platform
