// RESTORE, BACKUP, CREATE, DROP and USE against the real emulator, as a
// client sees them: messages, files on its workstation, and its catalogue.
#include <sys/stat.h>

#include <functional>

#include "tests/emulator/emulator_fixture.h"

namespace emulatortest {
namespace {

// A backup of database Quillorant (logical files Quillorant and
// Quillorant_log, 2 MB and 1 MB, made in C:\Orig\), lying at
// D:\Setup\Quillorant.Bak; the database itself dropped again.
class RestoreTest : public EmulatorTest {
  public:
    void SetUp() override {
        EmulatorTest::SetUp();
        fs::create_directories(Host("C:\\") / "Orig");
        fs::create_directories(Host("D:\\") / "Setup");
        fs::create_directories(Host("C:\\") / "MSSQL" / "Data");
        const auto created = Sql(
            "CREATE DATABASE Quillorant ON (NAME = Quillorant, FILENAME = "
            "'C:\\Orig\\Quillorant.mdf', "
            "SIZE = 2MB) LOG ON (NAME = Quillorant_log, FILENAME = 'C:\\Orig\\Quillorant_log.ldf', "
            "SIZE = 1MB)");
        ASSERT_EQ(Numbers(created), std::vector<int>{});
        original_ = testsupport::ReadFile(Host("C:\\Orig\\Quillorant.mdf"));
        const auto backup = Sql("BACKUP DATABASE Quillorant TO DISK = 'D:\\Setup\\Quillorant.Bak'");
        ASSERT_EQ(Numbers(backup), (std::vector<int>{4035, 4035, 3014}));
        ASSERT_EQ(Numbers(Sql("DROP DATABASE Quillorant")), std::vector<int>{});
        ASSERT_FALSE(fs::exists(Host("C:\\Orig\\Quillorant.mdf")));
    }

    static std::string Statement(const std::string& disk = "D:\\Setup\\Quillorant.Bak",
                                 const std::string& folder = "C:\\MSSQL\\Data\\",
                                 const std::string& extra = "") {
        return "RESTORE DATABASE Quillorant FROM DISK = '" + disk +
               "' WITH MOVE 'Quillorant' to '" + folder +
               "Quillorant.mdf', MOVE 'Quillorant_log' to '" + folder + "Quillorant_log.ldf'" +
               extra;
    }

