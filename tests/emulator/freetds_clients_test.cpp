// Third-party clients against the emulator: FreeTDS's tsql and bsqldb, and
// the FreeTDS ODBC driver through unixODBC, as the database engine uses it.
// Passwords go through stdin or the in-process connection string, never a
// command line.
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "tests/emulator/emulator_fixture.h"

namespace emulatortest {
namespace {

class FreeTdsTest : public EmulatorTest {
  public:
    void SetUp() override {
        EmulatorTest::SetUp();
        fs::create_directories(Host("D:\\") / "Setup");
        fs::create_directories(Host("C:\\") / "MSSQL" / "Data");
        conf_ = ws_.Root() / "freetds.conf";
        std::ofstream(conf_) << "[EMULATOR]\n\thost = 127.0.0.1\n\tport = " << emulator_->Port()
                             << "\n\ttds version = auto\n";
    }

    // Runs a FreeTDS tool with FREETDSCONF set and `input` on stdin; its
    // output (stdout and stderr) and exit status.
    std::pair<int, std::string> Tool(const std::vector<std::string>& args,
                                     const std::string& input) {
        const auto inFile = ws_.Root() / "tool.in";
        const auto outFile = ws_.Root() / "tool.out";
        std::ofstream(inFile) << input;
        const pid_t pid = fork();
        if (pid == 0) {
            freopen(inFile.c_str(), "r", stdin);
            freopen(outFile.c_str(), "w", stdout);
            dup2(1, 2);
            setenv("FREETDSCONF", conf_.c_str(), 1);
            std::vector<std::string> copy = args;
            std::vector<char*> argv;
            for (auto& a : copy) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::ReadFile(outFile)};
    }

    fs::path conf_;
};

TEST_F(FreeTdsTest, TsqlCreatesBacksUpDropsAndRestores) {
    const std::string script =
        "Emul-Sa-2026\n"
        "CREATE DATABASE Quillorant\ngo\n"
        "BACKUP DATABASE Quillorant TO DISK = 'D:\\Setup\\Quillorant.Bak'\ngo\n"
        "DROP DATABASE Quillorant\ngo\n"
        "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak' WITH MOVE "
        "'Quillorant' "
        "to 'C:\\MSSQL\\Data\\Quillorant.mdf', MOVE 'Quillorant_log' to "
        "'C:\\MSSQL\\Data\\Quillorant_log.ldf'\ngo\n"
        "SELECT name FROM sys.databases\ngo\nquit\n";
    const auto [status, out] = Tool({"tsql", "-S", "EMULATOR", "-U", "sa"}, script);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("BACKUP DATABASE successfully processed"), std::string::npos) << out;
    EXPECT_NE(out.find("RESTORE DATABASE successfully processed"), std::string::npos) << out;
    EXPECT_NE(out.find("Quillorant"), std::string::npos);
    EXPECT_TRUE(fs::exists(Host("D:\\Setup\\Quillorant.Bak")));
    EXPECT_TRUE(fs::exists(Host("C:\\MSSQL\\Data\\Quillorant.mdf")));
    EXPECT_TRUE(fs::exists(Host("C:\\MSSQL\\Data\\Quillorant_log.ldf")));
}

TEST_F(FreeTdsTest, TsqlWithAWrongPasswordIsRefused) {
    const auto [status, out] =
        Tool({"tsql", "-S", "EMULATOR", "-U", "sa"}, "not-it\nselect 1\ngo\n");
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("Login failed for user 'sa'."), std::string::npos) << out;
}

TEST_F(FreeTdsTest, BsqldbRunsAScript) {
    const auto sqlFile = ws_.Root() / "script.sql";
    std::ofstream(sqlFile) << "CREATE DATABASE Shop\n"
                              "BACKUP DATABASE Shop TO DISK = 'D:\\Setup\\Shop.bak' WITH INIT\n"
                              "select name from sys.databases\n";
    const auto [status, out] =
        Tool({"bsqldb", "-S", "EMULATOR", "-U", "sa", "-i", sqlFile.string()}, "Emul-Sa-2026\n");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Shop"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(Host("D:\\Setup\\Shop.bak")));
}

