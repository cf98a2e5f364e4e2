// Server names and connection strings of the MSSQL driver: where a name
// leads, and that no value can add an attribute.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/mssql_driver.h"
#include "platform/registry.h"
#include "tests/support/temp_workstation.h"

namespace {

using engine::EDatabaseError;
using engine::mssql::ServerAddress;

constexpr const char* kConnectTo = "SOFTWARE\\Microsoft\\MSSQLServer\\Client\\ConnectTo";

TEST(ServerName, ResolvesAsTheClientToolsDo) {
    testsupport::TempWorkstation ws;
    platform::SetValue(platform::HKEY_LOCAL_MACHINE, kConnectTo,
                       platform::RegValue::String("POSTE-DEMO", "DBMSSOCN,127.0.0.1,14333"));
    platform::SetValue(platform::HKEY_LOCAL_MACHINE, kConnectTo,
                       platform::RegValue::String("POSTE-DEMO\\COMPTA", "DBMSSOCN,10.0.0.5"));
    platform::SetValue(platform::HKEY_LOCAL_MACHINE, kConnectTo,
                       platform::RegValue::String("PIPES", "DBNMPNTW,\\\\srv\\pipe\\sql\\query"));
    const struct {
        const char* name;
        ServerAddress expected;
    } cases[] = {
        {"SRV01", {"SRV01", 0, ""}},
        {"SRV01\\COMPTA", {"SRV01", 0, "COMPTA"}},
        {"srv01,1500", {"srv01", 1500, ""}},
        {"tcp:srv01, 1500", {"srv01", 1500, ""}},
        {"(local)", {"127.0.0.1", 0, ""}},
        {".\\SQLEXPRESS", {"127.0.0.1", 0, "SQLEXPRESS"}},
        {"poste-demo", {"127.0.0.1", 14333, ""}},
        {"POSTE-DEMO\\compta", {"10.0.0.5", 0, ""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(engine::mssql::ResolveServerName(c.name), c.expected) << c.name;
    }
    for (const char* bad :
         {"", "  ", "srv,0", "srv,70000", "srv,12a", "srv\\", "\\inst", "PIPES"}) {
        EXPECT_THROW(engine::mssql::ResolveServerName(bad), EDatabaseError) << bad;
    }
}

TEST(ConnectionString, QuotesEveryValue) {
    const struct {
        const char* value;
        const char* quoted;
    } cases[] = {
        {"", "{}"},       {"plain", "{plain}"}, {"a;b=c", "{a;b=c}"},
        {"}", "{}}}"},    {"{x}}", "{{x}}}}}"}, {"p;UID=admin;}", "{p;UID=admin;}}}"},
        {"'\"", "{'\"}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(engine::mssql::QuoteOdbcValue(c.value), c.quoted);
}

TEST(ConnectionString, FollowsTheDriverNamedInTheConfiguration) {
    engine::mssql::ConnectionSettings settings;
    settings.database = "Master";
    settings.user = "sa";
    settings.password = "x};UID=intruder";
    EXPECT_THROW(engine::mssql::ConnectionString({}, {"srv", 0, ""}, settings), EDatabaseError);
    settings.user = "sa";
    settings.password = "pa;ss}=";
    engine::DriverSettings freeTds;
    EXPECT_EQ(engine::mssql::ConnectionString(freeTds, {"127.0.0.1", 1433, ""}, settings),
              "DRIVER={FreeTDS};SERVER={127.0.0.1};PORT={1433};ClientCharset={CP1252};"
              "DATABASE={Master};UID={sa};PWD={pa;ss}=};APP={Quillorant SQL}");
    EXPECT_EQ(engine::mssql::ConnectionString(freeTds, {"srv", 0, "INST"}, settings).substr(0, 37),
              "DRIVER={FreeTDS};SERVER={srv\\INST};Cl");

    engine::DriverSettings microsoft{"ODBC Driver 18 for SQL Server", 15, "Encrypt=no"};
    EXPECT_EQ(engine::mssql::ConnectionString(microsoft, {"srv", 1500, ""}, settings),
              "DRIVER={ODBC Driver 18 for SQL Server};SERVER={tcp:srv,1500};DATABASE={Master};"
              "UID={sa};PWD={pa;ss}}=};APP={Quillorant SQL};Encrypt=no");
    EXPECT_EQ(
        engine::mssql::ConnectionString(microsoft, {"srv", 0, "INST"}, settings).substr(0, 60),
        "DRIVER={ODBC Driver 18 for SQL Server};SERVER={srv\\INST};DAT");
}

TEST(Database, PropertiesAndQueryChecksBeforeAnyConnection) {
    testsupport::TempWorkstation ws;
    engine::TDatabase db(nullptr);
    EXPECT_FALSE(db.Connected());
    db.SetDatabaseName("Quillorant_SQL");
    EXPECT_EQ(engine::TDatabase::Find("Default", "QUILLORANT_SQL"), &db);
    EXPECT_EQ(engine::TDatabase::Find("Other", "Quillorant_SQL"), nullptr);

    engine::TQuery query(nullptr);
    EXPECT_THROW(query.ExecSQL(), EDatabaseError);  // no statement
    query.SQL = {"SELECT 1"};
    EXPECT_THROW(query.ExecSQL(), EDatabaseError);  // no database name
    query.SetDatabaseName("Nowhere");
    EXPECT_THROW(query.ExecSQL(), EDatabaseError);  // no such component

    // The alias is unknown, and a line without '=' is refused before any
    // network work.
    db.SetAliasName("Quillorant_SQL");
    EXPECT_THROW(db.SetConnected(true), EDatabaseError);
    db.SetAliasName("");
    db.AddParam("SERVER NAME");
    EXPECT_THROW(db.SetConnected(true), EDatabaseError);
    db.ClearParams();
    db.AddParam("LANGDRIVER=ZZZZZZ");
    EXPECT_THROW(db.SetConnected(true), EDatabaseError);
    db.DriverName = "PARADOX";
    EXPECT_THROW(db.SetConnected(true), EDatabaseError);
    EXPECT_FALSE(db.Connected());
}

}  // namespace