    std::string original_;
};

TEST_F(RestoreTest, RestoresTheFilesAndRecordsTheDatabase) {
    const auto r = Sql(Statement());
    ASSERT_EQ(Numbers(r), (std::vector<int>{4035, 4035, 3014}));
    for (const auto& m : r.messages) {
        EXPECT_EQ(m.severity, 0);
        EXPECT_EQ(m.line, 1);
        EXPECT_FALSE(m.server.empty());
    }
    EXPECT_EQ(r.messages[0].text,
              "Processed 256 pages for database 'Quillorant', file 'Quillorant' on file 1.");
    EXPECT_EQ(r.messages[1].text,
              "Processed 128 pages for database 'Quillorant', file 'Quillorant_log' on file 1.");
    EXPECT_EQ(r.messages[2].text.rfind("RESTORE DATABASE successfully processed 384 pages in ", 0),
              0u)
        << r.messages[2].text;
    EXPECT_EQ(r.doneStatus, std::vector<std::uint16_t>{0});

    const auto data = Host("C:\\MSSQL\\Data\\Quillorant.mdf");
    EXPECT_EQ(testsupport::ReadFile(data), original_);
    EXPECT_EQ(fs::file_size(Host("C:\\MSSQL\\Data\\Quillorant_log.ldf")), 1024u * 1024);
    EXPECT_EQ(Listing(data.parent_path()),
              (std::vector<std::string>{"Quillorant.mdf", "Quillorant_log.ldf"}));
    EXPECT_TRUE(HasDatabase("Quillorant"));
    // The name matches without regard to case, as the login's database does.
    EXPECT_EQ(Sql("use QUILLORANT").databaseChanges, std::vector<std::string>{"Quillorant"});
}

TEST_F(RestoreTest, ProgressWithStats) {
    const auto r = Sql(Statement("D:\\Setup\\Quillorant.Bak", "C:\\MSSQL\\Data\\", ", STATS = 50"));
    ASSERT_EQ(Numbers(r), (std::vector<int>{3211, 3211, 4035, 4035, 3014}));
    EXPECT_EQ(r.messages[0].text, "50 percent processed.");
    EXPECT_EQ(r.messages[1].text, "100 percent processed.");
}

TEST_F(RestoreTest, WithoutMoveTheRecordedPathsAreUsed) {
    const auto r = Sql("RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak'");
    ASSERT_EQ(Numbers(r), (std::vector<int>{4035, 4035, 3014}));
    EXPECT_EQ(testsupport::ReadFile(Host("C:\\Orig\\Quillorant.mdf")), original_);
}

TEST_F(RestoreTest, DoubledApostrophesNameOneApostrophe) {
    fs::create_directories(Host("D:\\") / "L'Atelier");
    const auto r = Sql(Statement("D:\\Setup\\Quillorant.Bak", "D:\\L''Atelier\\"));
    ASSERT_EQ(Numbers(r), (std::vector<int>{4035, 4035, 3014}));
    EXPECT_TRUE(fs::exists(ws_.Drive('d') / "L'Atelier" / "Quillorant.mdf"));
    EXPECT_TRUE(fs::exists(ws_.Drive('d') / "L'Atelier" / "Quillorant_log.ldf"));
}

TEST_F(RestoreTest, TheCatalogueSurvivesARestart) {
    ASSERT_EQ(Numbers(Sql(Statement())), (std::vector<int>{4035, 4035, 3014}));
    client_.reset();
    EXPECT_EQ(emulator_->Stop(), 0);
    Start();
    EXPECT_TRUE(HasDatabase("Quillorant"));
    auto c = Connect("quillorant");
    EXPECT_EQ(Numbers(c->Batch("SELECT DB_NAME()")), std::vector<int>{});
}

TEST_F(RestoreTest, ReplaceOverwritesTheExistingDatabase) {
    ASSERT_EQ(Numbers(Sql(Statement())), (std::vector<int>{4035, 4035, 3014}));
    // Same backup again: the same database, so only its log tail would be lost.
    const auto again = Sql(Statement());
    ASSERT_EQ(Numbers(again), (std::vector<int>{3159, 3013}));
    EXPECT_EQ(
        again.messages[0].text.rfind("The tail of the log for the database \"Quillorant\" has "
                                     "not been backed up.",
                                     0),
        0u);
    const auto replaced =
        Sql(Statement("D:\\Setup\\Quillorant.Bak", "C:\\MSSQL\\Data\\", ", REPLACE"));
    EXPECT_EQ(Numbers(replaced), (std::vector<int>{4035, 4035, 3014}));
    EXPECT_TRUE(HasDatabase("Quillorant"));
}

TEST_F(RestoreTest, RefusesToRestoreOverTheDatabaseInUse) {
    ASSERT_EQ(Numbers(Sql(Statement())), (std::vector<int>{4035, 4035, 3014}));
    auto user = Connect("Quillorant");
    const auto r = Sql(Statement("D:\\Setup\\Quillorant.Bak", "C:\\MSSQL\\Data\\", ", REPLACE"));
    EXPECT_EQ(Numbers(r), (std::vector<int>{3101, 3013}));
    EXPECT_EQ(Numbers(user->Batch(
                  Statement("D:\\Setup\\Quillorant.Bak", "C:\\MSSQL\\Data\\", ", REPLACE"))),
              (std::vector<int>{3102, 3013}));
}

// Each refusal: its messages, no new file in the target folder, and the
// catalogue as it was.
TEST_F(RestoreTest, EachRefusalGivesSqlServersMessagesAndLeavesNothing) {
    struct Case {
        const char* what;
        std::function<void(RestoreTest&)> prepare;
        std::string statement;
        std::vector<int> numbers;
        std::string firstText;
        bool databaseExists = false;
    };
    const std::string data = "C:\\MSSQL\\Data\\";
    const Case cases[] = {
        {"missing backup",
         nullptr,
         Statement("D:\\Setup\\Missing.Bak"),
         {3201, 3013},
         "Cannot open backup device 'D:\\Setup\\Missing.Bak'. Operating system error 2(The system "
         "cannot find the file specified.)."},
        {"missing backup folder",
         nullptr,
         Statement("D:\\Nowhere\\Quillorant.Bak"),
         {3201, 3013},
         "Cannot open backup device 'D:\\Nowhere\\Quillorant.Bak'. Operating system error 3(The "
         "system cannot find the path specified.)."},
        {"not a backup",
         [](RestoreTest& t) { t.ws_.WriteFile(t.Host("D:\\Setup\\Text.Bak"), "hello\n"); },
         Statement("D:\\Setup\\Text.Bak"),
         {3241, 3013},
         "The media family on device 'D:\\Setup\\Text.Bak' is incorrectly formed. SQL Server "
         "cannot "
         "process this media family."},
        {"truncated backup",
         [](RestoreTest& t) {
             const auto p = t.Host("D:\\Setup\\Quillorant.Bak");
             fs::resize_file(p, fs::file_size(p) - 1000);
         },
         Statement(),
         {3203, 3013},
         "Read on \"D:\\Setup\\Quillorant.Bak\" failed: 38(Reached the end of the file.)"},
        {"damaged backup",
         [](RestoreTest& t) {
             const auto p = t.Host("D:\\Setup\\Quillorant.Bak");
             std::string b = testsupport::ReadFile(p);
             b[b.size() - 100000] ^= 0x20;
             t.ws_.WriteFile(p, b);
         },
         Statement(),
         {3189, 3013},
         "Damage to the backup set was detected."},
        {"unknown logical name",
         nullptr,
         "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak' WITH MOVE 'Quill' TO "
         "'" +
             data + "Q.mdf'",
         {3234, 3013},
         "Logical file 'Quill' is not part of database 'Quillorant'. Use RESTORE FILELISTONLY to "
         "list the logical file names."},
        {"missing target folder",
         nullptr,
         "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak' WITH MOVE "
         "'Quillorant' "
         "TO 'C:\\Missing\\Quillorant.mdf', MOVE 'Quillorant_log' TO '" +
             data + "Quillorant_log.ldf'",
         {5133, 3156, 3119, 3013},
         "Directory lookup for the file \"C:\\Missing\\Quillorant.mdf\" failed with the operating "
         "system error 3(The system cannot find the path specified.)."},
        {"existing file, no REPLACE",
         [](RestoreTest& t) {
             t.ws_.WriteFile(t.Host("C:\\MSSQL\\Data\\Quillorant.mdf"), "keep me");
         },
         Statement(),
         {5170, 3156, 3119, 3013},
         "Cannot create file 'C:\\MSSQL\\Data\\Quillorant.mdf' because it already exists. Change "
         "the "
         "file path or the file name, and retry the operation."},
        {"file of another database",
         [](RestoreTest& t) {
             ASSERT_EQ(Numbers(t.Sql("CREATE DATABASE Other ON (NAME = Other, FILENAME = "
                                     "'C:\\MSSQL\\Data\\Quillorant_log.ldf')")),
                       std::vector<int>{});
         },
         Statement("D:\\Setup\\Quillorant.Bak", data, ", REPLACE"),
         {1834, 3156, 3119, 3013},
         "The file 'C:\\MSSQL\\Data\\Quillorant_log.ldf' cannot be overwritten.  It is being used "
         "by "
         "database 'Other'."},
        {"another database of that name",
         [](RestoreTest& t) {
             ASSERT_EQ(Numbers(t.Sql(
                           "CREATE DATABASE quillorant ON (NAME = q, FILENAME = "
                           "'C:\\Orig\\q.mdf') LOG ON (NAME = ql, FILENAME = 'C:\\Orig\\q.ldf')")),
                       std::vector<int>{});
         },
         Statement(),
         {3154, 3013},
         "The backup set holds a backup of a database other than the existing 'quillorant' "
         "database.",
         true},
        {"same file twice",
         nullptr,
         "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak' WITH MOVE "
         "'Quillorant' "
         "TO '" +
             data + "x.mdf', MOVE 'Quillorant_log' TO '" + data + "X.MDF'",
         {3176, 3013},
         "File 'C:\\MSSQL\\Data\\X.MDF' is claimed by 'Quillorant'(1) and 'Quillorant_log'(2). The "
         "WITH MOVE clause can be used to relocate one or more files."},
    };
    const std::string backup = testsupport::ReadFile(Host("D:\\Setup\\Quillorant.Bak"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.prepare) {
            c.prepare(*this);
        }
        const auto before = Listing(Host(data));
        const auto databases = Databases();
        const auto r = Sql(c.statement);
        EXPECT_EQ(Numbers(r), c.numbers);
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages[0].text, c.firstText);
        for (const auto& m : r.messages) {
            EXPECT_EQ(m.severity, 16) << m.number;
        }
        EXPECT_EQ(r.doneStatus, std::vector<std::uint16_t>{0x0002});
        EXPECT_EQ(Listing(Host(data)), before);
        EXPECT_EQ(Databases(), databases);
        EXPECT_EQ(HasDatabase("Quillorant") || HasDatabase("quillorant"), c.databaseExists);
        if (fs::exists(Host(data + "Quillorant.mdf"))) {
            EXPECT_EQ(testsupport::ReadFile(Host(data + "Quillorant.mdf")), "keep me");
        }
        // Undo what the case prepared.
        Sql("DROP DATABASE IF EXISTS Other, quillorant");
        fs::remove(Host(data + "Quillorant.mdf"));
        ws_.WriteFile(Host("D:\\Setup\\Quillorant.Bak"), backup);
    }
}

TEST_F(RestoreTest, FileListOnlyAndVerifyOnly) {
    const auto list = Sql("RESTORE FILELISTONLY FROM DISK = 'D:\\Setup\\Quillorant.Bak'");
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_EQ(list.columns.at(0), "LogicalName");
    EXPECT_EQ(list.rows[0][0], "Quillorant");
    EXPECT_EQ(list.rows[0][1], "C:\\Orig\\Quillorant.mdf");
    EXPECT_EQ(list.rows[1][2], "L");
    EXPECT_EQ(Numbers(Sql("RESTORE VERIFYONLY FROM DISK = 'D:\\Setup\\Quillorant.Bak'")),
              std::vector<int>{3262});
}

TEST_F(EmulatorTest, CreateWritesRealFilesOfTheAskedSize) {
    fs::create_directories(Host("C:\\") / "Shop");
    const auto r = Sql(
        "CREATE DATABASE Shop ON (NAME = Shop, FILENAME = 'C:\\Shop\\Shop.mdf', SIZE = 3MB) LOG ON "
        "(NAME = Shop_log, FILENAME = 'C:\\Shop\\Shop_log.ldf', SIZE = 512KB)");
    EXPECT_EQ(Numbers(r), std::vector<int>{});
    struct stat st {};
    ASSERT_EQ(stat(Host("C:\\Shop\\Shop.mdf").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3 * 1024 * 1024);
    EXPECT_GE(st.st_blocks * 512, st.st_size);  // not sparse
    EXPECT_EQ(fs::file_size(Host("C:\\Shop\\Shop_log.ldf")), 512u * 1024);
    // The content is the same for the same names, so tests can compare.
    const std::string first = testsupport::ReadFile(Host("C:\\Shop\\Shop.mdf"));
    EXPECT_EQ(Numbers(Sql("DROP DATABASE Shop")), std::vector<int>{});
    EXPECT_FALSE(fs::exists(Host("C:\\Shop\\Shop.mdf")));
    EXPECT_EQ(
        Numbers(Sql("CREATE DATABASE Shop ON (NAME = Shop, FILENAME = 'C:\\Shop\\Shop.mdf', "
                    "SIZE = 3MB) LOG ON (NAME = Shop_log, FILENAME = 'C:\\Shop\\Shop_log.ldf')")),
        std::vector<int>{});
    EXPECT_EQ(testsupport::ReadFile(Host("C:\\Shop\\Shop.mdf")), first);
}

TEST_F(EmulatorTest, CreateWithoutFilesUsesTheDefaultDataFolder) {
    EXPECT_EQ(Numbers(Sql("create database Plain")), std::vector<int>{});
    const auto folder = Host("C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\");
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"Plain.mdf", "Plain_log.ldf"}));
    EXPECT_EQ(fs::file_size(folder / "Plain.mdf"), 1024u * 1024);
}

