// The emulator's pieces on their own: checksum, statement parser, catalogue
// text, backup file format, SSRP answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "emulator/backup_file.h"
#include "emulator/catalogue.h"
#include "emulator/crc32c.h"
#include "emulator/server.h"
#include "emulator/sql.h"
#include "platform/exception.h"
#include "tests/support/temp_workstation.h"

namespace {

using namespace emulator;

TEST(Crc32c, KnownVectorsOnBothPaths) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32c(0, check.data(), check.size()), 0xE3069283u);
    EXPECT_EQ(Crc32cPortable(0, check.data(), check.size()), 0xE3069283u);
    EXPECT_EQ(Crc32c(0, "", 0), 0u);

    std::mt19937 rng(7);
    std::string data(100003, '\0');
    for (auto& c : data) {
        c = static_cast<char>(rng());
    }
    const auto whole = Crc32c(0, data.data(), data.size());
    EXPECT_EQ(whole, Crc32cPortable(0, data.data(), data.size()));
    // Continuing a sum over pieces gives the sum of the whole.
    const auto part = Crc32c(0, data.data(), 12345);
    EXPECT_EQ(Crc32c(part, data.data() + 12345, data.size() - 12345), whole);
}

// ---- statements -----------------------------------------------------------

const sql::RestoreStatement& OnlyRestore(
    const std::variant<std::vector<sql::ParsedStatement>, sql::SyntaxError>& parsed) {
    const auto& list = std::get<std::vector<sql::ParsedStatement>>(parsed);
    EXPECT_EQ(list.size(), 1u);
    return std::get<sql::RestoreStatement>(list.at(0).statement);
}

TEST(SqlParser, TheInstallersRestoreStatement) {
    const auto parsed = sql::ParseBatch(
        "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak' WITH MOVE "
        "'Quillorant' to 'C:\\MSSQL\\Data\\Quillorant.mdf', MOVE 'Quillorant_log' to "
        "'C:\\MSSQL\\Data\\Quillorant_log.ldf'");
    const auto& r = OnlyRestore(parsed);
    EXPECT_EQ(r.database, "Quillorant");
    EXPECT_EQ(r.disk, "D:\\Setup\\Quillorant.Bak");
    ASSERT_EQ(r.moves.size(), 2u);
    EXPECT_EQ(r.moves[1].first, "Quillorant_log");
    EXPECT_EQ(r.moves[1].second, "C:\\MSSQL\\Data\\Quillorant_log.ldf");
    EXPECT_FALSE(r.replace);
}

TEST(SqlParser, QuotingCommentsAndOptions) {
    const auto parsed = sql::ParseBatch(
        "/* a /* nested */ comment */ restore database [My ]]Db] -- trailing\n"
        "from disk = N'D:\\L''Atelier\\x.bak' with replace, stats = 5, recovery, nounload,\n"
        "move 'a' to 'D:\\L''Atelier\\a.mdf'");
    const auto& r = OnlyRestore(parsed);
    EXPECT_EQ(r.database, "My ]Db");
    EXPECT_EQ(r.disk, "D:\\L'Atelier\\x.bak");
    EXPECT_TRUE(r.replace);
    EXPECT_EQ(r.stats, 5);
    EXPECT_EQ(r.moves.at(0).second, "D:\\L'Atelier\\a.mdf");
}

TEST(SqlParser, SeveralStatementsWithTheirLines) {
    const auto parsed = sql::ParseBatch(
        "SET ANSI_NULLS ON SET TEXTSIZE 4096;\nUSE \"master\";;\n\nselect @@version, 1 AS one");
    const auto& list = std::get<std::vector<sql::ParsedStatement>>(parsed);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_TRUE(std::holds_alternative<sql::SetStatement>(list[1].statement));
    EXPECT_EQ(std::get<sql::UseStatement>(list[2].statement).name, "master");
    EXPECT_EQ(list[2].line, 2);
    EXPECT_EQ(list[3].line, 4);
    const auto& select = std::get<sql::SelectStatement>(list[3].statement);
    ASSERT_EQ(select.items.size(), 2u);
    EXPECT_EQ(select.items[1].alias, "one");
}

