// The journal of RESTORE, BACKUP and CREATE DATABASE against the real
// emulator: a kill in the middle leaves, after the next start, either nothing
// or the whole database; a journal the start cannot trust stops it.
#include <atomic>
#include <chrono>
#include <thread>

#include "emulator/journal.h"
#include "tests/emulator/emulator_fixture.h"

namespace emulatortest {
namespace {

constexpr auto kDeadline = std::chrono::minutes(3);

class JournalTest : public EmulatorTest {
  public:
    fs::path DataDir() const { return ws_.Root() / "mssql-emulator" / "MSSQLSERVER"; }
    fs::path JournalDir() const { return DataDir() / "journal"; }

    static std::vector<std::string> Hidden(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& n : Listing(folder)) {
            if (n[0] == '.') {
                names.push_back(n);
            }
        }
        return names;
    }

    // The journals proper, without the temporaries of their atomic writes.
    std::vector<std::string> Journals() const {
        std::vector<std::string> names;
        for (const auto& n : Listing(JournalDir())) {
            if (n[0] != '.') {
                names.push_back(n);
            }
        }
        return names;
    }

    void StopEmulator() {
        client_.reset();
        ASSERT_EQ(emulator_->Stop(), 0);
    }

    // The start's failure text, empty when it started.
    std::string StartFailure() {
        try {
            Start();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    void WriteJournal(const std::string& text) { ws_.WriteFile(JournalDir() / "4242-0.txt", text); }
};

// A field of a journal line, escaped as the catalogue escapes.
std::string Field(const std::string& s) {
    std::string out;
    for (const char c : s) {
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return out;
}

// ---- a kill in the middle of a long statement ------------------------------

struct KillCase {
    const char* name;
    const char* before;     // run first, on a database Big with a backup
    const char* statement;  // killed once its temporary files exist
    const char* folder;     // where they appear
    const char* database;   // the database it makes, or empty
    std::vector<int> success;
};

void PrintTo(const KillCase& c, std::ostream* os) {
    *os << c.name;
}

class KilledStatementTest : public JournalTest, public ::testing::WithParamInterface<KillCase> {
  public:
    void SetUp() override {
        JournalTest::SetUp();
        for (const char* folder : {"C:\\Orig", "C:\\Data", "C:\\New", "D:\\Setup", "D:\\Again"}) {
            fs::create_directories(Host(folder));
        }
        // Large enough that the copy lasts well beyond the polling below.
        ASSERT_EQ(Numbers(Sql("CREATE DATABASE Big ON (NAME = Big, FILENAME = "
                              "'C:\\Orig\\Big.mdf', SIZE = 256MB) LOG ON (NAME = Big_log, "
                              "FILENAME = 'C:\\Orig\\Big_log.ldf', SIZE = 1MB)")),
                  std::vector<int>{});
        ASSERT_EQ(Numbers(Sql("BACKUP DATABASE Big TO DISK = 'D:\\Setup\\Big.bak'")),
                  (std::vector<int>{4035, 4035, 3014}));
    }

    // Starts the statement on a connection of its own and kills the emulator
    // as soon as its temporary files and its journal exist. True when the
    // kill came during the copy (the journal still in its copy phase).
    bool KillDuringCopy(const KillCase& c) {
        auto connection = Connect();
        std::thread runner([&connection, &c]() {
            try {
                connection->Batch(c.statement);
            } catch (const std::exception&) {
                // The kill closes the connection.
            }
        });
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < deadline &&
               (Hidden(Host(c.folder)).empty() || Journals().empty())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        emulator_->Kill();
        runner.join();
        const auto journals = Journals();
        return journals.size() == 1 &&
               testsupport::ReadFile(JournalDir() / journals[0]).find("phase\tcopy\n") !=
                   std::string::npos;
    }
};

TEST_P(KilledStatementTest, LeavesNothingAfterTheRestart) {
    const KillCase& c = GetParam();
    if (*c.before != '\0') {
        ASSERT_EQ(Numbers(Sql(c.before)), std::vector<int>{});
    }
    // A kill that came too late (the statement had got past its copy) is
    // undone and tried again.
    bool duringCopy = false;
    for (int attempt = 0; attempt < 3 && !duringCopy; ++attempt) {
        duringCopy = KillDuringCopy(c);
        Start();
        if (!duringCopy) {
            if (*c.database != '\0') {
                Sql(std::string("DROP DATABASE IF EXISTS ") + c.database);
            }
            for (const auto& n : Listing(Host(c.folder))) {
                fs::remove(Host(c.folder) / n);
            }
        }
    }
    ASSERT_TRUE(duringCopy) << "the statement always ended before the kill";

    EXPECT_EQ(Listing(Host(c.folder)), std::vector<std::string>{});
    EXPECT_EQ(Listing(JournalDir()), std::vector<std::string>{});
    if (*c.database != '\0') {
        EXPECT_FALSE(HasDatabase(c.database));
    }
    EXPECT_NE(emulator_->StderrText().find("removed the temporary files"), std::string::npos)
        << emulator_->StderrText();
    // Nothing blocks the same statement now.
    EXPECT_EQ(Numbers(Sql(c.statement)), c.success);
    EXPECT_EQ(Hidden(Host(c.folder)), std::vector<std::string>{});
    if (*c.database != '\0') {
        EXPECT_TRUE(HasDatabase(c.database));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statements, KilledStatementTest,
    ::testing::Values(
        KillCase{"Restore",
                 "DROP DATABASE Big",
                 "RESTORE DATABASE Big FROM DISK = 'D:\\Setup\\Big.bak' WITH MOVE 'Big' TO "
                 "'C:\\Data\\Big.mdf', MOVE 'Big_log' TO 'C:\\Data\\Big_log.ldf'",
                 "C:\\Data",
                 "Big",
                 {4035, 4035, 3014}},
        KillCase{"Backup",
                 "",
                 "BACKUP DATABASE Big TO DISK = 'D:\\Again\\Big.bak'",
                 "D:\\Again",
                 "",
                 {4035, 4035, 3014}},
        KillCase{"Create",
                 "",
                 "CREATE DATABASE Fresh ON (NAME = Fresh, FILENAME = 'C:\\New\\Fresh.mdf', SIZE = "
                 "256MB) LOG ON (NAME = Fresh_log, FILENAME = 'C:\\New\\Fresh_log.ldf')",
                 "C:\\New",
                 "Fresh",
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- journals written by hand: the states a kill can leave -----------------

TEST_F(JournalTest, CommitPhaseIsFinishedAtStart) {
    StopEmulator();
    const fs::path data = Host("C:\\Data");
    fs::create_directories(data);
    ws_.WriteFile(data / ".Shop.mdf.a1B2c3", "new data");
    // The kill came between the renames: the log is in place already.
    ws_.WriteFile(data / "Shop_log.ldf", "new log");
    ws_.WriteFile(Host("C:\\Old\\Shop.mdf"), "the replaced database's file");
    ws_.WriteFile(data / ".Other.mdf.zzzzzz", "not this journal's");
    WriteJournal(
        "mssql-emulator journal 1\nphase\tcommit\n"
        "rename\t" +
        (data / ".Shop.mdf.a1B2c3").string() + "\t" + (data / "Shop.mdf").string() + "\n" +
        "rename\t" + (data / ".Shop_log.ldf.d4E5f6").string() + "\t" +
        (data / "Shop_log.ldf").string() + "\n" + "remove\t" + Host("C:\\Old\\Shop.mdf").string() +
        "\n" +
        "database\tShop\t00112233445566778899aabbccddeeff\n"
        "file\tdata\tShop\t" +
        Field("C:\\Data\\Shop.mdf") +
        "\t8\n"
        "file\tlog\tShop_log\t" +
        Field("C:\\Data\\Shop_log.ldf") +
        "\t7\n"
        "end\n");

    Start();
    EXPECT_EQ(testsupport::ReadFile(data / "Shop.mdf"), "new data");
    EXPECT_EQ(testsupport::ReadFile(data / "Shop_log.ldf"), "new log");
    EXPECT_EQ(Listing(data),
              (std::vector<std::string>{".Other.mdf.zzzzzz", "Shop.mdf", "Shop_log.ldf"}));
    EXPECT_FALSE(fs::exists(Host("C:\\Old\\Shop.mdf")));
    EXPECT_EQ(Listing(JournalDir()), std::vector<std::string>{});
    EXPECT_TRUE(HasDatabase("Shop"));
    EXPECT_EQ(Sql("USE Shop").databaseChanges, std::vector<std::string>{"Shop"});
    EXPECT_NE(emulator_->StderrText().find("finished the interrupted commit of database Shop"),
              std::string::npos)
        << emulator_->StderrText();

    // Registered for good: it survives another start and owns its files.
    Start();
    EXPECT_TRUE(HasDatabase("Shop"));
    EXPECT_EQ(Numbers(Sql("DROP DATABASE Shop")), std::vector<int>{});
    EXPECT_EQ(Listing(data), std::vector<std::string>{".Other.mdf.zzzzzz"});
}

// A REPLACE over a database whose catalogue cannot be written once the new
// files stand in place: removing them would lose both databases, so they stay
// and the next start registers them.
TEST_F(JournalTest, ReplaceThatCannotRegisterIsFinishedAtTheNextStart) {
    fs::create_directories(Host("C:\\Data"));
    ASSERT_EQ(Numbers(Sql("CREATE DATABASE d ON (NAME = d, FILENAME = 'C:\\Data\\d.mdf', SIZE = "
                          "1MB) LOG ON (NAME = d_log, FILENAME = 'C:\\Data\\d.ldf', SIZE = 1MB)")),
              std::vector<int>{});
    ASSERT_EQ(Numbers(Sql("BACKUP DATABASE d TO DISK = 'C:\\Data\\d.bak'")),
              (std::vector<int>{4035, 4035, 3014}));
    const std::string mdf = testsupport::ReadFile(Host("C:\\Data\\d.mdf"));

    // The catalogue's place taken by a folder: its next write fails.
    const fs::path catalogue = DataDir() / "catalogue.txt";
    const std::string saved = testsupport::ReadFile(catalogue);
    fs::remove(catalogue);
    fs::create_directories(catalogue / "in-the-way");
    EXPECT_EQ(Numbers(Sql("RESTORE DATABASE d FROM DISK = 'C:\\Data\\d.bak' WITH REPLACE")),
              (std::vector<int>{3634, 3013}));
    EXPECT_EQ(testsupport::ReadFile(Host("C:\\Data\\d.mdf")), mdf);
    EXPECT_TRUE(fs::exists(Host("C:\\Data\\d.ldf")));
    EXPECT_EQ(Journals().size(), 1u);

    StopEmulator();
    fs::remove_all(catalogue);
    ws_.WriteFile(catalogue, saved);
    Start();
    EXPECT_TRUE(HasDatabase("d"));
    EXPECT_EQ(Journals(), std::vector<std::string>{});
    EXPECT_EQ(testsupport::ReadFile(Host("C:\\Data\\d.mdf")), mdf);
}

TEST_F(JournalTest, CopyPhaseRemovesItsTemporaryFilesOnly) {
    StopEmulator();
    const fs::path data = Host("C:\\Data");
    ws_.WriteFile(data / ".Shop.mdf.a1B2c3", "half copied");
    ws_.WriteFile(data / ".Other.mdf.zzzzzz", "not this journal's");
    ws_.WriteFile(data / "Shop.mdf", "an unrelated file that was there");
    // A journal write the kill interrupted, beside the journal.
    ws_.WriteFile(JournalDir() / ".4242-0.txt.tmp.99.0.0", "mssql-emulator jou");
    WriteJournal(
        "mssql-emulator journal 1\nphase\tcopy\n"
        "temp\t" +
        (data / ".Shop.mdf.a1B2c3").string() + "\n" + "temp\t" +
        (data / ".Shop_log.ldf.d4E5f6").string() + "\n" + "end\n");

    Start();
    EXPECT_EQ(Listing(data), (std::vector<std::string>{".Other.mdf.zzzzzz", "Shop.mdf"}));
    EXPECT_EQ(testsupport::ReadFile(data / "Shop.mdf"), "an unrelated file that was there");
    EXPECT_EQ(Listing(JournalDir()), std::vector<std::string>{});
    EXPECT_FALSE(HasDatabase("Shop"));
}

// ---- journals the start must not guess about -------------------------------

struct BadJournal {
    const char* name;
    std::string text;  // "$C" stands for drive C:'s host folder
    const char* reason;
};

void PrintTo(const BadJournal& b, std::ostream* os) {
    *os << b.name;
}

class UnreadableJournalTest : public JournalTest,
                              public ::testing::WithParamInterface<BadJournal> {};

TEST_P(UnreadableJournalTest, StopsTheStartAndKeepsEverything) {
    const BadJournal& b = GetParam();
    StopEmulator();
    std::string text = b.text;
    for (std::size_t at; (at = text.find("$C")) != std::string::npos;) {
        text.replace(at, 2, ws_.Drive('c').string());
    }
    ws_.WriteFile(Host("C:\\keep.txt"), "precious");
    WriteJournal(text);

    const std::string failure = StartFailure();
    EXPECT_NE(failure.find("exit status 2"), std::string::npos) << failure;
    EXPECT_NE(failure.find((JournalDir() / "4242-0.txt").string()), std::string::npos) << failure;
    EXPECT_NE(failure.find(b.reason), std::string::npos) << failure;
    EXPECT_NE(failure.find("not starting"), std::string::npos) << failure;
    EXPECT_EQ(testsupport::ReadFile(JournalDir() / "4242-0.txt"), text);
    EXPECT_EQ(testsupport::ReadFile(Host("C:\\keep.txt")), "precious");

    // Once someone has dealt with it, the emulator starts.
    fs::remove(JournalDir() / "4242-0.txt");
    EXPECT_EQ(StartFailure(), "");
}

const std::string kHead = "mssql-emulator journal 1\n";

INSTANTIATE_TEST_SUITE_P(
    Journals, UnreadableJournalTest,
    ::testing::Values(
        BadJournal{"NotAJournal", "hello\n", "not an mssql-emulator journal"},
        BadJournal{"Empty", "", "not an mssql-emulator journal"},
        BadJournal{"UnknownPhase", kHead + "phase\tlater\nend\n", "unknown phase"},
        BadJournal{"NoEndLine", kHead + "phase\tcopy\ntemp\t$C/.keep.txt.abcdef\n", "no end line"},
        BadJournal{"TextAfterTheEnd", kHead + "phase\tcopy\nend\nend\n", "after the end"},
        BadJournal{"NotATemporaryFile", kHead + "phase\tcopy\ntemp\t$C/keep.txt\nend\n",
                   "not a temporary file name"},
        BadJournal{"RelativePath", kHead + "phase\tcopy\ntemp\t.keep.txt.abcdef\nend\n",
                   "not an absolute file path"},
        BadJournal{"BadEscape", kHead + "phase\tcopy\ntemp\t$C/.a\\q.abcdef\nend\n",
                   "unknown escape"},
        BadJournal{"CommitWithoutRecord",
                   kHead + "phase\tcommit\nrename\t$C/.a.mdf.abcdef\t$C/a.mdf\nend\n",
                   "exactly one database"},
        BadJournal{"RenameToAnotherFolder",
                   kHead + "phase\tcommit\nrename\t$C/.a.mdf.abcdef\t$C/sub/a.mdf\n"
                           "database\tA\t00112233445566778899aabbccddeeff\nend\n",
                   "leaves its folder"},
        BadJournal{"CommitWhoseFilesAreGone",
                   kHead + "phase\tcommit\nrename\t$C/.a.mdf.abcdef\t$C/a.mdf\n"
                           "database\tA\t00112233445566778899aabbccddeeff\n"
                           "file\tdata\tA\tC:\\\\a.mdf\t1\nend\n",
                   "cannot rename"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the format itself -----------------------------------------------------

TEST(JournalFormat, EncodesAndDecodesEveryField) {
    emulator::JournalContent c;
    c.phase = emulator::JournalContent::Phase::Commit;
    c.renames = {{"/w/drives/c/My\tData/.a.mdf.Ab12Cd", "/w/drives/c/My\tData/a.mdf"},
                 {"/w/x\\y/.a_log.ldf.Zz99zz", "/w/x\\y/a_log.ldf"}};
    c.removals = {"/w/drives/c/old\nfile.mdf"};
    c.record = emulator::Database{
        "Qu\xe9",
        {1, 2, 3},
        {{"a", false, "C:\\My\tData\\a.mdf", 8192}, {"a_log", true, "D:\\x\\a_log.ldf", 0}},
        false};
    const auto back = emulator::DecodeJournal(emulator::EncodeJournal(c));
    ASSERT_EQ(back.phase, c.phase);
    ASSERT_EQ(back.renames.size(), 2u);
    EXPECT_EQ(back.renames[0].temp, c.renames[0].temp);
    EXPECT_EQ(back.renames[1].target, c.renames[1].target);
    EXPECT_EQ(back.removals, c.removals);
    ASSERT_TRUE(back.record);
    EXPECT_EQ(emulator::Catalogue::Encode({*back.record}),
              emulator::Catalogue::Encode({*c.record}));

    emulator::JournalContent copy;
    copy.temps = {"/w/.b.bak.q1w2e3"};
    EXPECT_EQ(emulator::DecodeJournal(emulator::EncodeJournal(copy)).temps, copy.temps);
}

}  // namespace
}  // namespace emulatortest
