#include "emulator/engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "emulator/backup_file.h"
#include "emulator/files.h"
#include "emulator/journal.h"
#include "platform/exception.h"
#include "platform/paths.h"

namespace emulator {
namespace fs = std::filesystem;
using platform::AnsiUpperCase;

namespace {

constexpr std::uint64_t kPageSize = 8192;
constexpr std::uint8_t kInfo = 0;
constexpr std::uint8_t kError = 16;
constexpr std::uint16_t kCmdSelect = 0xC1;

std::uint64_t Pages(std::uint64_t bytes) {
    return (bytes + kPageSize - 1) / kPageSize;
}

AnsiString Fixed3(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// "... successfully processed N pages in S seconds (R MB/sec)."
AnsiString Throughput(std::uint64_t pages, std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::max(0.001, std::chrono::duration<double>(elapsed).count());
    const double mb = static_cast<double>(pages * kPageSize) / (1024.0 * 1024.0);
    return std::to_string(pages) + " pages in " + Fixed3(seconds) + " seconds (" +
           Fixed3(mb / seconds) + " MB/sec).";
}

FamilyGuid NewFamily() {
    std::random_device rd;
    FamilyGuid g{};
    for (auto& b : g) {
        b = static_cast<std::uint8_t>(rd());
    }
    return g;
}

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

enum class Result { Ok, Error, Cancelled };

// The statement's report of progress: "N percent processed." at each step.
class Progress {
  public:
    Progress(Output& out, std::optional<int> step, std::uint64_t total, int line)
        : out_(out), step_(step.value_or(0)), total_(total), next_(step_), line_(line) {}
    void Add(std::uint64_t n) {
        done_ += n;
        if (step_ <= 0 || total_ == 0) {
            return;
        }
        const int percent = static_cast<int>(done_ * 100 / total_);
        bool any = false;
        while (next_ <= percent && next_ <= 100) {
            out_.Message(3211, 1, kInfo, std::to_string(next_) + " percent processed.", line_);
            next_ += step_;
            any = true;
        }
        if (any) {
            out_.Flush();
        }
    }
    void Complete() {
        if (total_ == 0 && step_ > 0) {
            out_.Message(3211, 1, kInfo, "100 percent processed.", line_);
        } else {
            Add(0);
        }
    }

  private:
    Output& out_;
    int step_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    int next_;
    int line_;
};

}  // namespace

// One statement's run: the engine's state, the session and its output.
struct Engine::Run {
    Engine& e;
    Session& session;
    Output& out;
    int line = 1;

    void Msg(std::int32_t number, std::uint8_t state, std::uint8_t severity,
             const AnsiString& text) {
        out.Message(number, state, severity, text, line);
    }
    void Info(std::int32_t number, const AnsiString& text) { Msg(number, 1, kInfo, text); }

    AnsiString Full(const AnsiString& windowsPath) {
        return platform::ExpandFileName(windowsPath, e.ws_);
    }
    std::optional<fs::path> Host(const AnsiString& windowsPath) {
        return platform::HostPath(windowsPath, e.ws_);
    }
    bool FolderExists(const AnsiString& full) {
        const auto host = Host(full);
        std::error_code ec;
        return host && fs::is_directory(host->parent_path(), ec);
    }

    // Names and paths held by a statement while it works outside the lock.
    struct Reservation {
        Engine& e;
        std::vector<AnsiString> names;
        std::vector<AnsiString> paths;
        ~Reservation() {
            std::lock_guard lock(e.mutex_);
            for (const auto& n : names) {
                e.busyNames_.erase(n);
            }
            for (const auto& p : paths) {
                e.busyPaths_.erase(p);
            }
        }
    };

    // ---- RESTORE -------------------------------------------------------

    Result BackupFailure(const BackupError& err, const AnsiString& disk, const char* terminating) {
        switch (err.kind) {
            case BackupError::Kind::Open:
                Msg(3201, 2, kError,
                    "Cannot open backup device '" + disk + "'. Operating system error " +
                        err.os.Quoted() + ".");
                break;
            case BackupError::Kind::Malformed:
                Msg(3241, 0, kError,
                    "The media family on device '" + disk +
                        "' is incorrectly formed. SQL Server cannot process this media family.");
                break;
            case BackupError::Kind::Truncated:
                Msg(3203, 1, kError, "Read on \"" + disk + "\" failed: " + OsErrorOf(38).Quoted());
                break;
            case BackupError::Kind::Read:
                Msg(3203, 1, kError, "Read on \"" + disk + "\" failed: " + err.os.Quoted());
                break;
            case BackupError::Kind::Damaged:
                Msg(3189, 1, kError, "Damage to the backup set was detected.");
                break;
        }
        Msg(3013, 1, kError, terminating);
        return Result::Error;
    }