TEST(SqlParser, CreateDatabaseWithFiles) {
    const auto parsed = sql::ParseBatch(
        "CREATE DATABASE Shop ON PRIMARY (NAME = Shop_data, FILENAME = 'C:\\D\\shop.mdf', SIZE = "
        "3MB, FILEGROWTH = 10%) LOG ON (NAME = 'Shop_log', FILENAME = 'C:\\D\\shop.ldf', SIZE = "
        "512KB)");
    const auto& list = std::get<std::vector<sql::ParsedStatement>>(parsed);
    const auto& c = std::get<sql::CreateDatabaseStatement>(list.at(0).statement);
    ASSERT_EQ(c.data.size(), 1u);
    EXPECT_EQ(c.data[0].logical, "Shop_data");
    EXPECT_EQ(c.data[0].size, 3u * 1024 * 1024);
    ASSERT_EQ(c.log.size(), 1u);
    EXPECT_EQ(c.log[0].path, "C:\\D\\shop.ldf");
    EXPECT_EQ(c.log[0].size, 512u * 1024);
}

TEST(SqlParser, ErrorsAsSqlServerWordsThem) {
    struct Case {
        const char* batch;
        std::vector<int> numbers;
        const char* firstText;
        int line;
    };
    const Case cases[] = {
        {"SELEC 1", {102}, "Incorrect syntax near 'SELEC'.", 1},
        {"RESTORE DATABASE", {102}, "Incorrect syntax near 'DATABASE'.", 1},
        {"set nocount on\nRESTORE DATABASE x FROM TAPE = 'x'",
         {102},
         "Incorrect syntax near 'TAPE'.",
         2},
        {"select 'abc", {105, 102}, "Unclosed quotation mark after the character string 'abc'.", 1},
        {"/* never closed", {113}, "Missing end comment mark '*/'.", 1},
        {"RESTORE DATABASE x FROM DISK = 'a' WITH NORECOVERY",
         {102},
         "Incorrect syntax near 'NORECOVERY'.",
         1},
        {"DROP TABLE t", {102}, "Incorrect syntax near 'TABLE'.", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.batch);
        const auto parsed = sql::ParseBatch(c.batch);
        ASSERT_TRUE(std::holds_alternative<sql::SyntaxError>(parsed));
        const auto& e = std::get<sql::SyntaxError>(parsed);
        std::vector<int> numbers;
        for (const auto& m : e.messages) {
            numbers.push_back(m.number);
            EXPECT_EQ(m.severity, 15);
        }
        EXPECT_EQ(numbers, c.numbers);
        EXPECT_EQ(e.messages.at(0).text, c.firstText);
        EXPECT_EQ(e.messages.at(0).line, c.line);
    }
}

// ---- catalogue ------------------------------------------------------------

TEST(CatalogueText, RoundTripsAwkwardNamesAndRefusesDamage) {
    Database db{"Tab\there", {}, {}, false};
    db.family[3] = 0xAB;
    db.files.push_back({"L\\name", false, "C:\\Data\\t\\x.mdf", 123});
    db.files.push_back({"log\nline", true, "D:\\L'Atelier\\x.ldf", 0});
    const std::string text = Catalogue::Encode({db});
    const auto back = Catalogue::Decode(text);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].name, db.name);
    EXPECT_EQ(back[0].family, db.family);
    ASSERT_EQ(back[0].files.size(), 2u);
    EXPECT_EQ(back[0].files[0].logical, "L\\name");
    EXPECT_EQ(back[0].files[0].path, "C:\\Data\\t\\x.mdf");
    EXPECT_EQ(back[0].files[1].logical, "log\nline");
    EXPECT_TRUE(back[0].files[1].log);

    for (const std::string& bad :
         {std::string("not a catalogue\n"), text + "file\tdata\tx\tC:\\x\tabc\n",
          text + "unknown line\n",
          std::string("mssql-emulator catalogue 1\nfile\tdata\ta\tb\t1\n")}) {
        EXPECT_THROW(Catalogue::Decode(bad), platform::Exception) << bad;
    }
}

