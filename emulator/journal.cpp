#include "emulator/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "platform/atomic_file.h"

namespace emulator {
namespace fs = std::filesystem;

namespace {

constexpr const char* kFirstLine = "mssql-emulator journal 1";
constexpr const char* kCatalogueFirstLine = "mssql-emulator catalogue 1\n";

void SyncFolder(const fs::path& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        ::close(dir);
    }
}

fs::path AbsolutePath(const AnsiString& field, const char* what) {
    fs::path p(field);
    if (field.empty() || !p.is_absolute() || !p.has_filename()) {
        throw platform::Exception(std::string(what) +
                                  " is not an absolute file path: " + field.substr(0, 200));
    }
    return p;
}

// Recovery deletes temporary files; a damaged journal must not make it
// delete anything else, so only our hidden ".name.XXXXXX" files qualify.
fs::path TemporaryPath(const AnsiString& field) {
    fs::path p = AbsolutePath(field, "a temporary file");
    if (p.filename().string().size() < 2 || p.filename().string()[0] != '.') {
        throw platform::Exception("not a temporary file name: " + field.substr(0, 200));
    }
    return p;
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

}  // namespace

std::string EncodeJournal(const JournalContent& c) {
    std::string out = std::string(kFirstLine) + "\n";
    if (c.phase == JournalContent::Phase::Copy) {
        out += "phase\tcopy\n";
        for (const auto& t : c.temps) {
            out += "temp\t" + EscapeField(t.string()) + "\n";
        }
    } else {
        out += "phase\tcommit\n";
        for (const auto& r : c.renames) {
            out += "rename\t" + EscapeField(r.temp.string()) + "\t" +
                   EscapeField(r.target.string()) + "\n";
        }
        for (const auto& p : c.removals) {
            out += "remove\t" + EscapeField(p.string()) + "\n";
        }
        if (c.record) {
            // The catalogue's own lines for the record, without its heading.
            const std::string record = Catalogue::Encode({*c.record});
            out += record.substr(record.find('\n') + 1);
        }
    }
    out += "end\n";
    return out;
}

JournalContent DecodeJournal(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) {
        throw platform::Exception("not an mssql-emulator journal (first line \"" +
                                  std::string(kFirstLine) + "\" expected)");
    }
    JournalContent c;
    if (!std::getline(in, line)) {
        throw platform::Exception("no phase line");
    }
    if (line == "phase\tcopy") {
        c.phase = JournalContent::Phase::Copy;
    } else if (line == "phase\tcommit") {
        c.phase = JournalContent::Phase::Commit;
    } else {
        throw platform::Exception("unknown phase line: " + line.substr(0, 80));
    }
    const bool copy = c.phase == JournalContent::Phase::Copy;
    std::string record = kCatalogueFirstLine;
    bool ended = false;
    while (std::getline(in, line)) {
        if (ended) {
            throw platform::Exception("text after the end line");
        }
        const auto parts = SplitFields(line);
        if (parts.size() == 1 && parts[0] == "end") {
            ended = true;
        } else if (copy && parts[0] == "temp" && parts.size() == 2) {
            c.temps.push_back(TemporaryPath(parts[1]));
        } else if (!copy && parts[0] == "rename" && parts.size() == 3) {
            JournalRename r{TemporaryPath(parts[1]), AbsolutePath(parts[2], "a rename's target")};
            if (r.temp.parent_path() != r.target.parent_path()) {
                throw platform::Exception("a rename leaves its folder: " + line.substr(0, 200));
            }
            c.renames.push_back(std::move(r));
        } else if (!copy && parts[0] == "remove" && parts.size() == 2) {
            c.removals.push_back(AbsolutePath(parts[1], "a file to remove"));
        } else if (!copy && (parts[0] == "database" || parts[0] == "file")) {
            record += line + "\n";
        } else {
            throw platform::Exception("malformed line: " + line.substr(0, 80));
        }
    }
    if (!ended) {
        throw platform::Exception("no end line (the journal is incomplete)");
    }
    if (!copy) {
        auto dbs = Catalogue::Decode(record);
        if (dbs.size() != 1 || IsSystemDatabase(dbs[0].name)) {
            throw platform::Exception("a commit names exactly one database to register");
        }
        c.record = std::move(dbs[0]);
    }
    return c;
}

fs::path JournalFolder(const fs::path& dataDir) {
    return dataDir / "journal";
}