    std::optional<BackupReader> OpenBackup(const AnsiString& disk, const char* terminating) {
        const AnsiString full = Full(disk);
        const auto host = full.empty() ? std::nullopt : Host(full);
        if (!host) {
            const bool unc = disk.rfind("\\\\", 0) == 0;
            BackupFailure({BackupError::Kind::Open, OsErrorOf(unc ? 53 : 3)}, disk, terminating);
            return std::nullopt;
        }
        try {
            return std::optional<BackupReader>(std::in_place, *host);
        } catch (const BackupError& err) {
            BackupFailure(err, disk, terminating);
            return std::nullopt;
        }
    }

    Result FileListOnly(const sql::RestoreStatement& r) {
        auto reader = OpenBackup(r.disk, "RESTORE FILELIST is terminating abnormally.");
        if (!reader) {
            return Result::Error;
        }
        using T = Column::Type;
        out.Columns({{"LogicalName", T::Text},
                     {"PhysicalName", T::Text},
                     {"Type", T::Text},
                     {"FileGroupName", T::Text},
                     {"Size", T::BigInt},
                     {"MaxSize", T::BigInt}});
        for (const auto& f : reader->Header().files) {
            out.Row({f.logical, f.originalPath, AnsiString(f.log ? "L" : "D"),
                     f.log ? Value{} : Value{AnsiString("PRIMARY")},
                     static_cast<std::int64_t>(f.size), std::int64_t{35184372080640}});
        }
        rowCount = reader->Header().files.size();
        return Result::Ok;
    }

    Result VerifyOnly(const sql::RestoreStatement& r) {
        const char* terminating = "VERIFY DATABASE is terminating abnormally.";
        auto reader = OpenBackup(r.disk, terminating);
        if (!reader) {
            return Result::Error;
        }
        try {
            for (std::size_t i = 0; i < reader->Header().files.size(); ++i) {
                if (!reader->CopyNextFile(
                        [&](const char*, std::size_t) { return !out.Cancelled(); })) {
                    return Result::Cancelled;
                }
            }
            reader->Finish();
        } catch (const BackupError& err) {
            return BackupFailure(err, r.disk, terminating);
        }
        Info(3262, "The backup set on file 1 is valid.");
        return Result::Ok;
    }