TEST_F(EmulatorTest, StatementRefusals) {
    fs::create_directories(Host("D:\\") / "Backups");
    struct Case {
        std::string batch;
        std::vector<int> numbers;
        std::string firstText;
        int severity;
    };
    const Case cases[] = {
        {"BACKUP DATABASE Nope TO DISK = 'D:\\Backups\\n.bak'",
         {911, 3013},
         "Database 'Nope' does not exist. Make sure that the name is entered correctly.",
         16},
        {"BACKUP DATABASE msdb TO DISK = 'D:\\Missing\\m.bak'",
         {3201, 3013},
         "Cannot open backup device 'D:\\Missing\\m.bak'. Operating system error 3(The system "
         "cannot "
         "find the path specified.).",
         16},
        {"BACKUP DATABASE msdb TO DISK = 'D:\\Backups'",
         {3201, 3013},
         "Cannot open backup device 'D:\\Backups'. Operating system error 5(Access is denied.).",
         16},
        {"BACKUP DATABASE tempdb TO DISK = 'D:\\Backups\\t.bak'",
         {3147, 3013},
         "Backup and restore operations are not allowed on database tempdb.",
         16},
        {"DROP DATABASE Nope",
         {3701},
         "Cannot drop the database 'Nope', because it does not exist or you do not have "
         "permission.",
         11},
        {"DROP DATABASE MASTER",
         {3708},
         "Cannot drop the database 'master' because it is a system database.",
         16},
        {"USE Nope",
         {911},
         "Database 'Nope' does not exist. Make sure that the name is entered correctly.",
         16},
        {"CREATE DATABASE Model",
         {1801},
         "Database 'Model' already exists. Choose a different database name.",
         16},
        {"CREATE DATABASE X ON (NAME = X, FILENAME = 'C:\\Missing\\X.mdf')",
         {5133, 1802},
         "Directory lookup for the file \"C:\\Missing\\X.mdf\" failed with the operating system "
         "error 3(The system cannot find the path specified.).",
         16},
        {"SELECT * FROM t", {102}, "Incorrect syntax near '*'.", 15},
        {"RESTORE DATABASE master FROM DISK = 'D:\\Backups\\m.bak'",
         {3201, 3013},
         "Cannot open backup device 'D:\\Backups\\m.bak'. Operating system error 2(The system "
         "cannot "
         "find the file specified.).",
         16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.batch);
        const auto r = Sql(c.batch);
        EXPECT_EQ(Numbers(r), c.numbers);
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages[0].text, c.firstText);
        EXPECT_EQ(r.messages[0].severity, c.severity);
    }
    EXPECT_EQ(Listing(Host("D:\\Backups\\")), std::vector<std::string>{});
}