// The ODBC route: every diagnostic of every result, as an engine drains them.
struct OdbcOutcome {
    bool connected = false;
    std::vector<std::string> messages;
};

OdbcOutcome Odbc(const std::string& connection, const std::string& statement) {
    OdbcOutcome o;
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    auto collect = [&](SQLSMALLINT type, SQLHANDLE h) {
        SQLCHAR state[6];
        SQLCHAR text[2048];
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        for (SQLSMALLINT i = 1;
             SQLGetDiagRec(type, h, i, state, &native, text, sizeof text, &length) == SQL_SUCCESS;
             ++i) {
            o.messages.emplace_back(reinterpret_cast<char*>(text));
        }
    };
    SQLRETURN rc = SQLDriverConnect(
        dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str())), SQL_NTS,
        nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    collect(SQL_HANDLE_DBC, dbc);
    if (SQL_SUCCEEDED(rc)) {
        o.connected = true;
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
        rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(statement.c_str())),
                           SQL_NTS);
        collect(SQL_HANDLE_STMT, stmt);
        while (rc != SQL_NO_DATA && rc != SQL_INVALID_HANDLE) {
            rc = SQLMoreResults(stmt);
            collect(SQL_HANDLE_STMT, stmt);
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return o;
}

bool Mentions(const OdbcOutcome& o, const std::string& text) {
    for (const auto& m : o.messages) {
        if (m.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(FreeTdsTest, OdbcRestoreAndItsFailures) {
    ASSERT_EQ(Numbers(Sql("CREATE DATABASE Quillorant; BACKUP DATABASE Quillorant TO DISK = "
                          "'D:\\Setup\\Quillorant.Bak'; DROP DATABASE Quillorant")),
              (std::vector<int>{4035, 4035, 3014}));
    const std::string restore =
        "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\Quillorant.Bak' WITH MOVE "
        "'Quillorant' "
        "to 'C:\\MSSQL\\Data\\Quillorant.mdf', MOVE 'Quillorant_log' to "
        "'C:\\MSSQL\\Data\\Quillorant_log.ldf'";
    for (const char* version : {"7.4", "auto"}) {
        SCOPED_TRACE(version);
        const std::string base =
            "DRIVER=FreeTDS;SERVER=127.0.0.1;PORT=" + std::to_string(emulator_->Port()) +
            ";DATABASE=Master;TDS_Version=" + version + ";UID=sa;";
        const auto wrong = Odbc(base + "PWD={nope};", "SELECT 1");
        EXPECT_FALSE(wrong.connected);
        EXPECT_TRUE(Mentions(wrong, "Login failed for user 'sa'."));

        const auto missing = Odbc(base + "PWD={Emul-Sa-2026};",
                                  "RESTORE DATABASE Quillorant FROM DISK = 'D:\\Setup\\None.Bak'");
        EXPECT_TRUE(missing.connected);
        EXPECT_TRUE(Mentions(missing, "Cannot open backup device 'D:\\Setup\\None.Bak'."));
        EXPECT_TRUE(Mentions(missing, "RESTORE DATABASE is terminating abnormally."));

        const auto done = Odbc(base + "PWD={Emul-Sa-2026};", restore + " , REPLACE");
        EXPECT_TRUE(done.connected);
        EXPECT_TRUE(Mentions(done, "RESTORE DATABASE successfully processed"))
            << testing::PrintToString(done.messages);
        EXPECT_TRUE(fs::exists(Host("C:\\MSSQL\\Data\\Quillorant.mdf")));
        EXPECT_TRUE(fs::exists(Host("C:\\MSSQL\\Data\\Quillorant_log.ldf")));
    }
}

}  // namespace
}  // namespace emulatortest