    Result Restore(const sql::RestoreStatement& r) {
        if (r.kind == sql::RestoreStatement::Kind::FileListOnly) {
            return FileListOnly(r);
        }
        if (r.kind == sql::RestoreStatement::Kind::VerifyOnly) {
            return VerifyOnly(r);
        }
        const char* terminating = "RESTORE DATABASE is terminating abnormally.";
        const auto started = std::chrono::steady_clock::now();
        auto reader = OpenBackup(r.disk, terminating);
        if (!reader) {
            return Result::Error;
        }
        const BackupHeader& h = reader->Header();
        const AnsiString upperName = AnsiUpperCase(r.database);

        std::vector<DatabaseFile> targets;  // the restored database's files
        std::optional<Database> replaced;   // the database it replaces
        auto reservation = std::unique_ptr<Reservation>(new Reservation{e, {}, {}});
        {
            std::lock_guard lock(e.mutex_);
            auto stop = [&](std::int32_t number, std::uint8_t state, const AnsiString& text) {
                Msg(number, state, kError, text);
                Msg(3013, 1, kError, terminating);
                return Result::Error;
            };
            if (upperName == "MASTER") {
                return stop(3108, 1,
                            "To restore the master database, the server must be running in "
                            "single-user mode. For information on starting in single-user mode, "
                            "see \"How to: Start an Instance of SQL Server (sqlservr.exe)\" in "
                            "Books Online.");
            }
            if (upperName == "TEMPDB") {
                return stop(3147, 1,
                            "Backup and restore operations are not allowed on database tempdb.");
            }
            const Database* existing = e.catalogue_.Find(r.database);
            if (e.busyNames_.count(upperName) != 0) {
                return stop(
                    3101, 1,
                    "Exclusive access could not be obtained because the database is in use.");
            }
            if (existing != nullptr) {
                if (!r.replace) {
                    // A backup of this very database would only lose the log's
                    // tail; one of another database would lose the database.
                    if (existing->family == h.family) {
                        return stop(3159, 1,
                                    "The tail of the log for the database \"" + existing->name +
                                        "\" has not been backed up. Use BACKUP LOG WITH NORECOVERY "
                                        "to backup the log if it contains work you do not want to "
                                        "lose. Use the WITH REPLACE or WITH STOPAT clause of the "
                                        "RESTORE statement to just overwrite the contents of the "
                                        "log.");
                    }
                    return stop(3154, 4,
                                "The backup set holds a backup of a database other than the "
                                "existing '" +
                                    existing->name + "' database.");
                }
                const int users = e.users_[upperName];
                if (platform::AnsiSameText(session.database, existing->name)) {
                    return stop(3102, 1,
                                "RESTORE cannot process database '" + existing->name +
                                    "' because it is in use by this session. It is recommended "
                                    "that the master database be used when performing this "
                                    "operation.");
                }
                if (users > 0 || existing->system) {
                    return stop(3101, 1,
                                "Exclusive access could not be obtained because the database is "
                                "in use.");
                }
                replaced = *existing;
            }
            // Every MOVE names a file of the backup.
            bool unknown = false;
            for (const auto& move : r.moves) {
                // Not a structured binding: clang 14 (the fuzz build) cannot capture one.
                const AnsiString& logical = move.first;
                const bool known = std::any_of(h.files.begin(), h.files.end(), [&](const auto& f) {
                    return platform::AnsiSameText(f.logical, logical);
                });
                if (!known) {
                    Msg(3234, 2, kError,
                        "Logical file '" + logical + "' is not part of database '" + r.database +
                            "'. Use RESTORE FILELISTONLY to list the logical file names.");
                    unknown = true;
                }
            }
            if (unknown) {
                Msg(3013, 1, kError, terminating);
                return Result::Error;
            }
            for (const auto& f : h.files) {
                AnsiString to = f.originalPath;
                for (const auto& [logical, path] : r.moves) {
                    if (platform::AnsiSameText(logical, f.logical)) {
                        to = path;  // the last MOVE of a name wins
                    }
                }
                const AnsiString full = Full(to);
                targets.push_back(DatabaseFile{f.logical, f.log, full.empty() ? to : full, f.size});
            }
            for (std::size_t i = 0; i < targets.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (platform::AnsiSameText(targets[i].path, targets[j].path)) {
                        return stop(3176, 1,
                                    "File '" + targets[i].path + "' is claimed by '" +
                                        targets[j].logical + "'(" + std::to_string(j + 1) +
                                        ") and '" + targets[i].logical + "'(" +
                                        std::to_string(i + 1) +
                                        "). The WITH MOVE clause can be used to relocate one or "
                                        "more files.");
                    }
                }
            }
            bool planningFailed = false;
            for (const auto& t : targets) {
                auto cannot = [&](std::uint8_t state) {
                    Msg(3156, state, kError,
                        "File '" + t.logical + "' cannot be restored to '" + t.path +
                            "'. Use WITH MOVE to identify a valid location for the file.");
                    planningFailed = true;
                };
                if (!FolderExists(t.path)) {
                    Msg(5133, 1, kError,
                        "Directory lookup for the file \"" + t.path +
                            "\" failed with the operating system error " + OsErrorOf(3).Quoted() +
                            ".");
                    cannot(3);
                    continue;
                }
                const Database* owner = e.catalogue_.OwnerOf(t.path);
                if (owner != nullptr && !platform::AnsiSameText(owner->name, r.database)) {
                    Msg(1834, 1, kError,
                        "The file '" + t.path +
                            "' cannot be overwritten.  It is being used by database '" +
                            owner->name + "'.");
                    cannot(4);
                    continue;
                }
                if (const auto busy = e.busyPaths_.find(AnsiUpperCase(t.path));
                    busy != e.busyPaths_.end()) {
                    Msg(1834, 1, kError,
                        "The file '" + t.path +
                            "' cannot be overwritten.  It is being used by database '" +
                            busy->second + "'.");
                    cannot(4);
                    continue;
                }
                std::error_code ec;
                const auto host = Host(t.path);
                const auto status = fs::symlink_status(*host, ec);
                const bool exists = fs::exists(status);
                if (exists && (fs::is_directory(status) || (owner == nullptr && !r.replace))) {
                    Msg(5170, 1, kError,
                        "Cannot create file '" + t.path +
                            "' because it already exists. Change the file path or the file name, "
                            "and retry the operation.");
                    cannot(3);
                }
            }
            if (planningFailed) {
                Msg(3119, 1, kError,
                    "Problems were identified while planning for the RESTORE statement. Previous "
                    "messages provide details.");
                Msg(3013, 1, kError, terminating);
                return Result::Error;
            }
            e.busyNames_.insert(upperName);
            reservation->names.push_back(upperName);
            for (const auto& t : targets) {
                e.busyPaths_.emplace(AnsiUpperCase(t.path), r.database);
                reservation->paths.push_back(AnsiUpperCase(t.path));
            }
        }