TEST(CatalogueFile, KeepsSystemDatabasesAndSurvivesReload) {
    testsupport::TempWorkstation ws;
    const auto file = ws.Root() / "catalogue.txt";
    {
        Catalogue c(file);
        EXPECT_NE(c.Find("MASTER"), nullptr);
        EXPECT_NE(c.Find("msdb"), nullptr);
        c.Put(Database{"Shop", {}, {{"Shop", false, "C:\\Shop.mdf", 10}}, false});
    }
    Catalogue again(file);
    ASSERT_NE(again.Find("shop"), nullptr);
    EXPECT_EQ(again.OwnerOf("c:\\SHOP.MDF")->name, "Shop");
    again.Remove("SHOP");
    EXPECT_EQ(Catalogue(file).Find("Shop"), nullptr);
}

// ---- backup files ---------------------------------------------------------

class BackupFormat : public ::testing::Test {
  protected:
    void SetUp() override {
        header_.database = "Quillorant";
        header_.family[0] = 1;
        header_.files = {{"Quillorant", false, "C:\\Data\\Q.mdf", 5000000},
                         {"Quillorant_log", true, "C:\\Data\\Q_log.ldf", 7}};
        contents_ = {std::string(5000000, '\0'), "logdata"};
        std::mt19937 rng(11);
        for (auto& c : contents_[0]) {
            c = static_cast<char>(rng());
        }
        for (std::size_t i = 0; i < 2; ++i) {
            sources_.push_back(ws_.Root() / ("src" + std::to_string(i)));
            ws_.WriteFile(sources_[i], contents_[i]);
        }
        backup_ = ws_.Root() / "q.bak";
        PendingFile out(backup_);
        BackupWriter writer(out, header_);
        for (const auto& s : sources_) {
            InputFile in(s);
            ASSERT_TRUE(writer.CopyFile(in, [](const char*, std::size_t) { return true; }));
        }
        writer.Finish();
        out.Sync();
        out.Commit();
    }

    // Reads the whole backup; the error kind when it fails.
    std::optional<BackupError::Kind> ReadAll(std::vector<std::string>* got = nullptr) {
        try {
            BackupReader reader(backup_);
            EXPECT_EQ(reader.Header().database, "Quillorant");
            for (std::size_t i = 0; i < reader.Header().files.size(); ++i) {
                std::string content;
                reader.CopyNextFile([&](const char* d, std::size_t n) {
                    content.append(d, n);
                    return true;
                });
                if (got != nullptr) {
                    got->push_back(content);
                }
            }
            reader.Finish();
        } catch (const BackupError& e) {
            return e.kind;
        }
        return std::nullopt;
    }

    void Rewrite(const std::function<void(std::string&)>& change) {
        std::string bytes = testsupport::ReadFile(backup_);
        change(bytes);
        ws_.WriteFile(backup_, bytes);
    }

    testsupport::TempWorkstation ws_;
    BackupHeader header_;
    std::vector<std::string> contents_;
    std::vector<std::filesystem::path> sources_;
    std::filesystem::path backup_;
};

TEST_F(BackupFormat, RoundTripsTheFiles) {
    std::vector<std::string> got;
    EXPECT_EQ(ReadAll(&got), std::nullopt);
    EXPECT_EQ(got, contents_);
    BackupReader reader(backup_);
    EXPECT_EQ(reader.Header().files[1].originalPath, "C:\\Data\\Q_log.ldf");
    EXPECT_TRUE(reader.Header().files[1].log);
    EXPECT_EQ(reader.Header().family, header_.family);
}

