// The journal of a running RESTORE (and of BACKUP and CREATE DATABASE, which
// write files the same way): a file in <data>/journal/ that says which
// temporary files exist and, once they are all synced, which renames and
// which catalogue record complete the statement. A killed emulator finds it
// at its next start and undoes the copy or finishes the commit, so that no
// hidden temporary file and no half database outlive the kill. Format in
// README.md.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "emulator/catalogue.h"
#include "platform/exception.h"

namespace emulator {

struct JournalRename {
    std::filesystem::path temp;  // host paths
    std::filesystem::path target;
};

struct JournalContent {
    enum class Phase { Copy, Commit };
    Phase phase = Phase::Copy;
    std::vector<std::filesystem::path> temps;     // copy phase
    std::vector<JournalRename> renames;           // commit phase
    std::vector<std::filesystem::path> removals;  // commit phase: a replaced database's old files
    std::optional<Database> record;               // commit phase: the database to register
};

std::string EncodeJournal(const JournalContent& content);
// Throws platform::Exception naming what is wrong.
JournalContent DecodeJournal(const std::string& text);

// One statement's journal file, written atomically at each phase and removed
// when the statement ends, whichever way.
class Journal {
  public:
    // Makes <dataDir>/journal when missing; the file appears with the first
    // phase. Throws platform::EOSError.
    explicit Journal(const std::filesystem::path& dataDir);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Throw platform::EOSError; the statement must then stop.
    void WriteCopy(const std::vector<std::filesystem::path>& temps);
    void WriteCommit(const std::vector<JournalRename>& renames,
                     const std::vector<std::filesystem::path>& removals, const Database& record);
    // The statement is over: its files are either in place and registered,
    // or gone.
    void Remove();
    // The statement could neither finish nor be undone: the journal stays
    // for the next start to finish it.
    void Keep() { written_ = false; }

    const std::filesystem::path& File() const { return file_; }

  private:
    std::filesystem::path file_;
    bool written_ = false;
};

std::filesystem::path JournalFolder(const std::filesystem::path& dataDir);

// A journal that cannot be read or whose commit cannot be finished: the
// emulator must not start on it (exit status 2).
class JournalError : public platform::Exception {
  public:
    using Exception::Exception;
};

// At start, before any statement runs: removes the temporary files of every
// copy-phase journal, rolls every commit-phase journal forward (renames,
// removals, the record put into `catalogue`), then removes the journals.
// Returns what was done, one line each, for the emulator's stderr. Throws
// JournalError, leaving the journal in place.
std::vector<std::string> RecoverJournals(const std::filesystem::path& dataDir,
                                         Catalogue& catalogue);

}  // namespace emulator