        // The copy, outside the lock: other sessions go on meanwhile. Every
        // temporary file exists and is journalled before the first byte, so
        // that a kill leaves nothing the next start cannot find.
        std::optional<Journal> journal;
        std::vector<std::unique_ptr<PendingFile>> pending;
        std::uint64_t total = 0;
        for (const auto& t : targets) {
            total += t.size;
        }
        Progress progress(out, r.stats, total, line);
        std::size_t current = 0;
        try {
            journal.emplace(e.options_.dataDir);
            std::vector<fs::path> temps;
            for (current = 0; current < targets.size(); ++current) {
                pending.push_back(std::make_unique<PendingFile>(*Host(targets[current].path)));
                temps.push_back(pending.back()->TemporaryPath());
            }
            journal->WriteCopy(temps);
            for (current = 0; current < targets.size(); ++current) {
                PendingFile& file = *pending[current];
                const bool complete = reader->CopyNextFile([&](const char* data, std::size_t n) {
                    file.Write(data, n);
                    progress.Add(n);
                    return !out.Cancelled();
                });
                if (!complete) {
                    return Result::Cancelled;
                }
            }
            reader->Finish();
            for (current = 0; current < pending.size(); ++current) {
                pending[current]->Sync();
            }
        } catch (const BackupError& err) {
            return BackupFailure(err, r.disk, terminating);
        } catch (const FileFailure& f) {
            Msg(3202, 1, kError,
                "Write on \"" + targets[std::min(current, targets.size() - 1)].path +
                    "\" failed: " + f.error.Quoted());
            Msg(3013, 1, kError, terminating);
            return Result::Error;
        } catch (const platform::Exception& ex) {
            JournalFailure(ex, journal ? journal->File() : JournalFolder(e.options_.dataDir));
            Msg(3013, 1, kError, terminating);
            return Result::Error;
        }
        if (out.Cancelled()) {
            return Result::Cancelled;
        }

        // What finishes the restore, journalled before the first rename: from
        // here on a killed emulator completes it at its next start.
        const Database record{r.database, h.family, targets, false};
        std::vector<JournalRename> renames;
        for (const auto& p : pending) {
            renames.push_back({p->TemporaryPath(), p->Target()});
        }
        std::vector<fs::path> removals;
        if (replaced) {
            for (const auto& old : replaced->files) {
                const bool reused = std::any_of(targets.begin(), targets.end(), [&](const auto& t) {
                    return platform::AnsiSameText(t.path, old.path);
                });
                if (const auto host = Host(old.path); !reused && host) {
                    removals.push_back(*host);
                }
            }
        }
        try {
            journal->WriteCommit(renames, removals, record);
        } catch (const platform::Exception& ex) {
            JournalFailure(ex, journal->File());
            Msg(3013, 1, kError, terminating);
            return Result::Error;
        }

        {
            std::lock_guard lock(e.mutex_);
            try {
                for (current = 0; current < pending.size(); ++current) {
                    pending[current]->Commit();
                }
            } catch (const FileFailure& f) {
                Msg(3202, 1, kError,
                    "Write on \"" + targets[current].path + "\" failed: " + f.error.Quoted());
                Msg(3013, 1, kError, terminating);
                if (replaced && current > 0) {
                    // The replaced database's files are partly overwritten
                    // already: no way back, so the journal and the remaining
                    // temporary files stay for the next start to finish it.
                    for (auto& p : pending) {
                        p->Keep();
                    }
                    journal->Keep();
                    return Result::Error;
                }
                // No half database: the files renamed so far go too.
                for (std::size_t i = 0; i < current; ++i) {
                    std::error_code ec;
                    fs::remove(renames[i].target, ec);
                }
                return Result::Error;
            }
            for (const auto& old : removals) {
                std::error_code ec;
                fs::remove(old, ec);
            }
            try {
                e.catalogue_.Put(record);
            } catch (const platform::Exception& ex) {
                CatalogueFailure(ex);
                Msg(3013, 1, kError, terminating);
                if (replaced) {
                    // The new files stand where the replaced database's were:
                    // removing them would lose both. The journal registers
                    // them at the next start.
                    journal->Keep();
                    return Result::Error;
                }
                for (const auto& t : targets) {
                    std::error_code ec;
                    fs::remove(*Host(t.path), ec);
                }
                return Result::Error;
            }
            // Still under the lock: no statement can touch the new files
            // before the journal that names them is gone.
            journal->Remove();
        }
        progress.Complete();
        std::uint64_t pages = 0;
        for (const auto& t : targets) {
            Info(4035, "Processed " + std::to_string(Pages(t.size)) + " pages for database '" +
                           r.database + "', file '" + t.logical + "' on file 1.");
            pages += Pages(t.size);
        }
        Info(3014, "RESTORE DATABASE successfully processed " +
                       Throughput(pages, std::chrono::steady_clock::now() - started));
        return Result::Ok;
    }

    void JournalFailure(const platform::Exception& ex, const fs::path& file) {
        Msg(3634, 1, kError,
            "The operating system returned the error '" + ex.Message() +
                "' while attempting 'WriteFile' on '" + file.string() + "'.");
    }

    void CatalogueFailure(const platform::Exception& ex) {
        Msg(3634, 1, kError,
            "The operating system returned the error '" + ex.Message() +
                "' while attempting 'WriteFile' on '" +
                (e.options_.dataDir / "catalogue.txt").string() + "'.");
    }

    // ---- BACKUP --------------------------------------------------------

