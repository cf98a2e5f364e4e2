// The application-level handler, the titles and the display of texts, as a
// person would see them through the recording services.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/application.h"
#include "platform/component.h"
#include "platform/qt_text.h"
#include "platform/testing/recording_application.h"

using namespace platform;
using platform::testing::RecordingApplication;
using platform::testing::Shown;

TEST(Application, TitleIsTheExecutableNameCutAtItsFirstDot) {
    struct Row {
        const char* exe;
        const char* title;
    } rows[] = {
        {"C:\\Setup\\Setup.exe", "Setup"},
        {"C:\\Setup\\SETUP.EXE", "Setup"},
        {"C:\\Setup\\quillorant-setup", "quillorant-setup"},
        {"Z:\\work\\build\\bin\\Quillorant.Install.exe", "Quillorant"},
        {"D:\\\xC9TAPE.exe", "\xC9tape"},  // ÉTAPE.exe
        {"D:\\A\xC9\xC8.exe", "A\xE9\xE8"},
        {"D:\\x", "x"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ApplicationTitle(row.exe), row.title) << row.exe;
    }
}

TEST(Application, HandlerShowsEscapedErrorsAndIgnoresTheSilentAbort) {
    RecordingApplication app("C:\\Setup\\Setup.exe");
    app.Guarded([] {
        throw Exception(
            "Type de donn\xE9"
            "es incorrect pour 'Path'");
    });
    app.Guarded([] { throw EAbort(); });
    app.Guarded([] { throw std::runtime_error("out of range"); });
    app.Guarded([] { throw 42; });
    bool ran = false;
    app.Guarded([&] { ran = true; });
    EXPECT_TRUE(ran);
    const std::vector<Shown> expected = {
        {"error-box", "Setup",
         "Type de donn\xE9"
         "es incorrect pour 'Path'"},
        {"error-box", "Setup", "out of range"},
        {"error-box", "Setup", "Exception de classe inconnue."},
    };
    EXPECT_EQ(app.Log(), expected);
}

TEST(Application, DialogsCarryTheTitlesOfTheirKind) {
    RecordingApplication app("C:\\Setup\\Setup.exe");
    app.MessageDlg("w", mtWarning);
    app.MessageDlg("e", mtError);
    app.MessageDlg("i", mtInformation);
    app.MessageBox("Erreur : x");
    app.MessageBeep(MB_SIMPLEBEEP);
    const std::vector<Shown> expected = {{"warning", "Avertissement", "w"},
                                         {"error", "Erreur", "e"},
                                         {"information", "Information", "i"},
                                         {"box", "Setup", "Erreur : x"},
                                         {"beep", "", "-1"}};
    EXPECT_EQ(app.Log(), expected);
}

TEST(Application, StandInProcessEndUnwindsTheHandlerOnly) {
    RecordingApplication app;
    bool after = false;
    app.Guarded([&] {
        app.MessageDlg("Veuillez r\xE9installer Quillorant SQL.", mtWarning);
        app.Halt();
        after = true;
    });
    EXPECT_FALSE(after);
    EXPECT_TRUE(app.Halted());
    ASSERT_EQ(app.Log().size(), 2u);
    EXPECT_EQ(app.Log()[1].what, "halt");
    // Not an Exception: no guarded step of the program can swallow it.
    EXPECT_THROW(
        try { app.Halt(); } catch (const Exception&){}, ProcessHalt);
}

TEST(Application, LoneCarriageReturnsAreLineBreaks) {
    EXPECT_EQ(ToDisplayText("a\rb\r\rc"), QStringLiteral("a\nb\n\nc"));
    EXPECT_EQ(ToDisplayText("a\r\nb"), QStringLiteral("a\nb"));
    EXPECT_EQ(ToDisplayText("r\xE9installer"), QString::fromUtf8("réinstaller"));
    EXPECT_EQ(FromQString(QString::fromUtf8("Ωé")), "?\xE9");
}

namespace {
struct Probe : TComponent {
    Probe(TComponent* owner, int* destroyed) : TComponent(owner), destroyed_(destroyed) {}
    ~Probe() override { ++*destroyed_; }
    int* destroyed_;
};
}  // namespace

TEST(Component, OwnerListsAndDestroysItsComponents) {
    int destroyed = 0;
    auto* owner = new TComponent(nullptr);
    auto* a = new Probe(owner, &destroyed);
    auto* b = new Probe(owner, &destroyed);
    ASSERT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(owner->Components(0), a);
    EXPECT_EQ(owner->Components(1), b);
    delete a;  // leaves the list
    ASSERT_EQ(owner->ComponentCount(), 1);
    EXPECT_EQ(owner->Components(0), b);
    delete owner;
    EXPECT_EQ(destroyed, 2);
}
