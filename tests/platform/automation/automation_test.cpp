// Automation objects created through the workstation's registry, called late
// bound, and their variants converted as the class library converts them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/library.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "tests/support/build_paths.h"
#include "tests/support/temp_workstation.h"

namespace {

using namespace platform;

constexpr const char* kProbeClsidText = "{A11CE000-0001-4000-8000-000000000001}";

std::filesystem::path Library(const char* name) {
    return testsupport::BuildLibrary(name);
}

// A library's Windows path as a .reg text holds it, backslashes doubled.
AnsiString RegText(const char* library) {
    AnsiString escaped;
    for (char c : WindowsPath(Library(library))) {
        escaped += c == '\\' ? AnsiString("\\\\") : AnsiString(1, c);
    }
    return escaped;
}

CLSID ProbeClsid() {
    CLSID c;
    EXPECT_EQ(CLSIDFromString(kProbeClsidText, &c), S_OK);
    return c;
}

// The probe library's own counters, through the platform's loader.
int ProbeCounter(const char* name) {
    HMODULE m = LoadLibraryA(WindowsPath(Library("automation_probe.dll")).c_str());
    EXPECT_NE(m, nullptr);
    auto f = reinterpret_cast<int (*)()>(GetProcAddress(m, name));
    EXPECT_NE(f, nullptr);
    const int value = f != nullptr ? f() : -1;
    FreeLibrary(m);
    return value;
}

class Automation : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        RegisterComponent("Quill.Probe", ProbeClsid(),
                          WindowsPath(Library("automation_probe.dll")));
    }
    void TearDown() override {
        CoUninitialize();
        EXPECT_EQ(ProbeCounter("ProbeLiveObjects"), 0) << "an object was not released";
    }
    void Import(const std::string& reg) const { Hive().Import("REGEDIT4\r\n\r\n" + reg + "\r\n"); }

    testsupport::TempWorkstation ws;
};

TEST(Guid, ReadsAndWritesTheRegistryForm) {
    CLSID c;
    ASSERT_EQ(CLSIDFromString("{10020100-e260-11cf-AE68-00aa004a34d5}", &c), S_OK);
    EXPECT_EQ(c.Data1, 0x10020100u);
    EXPECT_EQ(c.Data4[7], 0xD5);
    EXPECT_EQ(GUIDToString(c), "{10020100-E260-11CF-AE68-00AA004A34D5}");
    for (const char* bad :
         {"", "10020100-E260-11CF-AE68-00AA004A34D5", "{10020100-E260-11CF-AE68-00AA004A34D}",
          "{10020100-E260-11CF-AE68-00AA004A34DG}", "{10020100+E260-11CF-AE68-00AA004A34D5}",
          "{10020100-E260-11CF-AE68-00AA004A34D5}x"}) {
        EXPECT_EQ(CLSIDFromString(bad, &c), CO_E_CLASSSTRING) << bad;
    }
}

TEST(Variant, CopiesOwnTheirTextsAndClearingEmpties) {
    OleVariant a(AnsiString("caf\xE9\0x", 6));
    OleVariant b = a;
    ASSERT_EQ(b.Type(), VT_BSTR);
    EXPECT_NE(a.Raw().bstrVal, b.Raw().bstrVal);
    EXPECT_EQ(VarToStr(b), AnsiString("caf\xE9\0x", 6));
    a = OleVariant(7);
    EXPECT_EQ(VarToStr(b), AnsiString("caf\xE9\0x", 6));
    OleVariant moved = std::move(b);
    EXPECT_EQ(b.Type(), VT_EMPTY);
    EXPECT_EQ(SysStringLen(moved.Raw().bstrVal), 6u);
}