    Result Backup(const sql::BackupStatement& b) {
        const char* terminating = "BACKUP DATABASE is terminating abnormally.";
        const auto started = std::chrono::steady_clock::now();
        auto fail = [&](std::int32_t number, std::uint8_t state, const AnsiString& text) {
            Msg(number, state, kError, text);
            Msg(3013, 1, kError, terminating);
            return Result::Error;
        };
        auto deviceFailure = [&](int osError) {
            return fail(3201, 1,
                        "Cannot open backup device '" + b.disk + "'. Operating system error " +
                            OsErrorOf(osError).Quoted() + ".");
        };
        Database db;
        const AnsiString full = Full(b.disk);
        {
            std::lock_guard lock(e.mutex_);
            const Database* found = e.catalogue_.Find(b.database);
            if (found == nullptr) {
                return fail(911, 11,
                            "Database '" + b.database +
                                "' does not exist. Make sure that the name is entered correctly.");
            }
            if (AnsiUpperCase(found->name) == "TEMPDB") {
                return fail(3147, 1,
                            "Backup and restore operations are not allowed on database tempdb.");
            }
            if (!full.empty() && (e.catalogue_.OwnerOf(full) != nullptr ||
                                  e.busyPaths_.count(AnsiUpperCase(full)) != 0)) {
                return deviceFailure(32);
            }
            db = *found;
            ++e.users_[AnsiUpperCase(db.name)];
        }
        struct Release {
            Engine& e;
            AnsiString name;
            ~Release() {
                std::lock_guard lock(e.mutex_);
                --e.users_[name];
            }
        } release{e, AnsiUpperCase(db.name)};

        const auto host = full.empty() ? std::nullopt : Host(full);
        std::error_code ec;
        if (!host || !fs::is_directory(host->parent_path(), ec)) {
            return deviceFailure(b.disk.rfind("\\\\", 0) == 0 ? 53 : 3);
        }
        if (fs::is_directory(*host, ec)) {
            return deviceFailure(5);
        }
        BackupHeader header{db.name, db.family, static_cast<std::uint64_t>(std::time(nullptr)), {}};
        std::vector<std::unique_ptr<InputFile>> sources;
        for (const auto& f : db.files) {
            const auto source = Host(f.path);
            try {
                if (!source) {
                    throw FileFailure{OsErrorOf(3)};
                }
                sources.push_back(std::make_unique<InputFile>(*source));
            } catch (const FileFailure& failure) {
                return fail(3203, 1,
                            "Read on \"" + f.path + "\" failed: " + failure.error.Quoted());
            }
            header.files.push_back({f.logical, f.log, f.path, sources.back()->Size()});
        }
        std::uint64_t total = 0;
        for (const auto& f : header.files) {
            total += f.size;
        }
        Progress progress(out, b.stats, total, line);
        // The journal only has to name the temporary file: its rename is
        // the whole commit, and a killed backup leaves just that file behind.
        std::optional<Journal> journal;
        try {
            std::unique_ptr<PendingFile> file;
            try {
                journal.emplace(e.options_.dataDir);
                file = std::make_unique<PendingFile>(*host);
                journal->WriteCopy({file->TemporaryPath()});
            } catch (const FileFailure& failure) {
                return deviceFailure(failure.error.code);
            } catch (const platform::Exception& ex) {
                JournalFailure(ex, journal ? journal->File() : JournalFolder(e.options_.dataDir));
                Msg(3013, 1, kError, terminating);
                return Result::Error;
            }
            BackupWriter writer(*file, header);
            for (std::size_t i = 0; i < sources.size(); ++i) {
                const bool complete = writer.CopyFile(*sources[i], [&](const char*, std::size_t n) {
                    progress.Add(n);
                    return !out.Cancelled();
                });
                if (!complete) {
                    return Result::Cancelled;
                }
            }
            writer.Finish();
            file->Sync();
            if (out.Cancelled()) {
                return Result::Cancelled;
            }
            file->Commit();
        } catch (const FileFailure& failure) {
            return fail(3202, 1, "Write on \"" + b.disk + "\" failed: " + failure.error.Quoted());
        }
        progress.Complete();
        std::uint64_t pages = 0;
        for (const auto& f : header.files) {
            Info(4035, "Processed " + std::to_string(Pages(f.size)) + " pages for database '" +
                           db.name + "', file '" + f.logical + "' on file 1.");
            pages += Pages(f.size);
        }
        Info(3014, "BACKUP DATABASE successfully processed " +
                       Throughput(pages, std::chrono::steady_clock::now() - started));
        return Result::Ok;
    }

    // ---- CREATE / DROP / USE -------------------------------------------