TEST_F(EmulatorTest, DropRefusesADatabaseInUseAndBackupRefusesADatabaseFile) {
    ASSERT_EQ(Numbers(Sql("CREATE DATABASE Busy")), std::vector<int>{});
    auto other = Connect("Busy");
    const auto r = Sql("DROP DATABASE Busy");
    EXPECT_EQ(Numbers(r), std::vector<int>{3702});
    EXPECT_EQ(r.messages.at(0).text,
              "Cannot drop database \"Busy\" because it is currently in use.");
    const auto overFile =
        Sql("BACKUP DATABASE Busy TO DISK = 'C:\\Program Files\\Microsoft SQL "
            "Server\\MSSQL\\Data\\Busy.mdf'");
    EXPECT_EQ(Numbers(overFile), (std::vector<int>{3201, 3013}));
    other.reset();
    // The other session has gone once its connection is closed.
    for (int i = 0; i < 200 && !Sql("DROP DATABASE Busy").messages.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_FALSE(HasDatabase("Busy"));
}

TEST_F(EmulatorTest, BatchesOfSeveralStatements) {
    const auto r = Sql(
        "SET NOCOUNT ON; SET ANSI_WARNINGS ON\n-- comment\nUSE msdb /* c */ ;\nSELECT DB_NAME(), "
        "@@SPID\nPRINT 'it''s done'\nUSE nope\nSELECT 1");
    EXPECT_EQ(Numbers(r), (std::vector<int>{5701, 0, 911}));
    EXPECT_EQ(r.messages[1].text, "it's done");
    EXPECT_EQ(r.messages[2].line, 6);
    EXPECT_EQ(r.databaseChanges, std::vector<std::string>{"msdb"});
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0][0], "msdb");
    EXPECT_EQ(r.rows[1][0], "1");
    // One DONE per statement: more to come on all but the last; the failed USE flagged.
    const std::vector<std::uint16_t> expected = {0x01, 0x01, 0x01, 0x11, 0x01, 0x03, 0x10};
    EXPECT_EQ(r.doneStatus, expected);
}

}  // namespace
}  // namespace emulatortest