TEST(Variant, ConvertsToTextAsTheClassLibraryDoes) {
    struct Row {
        OleVariant value;
        AnsiString text;
    } rows[] = {
        {OleVariant(), ""},
        {OleVariant::Null(), ""},
        {OleVariant(0), "0"},
        {OleVariant(-2147483647 - 1), "-2147483648"},
        {OleVariant(true), "True"},
        {OleVariant(false), "False"},
        {OleVariant("SRV\\INST"), "SRV\\INST"},
        {OleVariant(""), ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(VarToStr(row.value), row.text) << VarTypeName(row.value.Type());
    }
    VARIANT error;
    error.vt = VT_ERROR;
    error.scode = E_FAIL;
    try {
        VarToStr(OleVariant::Take(error));
        FAIL() << "converted";
    } catch (const EVariantTypeCastError& e) {
        EXPECT_EQ(e.Message(),
                  "Impossible de convertir un variant de type (Error) en type (String)");
    }
}

TEST(Variant, ConvertsToIntegerAsTheClassLibraryDoes) {
    struct Row {
        OleVariant value;
        std::int32_t number;
    } rows[] = {{OleVariant(), 0},      {OleVariant(12), 12},     {OleVariant(true), -1},
                {OleVariant(false), 0}, {OleVariant(" 42 "), 42}, {OleVariant("-7"), -7}};
    for (const Row& row : rows) {
        EXPECT_EQ(VarToInteger(row.value), row.number) << VarTypeName(row.value.Type());
    }
    for (const char* text : {"", "x", "1.5", "99999999999", "12abc"}) {
        EXPECT_THROW(VarToInteger(OleVariant(text)), EVariantTypeCastError) << text;
    }
    EXPECT_THROW(VarToInteger(OleVariant::Null()), EVariantTypeCastError);
}

TEST_F(Automation, CreatesAndCallsLateBound) {
    const OleVariant probe = CreateOleObject("Quill.Probe");
    ASSERT_EQ(probe.Type(), VT_DISPATCH);
    // Names are found without regard to case; arguments arrive in order.
    EXPECT_EQ(VarToStr(DispatchInvoke(probe, "echo", DISPATCH_METHOD,
                                      {OleVariant("a"), OleVariant(5), OleVariant(true)})),
              "8:a,3:5,11:-1");
    EXPECT_EQ(VarToStr(DispatchInvoke(probe, "ECHO", DISPATCH_METHOD)), "");
    EXPECT_EQ(VarToInteger(DispatchInvoke(probe, "Flags", DISPATCH_METHOD | DISPATCH_PROPERTYGET)),
              3);
    // An object converts to the text of its default member.
    const OleVariant self = DispatchInvoke(probe, "Self", DISPATCH_PROPERTYGET);
    EXPECT_EQ(self.Type(), VT_DISPATCH);
    EXPECT_EQ(VarToStr(self), "default text");
}

TEST_F(Automation, ResolvesTheNameBeforeEveryCall) {
    const OleVariant probe = CreateOleObject("Quill.Probe");
    const int before = ProbeCounter("ProbeNameLookups");
    for (int i = 0; i < 3; ++i) {
        DispatchInvoke(probe, "Flags", DISPATCH_PROPERTYGET);
    }
    EXPECT_EQ(ProbeCounter("ProbeNameLookups") - before, 3);
}

TEST_F(Automation, CallFailuresRaiseExceptionsWithTheirText) {
    const OleVariant probe = CreateOleObject("Quill.Probe");
    try {
        DispatchInvoke(probe, "Missing", DISPATCH_METHOD);
        FAIL() << "no error";
    } catch (const EOleError& e) {
        EXPECT_EQ(e.Message(),
                  "La m\xE9thode 'Missing' n'est pas support\xE9\x65 par l'objet automation");
    }
    try {
        DispatchInvoke(probe, "Fail", DISPATCH_METHOD);
        FAIL() << "no error";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.Message(), "probe failed");
        EXPECT_EQ(e.Source(), "Probe source");
    }
    EXPECT_THROW(DispatchInvoke(OleVariant(3), "Echo", DISPATCH_METHOD), EVariantError);
    EXPECT_THROW(DispatchInvoke(OleVariant(), "Echo", DISPATCH_METHOD), EVariantError);
}