    Result Create(const sql::CreateDatabaseStatement& c) {
        auto failed = [&]() {
            Msg(1802, 4, kError,
                "CREATE DATABASE failed. Some file names listed could not be created. Check "
                "related errors.");
            return Result::Error;
        };
        const AnsiString upperName = AnsiUpperCase(c.name);
        std::vector<DatabaseFile> files;
        bool usesDefault = false;
        auto add = [&](const std::vector<sql::FileSpec>& specs, bool log, const AnsiString& suffix,
                       const AnsiString& extension, std::uint64_t size) {
            if (specs.empty()) {
                usesDefault = true;
                files.push_back(
                    DatabaseFile{c.name + suffix, log,
                                 e.options_.defaultDataPath + c.name + suffix + extension, size});
                return;
            }
            for (const auto& s : specs) {
                AnsiString logical = s.logical;
                if (logical.empty()) {
                    logical = platform::ExtractFileName(s.path);
                    logical = logical.substr(0, logical.rfind('.'));
                }
                files.push_back(DatabaseFile{logical, log, s.path, s.size.value_or(size)});
            }
        };
        add(c.data, false, "", ".mdf", e.options_.defaultDataSize);
        add(c.log, true, "_log", ".ldf", e.options_.defaultLogSize);
        if (usesDefault) {
            // SQL Server's set-up made its data folder; ours appears on first use.
            if (const auto folder = Host(e.options_.defaultDataPath)) {
                std::error_code ec;
                fs::create_directories(*folder, ec);
            }
        }
        for (auto& f : files) {
            const AnsiString full = Full(f.path);
            if (!full.empty()) {
                f.path = full;
            }
        }
        auto reservation = std::unique_ptr<Reservation>(new Reservation{e, {}, {}});
        {
            std::lock_guard lock(e.mutex_);
            if (e.catalogue_.Find(c.name) != nullptr || e.busyNames_.count(upperName) != 0) {
                Msg(1801, 3, kError,
                    "Database '" + c.name + "' already exists. Choose a different database name.");
                return Result::Error;
            }
            for (std::size_t i = 0; i < files.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (platform::AnsiSameText(files[i].logical, files[j].logical)) {
                        Msg(1828, 3, kError,
                            "The logical file name \"" + files[i].logical +
                                "\" is already in use. Choose a different name.");
                        return Result::Error;
                    }
                }
            }
            bool bad = false;
            for (std::size_t i = 0; i < files.size(); ++i) {
                const auto& f = files[i];
                if (!FolderExists(f.path)) {
                    Msg(5133, 1, kError,
                        "Directory lookup for the file \"" + f.path +
                            "\" failed with the operating system error " + OsErrorOf(3).Quoted() +
                            ".");
                    bad = true;
                    continue;
                }
                std::error_code ec;
                const bool taken =
                    fs::exists(fs::symlink_status(*Host(f.path), ec)) ||
                    e.catalogue_.OwnerOf(f.path) != nullptr ||
                    e.busyPaths_.count(AnsiUpperCase(f.path)) != 0 ||
                    std::any_of(
                        files.begin(), files.begin() + static_cast<std::ptrdiff_t>(i),
                        [&](const auto& o) { return platform::AnsiSameText(o.path, f.path); });
                if (taken) {
                    Msg(5170, 1, kError,
                        "Cannot create file '" + f.path +
                            "' because it already exists. Change the file path or the file name, "
                            "and retry the operation.");
                    bad = true;
                }
            }
            if (bad) {
                return failed();
            }
            e.busyNames_.insert(upperName);
            reservation->names.push_back(upperName);
            for (const auto& f : files) {
                e.busyPaths_.emplace(AnsiUpperCase(f.path), c.name);
                reservation->paths.push_back(AnsiUpperCase(f.path));
            }
        }
        // Journalled as a restore is: a kill while writing leaves no
        // temporary file, a kill while renaming no half database.
        std::optional<Journal> journal;
        std::vector<std::unique_ptr<PendingFile>> pending;
        const Database record{c.name, NewFamily(), files, false};
        std::size_t current = 0;
        std::size_t committed = 0;
        try {
            try {
                journal.emplace(e.options_.dataDir);
                std::vector<fs::path> temps;
                for (current = 0; current < files.size(); ++current) {
                    pending.push_back(std::make_unique<PendingFile>(*Host(files[current].path)));
                    temps.push_back(pending.back()->TemporaryPath());
                }
                journal->WriteCopy(temps);
                for (current = 0; current < files.size(); ++current) {
                    if (!WriteContent(*pending[current], c.name, files[current])) {
                        return Result::Cancelled;
                    }
                    pending[current]->Sync();
                }
                std::vector<JournalRename> renames;
                for (const auto& p : pending) {
                    renames.push_back({p->TemporaryPath(), p->Target()});
                }
                journal->WriteCommit(renames, {}, record);
            } catch (const platform::Exception& ex) {
                JournalFailure(ex, journal ? journal->File() : JournalFolder(e.options_.dataDir));
                return failed();
            }
            std::lock_guard lock(e.mutex_);
            for (current = 0; current < pending.size(); ++current) {
                pending[current]->Commit();
                ++committed;
            }
            try {
                e.catalogue_.Put(record);
            } catch (const platform::Exception& ex) {
                CatalogueFailure(ex);
                for (const auto& f : files) {
                    std::error_code ec;
                    fs::remove(*Host(f.path), ec);
                }
                return Result::Error;
            }
            journal->Remove();
        } catch (const FileFailure& failure) {
            // The files renamed before the failure were new: they must not
            // block a retry.
            for (std::size_t i = 0; i < committed; ++i) {
                std::error_code ec;
                fs::remove(pending[i]->Target(), ec);
            }
            Msg(5123, 1, kError,
                "CREATE FILE encountered operating system error " + failure.error.Quoted() +
                    " while attempting to open or create the physical file '" +
                    files[std::min(current, files.size() - 1)].path + "'.");
            return failed();
        }
        return Result::Ok;
    }