Journal::Journal(const fs::path& dataDir) {
    static std::atomic<unsigned long> counter{0};
    const fs::path folder = JournalFolder(dataDir);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        throw platform::EOSError("Cannot create the folder " + folder.string() + ": " +
                                 ec.message());
    }
    // One emulator per data folder (its lock file), so the process and a
    // counter make the name unique.
    file_ =
        folder / (std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".txt");
}

Journal::~Journal() {
    Remove();
}

void Journal::WriteCopy(const std::vector<fs::path>& temps) {
    JournalContent c;
    c.phase = JournalContent::Phase::Copy;
    c.temps = temps;
    platform::WriteFileAtomically(file_, EncodeJournal(c));
    written_ = true;
}

void Journal::WriteCommit(const std::vector<JournalRename>& renames,
                          const std::vector<fs::path>& removals, const Database& record) {
    // The journal must not name a temporary file whose folder entry a power
    // loss could still take away.
    std::set<fs::path> folders;
    for (const auto& r : renames) {
        folders.insert(r.temp.parent_path());
    }
    for (const auto& f : folders) {
        SyncFolder(f);
    }
    JournalContent c;
    c.phase = JournalContent::Phase::Commit;
    c.renames = renames;
    c.removals = removals;
    c.record = record;
    platform::WriteFileAtomically(file_, EncodeJournal(c));
    written_ = true;
}

void Journal::Remove() {
    if (!written_) {
        return;
    }
    written_ = false;
    ::unlink(file_.c_str());
    SyncFolder(file_.parent_path());
}

std::vector<std::string> RecoverJournals(const fs::path& dataDir, Catalogue& catalogue) {
    std::vector<std::string> report;
    const fs::path folder = JournalFolder(dataDir);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec))) {
        return report;
    }
    if (!fs::is_directory(folder, ec)) {
        throw JournalError(folder.string() + " is not a folder");
    }
    std::vector<fs::path> journals;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && name[0] == '.') {
            // The temporary of a journal write that was killed: the journal
            // it would have replaced says what to do.
            fs::remove(entry.path(), ec);
            continue;
        }
        journals.push_back(entry.path());
    }
    if (ec) {
        throw JournalError("cannot list " + folder.string() + ": " + ec.message());
    }
    std::sort(journals.begin(), journals.end());

    for (const auto& file : journals) {
        const std::string where = "journal " + file.string();
        JournalContent c;
        {
            std::ifstream in(file, std::ios::binary);
            std::error_code sec;
            if (!in || !fs::is_regular_file(file, sec)) {
                throw JournalError(where + " cannot be read");
            }
            const std::string text((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
            if (in.bad()) {
                throw JournalError(where + " cannot be read");
            }
            try {
                c = DecodeJournal(text);
            } catch (const std::exception& e) {
                throw JournalError(where + " is unreadable: " + e.what());
            }
        }
        if (c.phase == JournalContent::Phase::Copy) {
            for (const auto& t : c.temps) {
                if (::unlink(t.c_str()) != 0 && errno != ENOENT) {
                    throw JournalError(where + ": cannot remove " + t.string() + ": " +
                                       ErrnoText(errno));
                }
            }
            report.push_back("removed the temporary files of an interrupted statement (" +
                             file.filename().string() + ")");
        } else {
            // Every temporary file was complete and synced: finish the commit.
            for (const auto& r : c.renames) {
                if (::rename(r.temp.c_str(), r.target.c_str()) == 0) {
                    SyncFolder(r.target.parent_path());
                    continue;
                }
                const int err = errno;
                // Renamed before the kill.
                if (err == ENOENT && fs::is_regular_file(r.target, ec)) {
                    continue;
                }
                throw JournalError(where + ": cannot rename " + r.temp.string() + " to " +
                                   r.target.string() + ": " + ErrnoText(err));
            }
            for (const auto& p : c.removals) {
                if (::unlink(p.c_str()) != 0 && errno != ENOENT) {
                    throw JournalError(where + ": cannot remove " + p.string() + ": " +
                                       ErrnoText(errno));
                }
            }
            try {
                catalogue.Put(*c.record);
            } catch (const platform::Exception& e) {
                throw JournalError(where + ": cannot register database " + c.record->name + ": " +
                                   e.Message());
            }
            report.push_back("finished the interrupted commit of database " + c.record->name +
                             " (" + file.filename().string() + ")");
        }
        if (::unlink(file.c_str()) != 0) {
            throw JournalError(where + " cannot be removed: " + ErrnoText(errno));
        }
        SyncFolder(folder);
    }
    return report;
}

}  // namespace emulator