TEST_F(Automation, EveryCreationFailureNamesItsCause) {
    const AnsiString classKey = AnsiString("[HKEY_CLASSES_ROOT\\CLSID\\") + kProbeClsidText;
    struct Row {
        const char* what;
        std::string reg;
        HRESULT code;
        std::function<void()> prepare;
    } rows[] = {
        {"ProgID not registered", "[-HKEY_CLASSES_ROOT\\Quill.Probe]", CO_E_CLASSSTRING, nullptr},
        {"ProgID without a class identifier",
         "[HKEY_CLASSES_ROOT\\Quill.Probe\\CLSID]\r\n@=\"not-a-guid\"", CO_E_CLASSSTRING, nullptr},
        {"class not registered", "[-" + classKey.substr(1) + "]", REGDB_E_CLASSNOTREG, nullptr},
        {"no in-process server", "[-" + classKey.substr(1) + "\\InprocServer32]",
         REGDB_E_CLASSNOTREG, nullptr},
        {"library missing", classKey + "\\InprocServer32]\r\n@=\"C:\\\\none\\\\probe.dll\"",
         HRESULT_MOD_NOT_FOUND, nullptr},
        {"library empty", classKey + "\\InprocServer32]\r\n@=\"\"", HRESULT_MOD_NOT_FOUND, nullptr},
        {"not a shared object", classKey + "\\InprocServer32]\r\n@=\"C:\\\\notalib.dll\"",
         Hr(0x800700C1), nullptr},
        {"no class factory",
         classKey + "\\InprocServer32]\r\n@=\"" + RegText("automation_no_factory.dll") + "\"",
         CO_E_ERRORINDLL, nullptr},
        {"another class of the library",
         "[HKEY_CLASSES_ROOT\\Quill.Probe\\CLSID]\r\n@=\"{A11CE000-0001-4000-8000-000000000002}"
         "\"\r\n"
         "[HKEY_CLASSES_ROOT\\CLSID\\{A11CE000-0001-4000-8000-000000000002}\\InprocServer32]\r\n"
         "@=\"" +
             RegText("automation_probe.dll") + "\"",
         CLASS_E_CLASSNOTAVAILABLE, nullptr},
        {"COM not initialised", "", CO_E_NOTINITIALIZED, [] { CoUninitialize(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        testsupport::TempWorkstation fresh;
        fresh.WriteFile(fresh.Drive('c') / "notalib.dll", "MZ not an ELF file");
        RegisterComponent("Quill.Probe", ProbeClsid(),
                          WindowsPath(Library("automation_probe.dll")));
        if (!row.reg.empty()) {
            Import(row.reg);
        }
        if (row.prepare) {
            row.prepare();
        }
        try {
            CreateOleObject("Quill.Probe");
            ADD_FAILURE() << "created";
        } catch (const EOleSysError& e) {
            EXPECT_EQ(e.ErrorCode(), row.code) << e.Message();
            EXPECT_NE(e.Message().find("Quill.Probe"), AnsiString::npos) << e.Message();
        }
        if (row.prepare) {
            CoInitialize(nullptr);
        }
    }
}

TEST_F(Automation, RegistrationWritesTheThreeKeysAndUnregistrationRemovesThem) {
    const auto value = [](const AnsiString& key, const AnsiString& name = "") {
        const auto v = QueryValue(HKEY_CLASSES_ROOT, key, name);
        return v ? v->Text().value_or("?") : AnsiString("<none>");
    };
    RegisterComponent("Quill.Other", ProbeClsid(), "probe.dll");
    EXPECT_EQ(value("Quill.Other\\CLSID"), kProbeClsidText);
    EXPECT_EQ(value(AnsiString("CLSID\\") + kProbeClsidText + "\\ProgID"), "Quill.Other");
    EXPECT_EQ(value(AnsiString("CLSID\\") + kProbeClsidText + "\\InprocServer32"), "probe.dll");
    EXPECT_EQ(value(AnsiString("CLSID\\") + kProbeClsidText + "\\InprocServer32", "ThreadingModel"),
              "Apartment");

    const std::string before = Hive().Export();
    for (const char* bad : {"", "Bad\\Name", "1Starts.WithDigit", "With Space",
                            "A.Very.Long.Identifier.Of.More.Than.39.Chars"}) {
        EXPECT_THROW(RegisterComponent(bad, ProbeClsid(), "probe.dll"), Exception) << bad;
    }
    EXPECT_THROW(RegisterComponent("Quill.Ok", ProbeClsid(), ""), Exception);
    EXPECT_EQ(Hive().Export(), before);

    EXPECT_TRUE(UnregisterComponent("quill.other"));
    EXPECT_EQ(value("Quill.Other\\CLSID"), "<none>");
    EXPECT_EQ(value(AnsiString("CLSID\\") + kProbeClsidText + "\\InprocServer32"), "<none>");
    EXPECT_FALSE(UnregisterComponent("Quill.Other"));
}

// The workstation tool's regsvr32-like commands.
TEST(WorkstationTool, RegistersAndUnregistersAComponent) {
    testsupport::TempWorkstation ws;
    const auto run = [&](const std::string& args) {
        const std::string cmd = (testsupport::BuildBinDir() / "workstation").string() +
                                " --workstation '" + ws.Root().string() + "' " + args +
                                " 2>/dev/null";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string lib = Library("automation_probe.dll").string();
    EXPECT_EQ(run("com register Quill.Probe '" + std::string(kProbeClsidText) + "' '" + lib + "'"),
              0);
    const auto server = QueryValue(
        HKEY_CLASSES_ROOT, AnsiString("CLSID\\") + kProbeClsidText + "\\InprocServer32", "");
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(server->Text(), WindowsPath(Library("automation_probe.dll")));
    {
        CoInitialize(nullptr);
        const OleVariant probe = CreateOleObject("Quill.Probe");
        EXPECT_EQ(VarToStr(probe), "default text");
        CoUninitialize();
    }

    const std::string before = Hive().Export();
    EXPECT_EQ(run("com register Quill.Probe not-a-guid '" + lib + "'"), 1);
    EXPECT_EQ(run("com register Quill.Probe '" + std::string(kProbeClsidText) + "' /no/such.dll"),
              1);
    EXPECT_EQ(run("com register 'Bad Name' '" + std::string(kProbeClsidText) + "' '" + lib + "'"),
              1);
    EXPECT_EQ(run("com register Quill.Probe"), 2);
    EXPECT_EQ(run("com frobnicate"), 2);
    EXPECT_EQ(Hive().Export(), before);

    EXPECT_EQ(run("com unregister Quill.Probe"), 0);
    EXPECT_FALSE(QueryValue(HKEY_CLASSES_ROOT, "Quill.Probe\\CLSID", "").has_value());
    EXPECT_EQ(run("com unregister Quill.Probe"), 1);
}

}  // namespace