    // Real bytes, not a sparse file: the size on disk is what was asked for.
    bool WriteContent(PendingFile& file, const AnsiString& db, const DatabaseFile& f) {
        constexpr std::size_t kBlock = 1024 * 1024;
        std::vector<std::uint64_t> block(kBlock / 8);
        std::uint64_t seed = 0;
        for (const char ch : db + "/" + f.logical) {
            seed = SplitMix(seed ^ static_cast<unsigned char>(ch));
        }
        std::uint64_t offset = 0;
        while (offset < f.size) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = SplitMix(seed + offset / 8 + i);
            }
            if (offset == 0) {
                const AnsiString label = "mssql-emulator " + AnsiString(f.log ? "log" : "data") +
                                         " file of " + db + " (" + f.logical + ")\n";
                std::memcpy(block.data(), label.data(), std::min(label.size(), kBlock));
            }
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, f.size - offset));
            file.Write(block.data(), n);
            offset += n;
            if (out.Cancelled()) {
                return false;
            }
        }
        return true;
    }

    Result Drop(const sql::DropDatabaseStatement& d) {
        Result result = Result::Ok;
        for (const auto& name : d.names) {
            Database db;
            {
                std::lock_guard lock(e.mutex_);
                const Database* found = e.catalogue_.Find(name);
                if (found == nullptr) {
                    if (!d.ifExists) {
                        Msg(3701, 1, 11,
                            "Cannot drop the database '" + name +
                                "', because it does not exist or you do not have permission.");
                        result = Result::Error;
                    }
                    continue;
                }
                const AnsiString upper = AnsiUpperCase(found->name);
                if (found->system) {
                    Msg(3708, 1, kError,
                        "Cannot drop the database '" + found->name +
                            "' because it is a system database.");
                    result = Result::Error;
                    continue;
                }
                if (e.users_[upper] > 0 || e.busyNames_.count(upper) != 0) {
                    Msg(3702, 4, kError,
                        "Cannot drop database \"" + found->name +
                            "\" because it is currently in use.");
                    result = Result::Error;
                    continue;
                }
                db = *found;
                try {
                    e.catalogue_.Remove(db.name);
                } catch (const platform::Exception& ex) {
                    CatalogueFailure(ex);
                    result = Result::Error;
                    continue;
                }
                for (const auto& f : db.files) {
                    if (const auto host = Host(f.path)) {
                        std::error_code ec;
                        fs::remove(*host, ec);
                    }
                }
            }
        }
        return result;
    }

    Result Use(const sql::UseStatement& u) {
        std::lock_guard lock(e.mutex_);
        const Database* db = e.catalogue_.Find(u.name);
        if (db == nullptr) {
            Msg(911, 1, kError,
                "Database '" + u.name +
                    "' does not exist. Make sure that the name is entered correctly.");
            return Result::Error;
        }
        const AnsiString old = session.database;
        --e.users_[AnsiUpperCase(old)];
        ++e.users_[AnsiUpperCase(db->name)];
        session.database = db->name;
        out.DatabaseChanged(db->name, old);
        Info(5701, "Changed database context to '" + db->name + "'.");
        return Result::Ok;
    }

    // ---- SELECT, PRINT, WAITFOR ------------------------------------------

    std::uint64_t rowCount = 0;

    Result Select(const sql::SelectStatement& s) {
        using T = Column::Type;
        if (s.databases) {
            std::vector<AnsiString> names;
            {
                std::lock_guard lock(e.mutex_);
                for (const auto& db : e.catalogue_.Databases()) {
                    names.push_back(db.name);
                }
            }
            out.Columns({{"name", T::Text}});
            for (const auto& n : names) {
                out.Row({n});
            }
            rowCount = names.size();
            return Result::Ok;
        }
        std::vector<Column> columns;
        std::vector<Value> row;
        const AnsiString server = AnsiUpperCase(e.options_.instance) == "MSSQLSERVER"
                                      ? e.options_.serverName
                                      : e.options_.serverName + "\\" + e.options_.instance;
        for (const auto& item : s.items) {
            using K = sql::SelectItem::Kind;
            Column col{item.alias, T::Text};
            switch (item.kind) {
                case K::Version:
                    row.push_back(AnsiString(
                        "Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64) \n\tmssql-emulator, "
                        "a stand-in speaking TDS for tests\n\tDeveloper Edition (64-bit) on "
                        "Linux"));
                    break;
                case K::ServerName:
                    row.push_back(server);
                    break;
                case K::Spid:
                    col.type = T::Int;
                    row.push_back(std::int64_t{session.spid});
                    break;
                case K::ServiceName:
                    row.push_back(e.options_.instance);
                    break;
                case K::Language:
                    row.push_back(AnsiString("us_english"));
                    break;
                case K::TranCount:
                    col.type = T::Int;
                    row.push_back(std::int64_t{0});
                    break;
                case K::DbName:
                    row.push_back(session.database);
                    break;
                case K::UserName:
                    row.push_back(session.user);
                    break;
                case K::Integer:
                    col.type =
                        item.integer > INT32_MAX || item.integer < INT32_MIN ? T::BigInt : T::Int;
                    row.push_back(item.integer);
                    break;
                case K::Text:
                    row.push_back(item.text);
                    break;
            }
            columns.push_back(col);
        }
        out.Columns(columns);
        out.Row(row);
        rowCount = 1;
        return Result::Ok;
    }

    Result WaitFor(const sql::WaitForStatement& w) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(w.milliseconds);
        while (std::chrono::steady_clock::now() < until) {
            if (out.Cancelled()) {
                return Result::Cancelled;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Result::Ok;
    }
};