TEST_F(BackupFormat, RefusesDamagedCopies) {
    const std::size_t prologue = EncodeBackupPrologue(header_).size();
    struct Case {
        const char* what;
        std::function<void(std::string&)> change;
        BackupError::Kind kind;
    };
    const Case cases[] = {
        {"truncated in the data", [](std::string& b) { b.resize(b.size() / 2); },
         BackupError::Kind::Truncated},
        {"one byte short", [](std::string& b) { b.pop_back(); }, BackupError::Kind::Truncated},
        {"a byte appended", [](std::string& b) { b.push_back('x'); }, BackupError::Kind::Malformed},
        {"a data byte flipped", [&](std::string& b) { b[prologue + 4242] ^= 1; },
         BackupError::Kind::Damaged},
        {"a header byte flipped", [](std::string& b) { b[20] ^= 0x40; },
         BackupError::Kind::Malformed},
        {"the trailer damaged", [](std::string& b) { b[b.size() - 2] ^= 1; },
         BackupError::Kind::Damaged},
        {"not a backup", [](std::string& b) { b = "just some text\n"; },
         BackupError::Kind::Malformed},
        {"empty", [](std::string& b) { b.clear(); }, BackupError::Kind::Malformed},
    };
    const std::string good = testsupport::ReadFile(backup_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ws_.WriteFile(backup_, good);
        Rewrite(c.change);
        EXPECT_EQ(ReadAll(), c.kind);
    }
}

TEST_F(BackupFormat, MissingFileIsAnOpenErrorWithTheWindowsCode) {
    std::filesystem::remove(backup_);
    try {
        BackupReader reader(backup_);
        FAIL() << "opened a missing file";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind, BackupError::Kind::Open);
        EXPECT_EQ(e.os.code, 2);
    }
}

TEST(PendingFileTest, LeavesNothingUnlessCommitted) {
    testsupport::TempWorkstation ws;
    const auto target = ws.Root() / "out.bin";
    {
        PendingFile f(target);
        f.Write("abc", 3);
    }
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ws.Root()),
                            std::filesystem::directory_iterator()),
              2);  // drives and registry only
}

// ---- SSRP -----------------------------------------------------------------

TEST(SsrpAnswerTest, AnswersOnlyWellFormedRequestsForItsInstance) {
    const BrowserInfo info{"PC01", "QUILL", 14330};
    const std::string expected =
        "ServerName;PC01;InstanceName;QUILL;IsClustered;No;Version;16.0.1000.6;tcp;14330;;";
    const std::string answer = SsrpAnswer("\x03", info);
    ASSERT_EQ(answer.size(), expected.size() + 3);
    EXPECT_EQ(answer[0], 0x05);
    EXPECT_EQ(static_cast<unsigned char>(answer[1]) | (static_cast<unsigned char>(answer[2]) << 8),
              static_cast<int>(expected.size()));
    EXPECT_EQ(answer.substr(3), expected);
    EXPECT_EQ(SsrpAnswer("\x02", info), answer);
    EXPECT_EQ(SsrpAnswer(std::string("\x04quill\0", 7), info), answer);

    for (const std::string& silent :
         {std::string(), std::string("\x03\x00", 2), std::string("\x04QUILL", 6),
          std::string("\x04OTHER\0", 7), std::string("\x04\0", 2),
          std::string("\x05\x01QUILL\0", 8), std::string("\x04QU\0LL\0", 7),
          "\x04" + std::string(40, 'A') + std::string(1, '\0'), std::string("\x01")}) {
        EXPECT_EQ(SsrpAnswer(silent, info), "") << testing::PrintToString(silent);
    }
}

TEST(EndpointTest, HostDefaultsToLoopback) {
    EXPECT_EQ(ntohs(ParseEndpoint("1433").sin_port), 1433);
    EXPECT_EQ(ntohl(ParseEndpoint(":99").sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohl(ParseEndpoint("localhost:5").sin_addr.s_addr), 0x7F000001u);
    for (const char* bad : {"", "abc", "1.2.3:4", "127.0.0.1:", "127.0.0.1:70000", "x:1"}) {
        EXPECT_THROW(ParseEndpoint(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