Engine::Engine(EngineOptions options)
    : ws_(options.workstation),
      options_(std::move(options)),
      catalogue_(options_.dataDir / "catalogue.txt") {
    // Before the first statement: what a killed emulator left is finished
    // or undone, or the start stops here.
    recovered_ = RecoverJournals(options_.dataDir, catalogue_);
}

bool Engine::OpenSession(Session& session, const AnsiString& database) {
    std::lock_guard lock(mutex_);
    const Database* db = catalogue_.Find(database.empty() ? AnsiString("master") : database);
    if (db == nullptr) {
        return false;
    }
    session.database = db->name;
    ++users_[AnsiUpperCase(db->name)];
    return true;
}

void Engine::CloseSession(Session& session) {
    std::lock_guard lock(mutex_);
    if (!session.database.empty()) {
        --users_[AnsiUpperCase(session.database)];
        session.database.clear();
    }
}

std::vector<AnsiString> Engine::DatabaseNames() {
    std::lock_guard lock(mutex_);
    std::vector<AnsiString> names;
    for (const auto& db : catalogue_.Databases()) {
        names.push_back(db.name);
    }
    return names;
}

bool Engine::ExecuteBatch(Session& session, const AnsiString& batch, Output& out) {
    auto parsed = sql::ParseBatch(batch);
    if (auto* error = std::get_if<sql::SyntaxError>(&parsed)) {
        for (const auto& m : error->messages) {
            out.Message(m.number, m.state, m.severity, m.text, m.line);
        }
        out.Done(0x0002, 0, 0);
        return true;
    }
    const auto& statements = std::get<std::vector<sql::ParsedStatement>>(parsed);
    if (statements.empty()) {
        out.Done(0, 0, 0);
        return true;
    }
    for (std::size_t i = 0; i < statements.size(); ++i) {
        Run run{*this, session, out, statements[i].line};
        std::uint16_t curCmd = 0;
        bool counted = false;
        const Result result = std::visit(
            [&](const auto& s) -> Result {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, sql::RestoreStatement>) {
                    counted = s.kind == sql::RestoreStatement::Kind::FileListOnly;
                    return run.Restore(s);
                } else if constexpr (std::is_same_v<S, sql::BackupStatement>) {
                    return run.Backup(s);
                } else if constexpr (std::is_same_v<S, sql::CreateDatabaseStatement>) {
                    return run.Create(s);
                } else if constexpr (std::is_same_v<S, sql::DropDatabaseStatement>) {
                    return run.Drop(s);
                } else if constexpr (std::is_same_v<S, sql::UseStatement>) {
                    return run.Use(s);
                } else if constexpr (std::is_same_v<S, sql::SelectStatement>) {
                    curCmd = kCmdSelect;
                    counted = true;
                    return run.Select(s);
                } else if constexpr (std::is_same_v<S, sql::PrintStatement>) {
                    run.Msg(0, 1, kInfo, s.text);
                    return Result::Ok;
                } else if constexpr (std::is_same_v<S, sql::WaitForStatement>) {
                    return run.WaitFor(s);
                } else {
                    return Result::Ok;
                }
            },
            statements[i].statement);
        if (result == Result::Cancelled) {
            return false;
        }
        std::uint16_t status = i + 1 < statements.size() ? 0x0001 : 0x0000;
        if (result == Result::Error) {
            status |= 0x0002;
        } else if (counted) {
            status |= 0x0010;
        }
        out.Done(status, curCmd, result == Result::Error ? 0 : run.rowCount);
    }
    return true;
}

}  // namespace emulator
