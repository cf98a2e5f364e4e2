// The real main window against its layout table and its keyboard and mouse
// behaviour, on the offscreen platform with the recording services.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <map>

#include "installer/form1.h"
#include "installer/globals.h"
#include "installer/window_logic.h"
#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/qt_text.h"
#include "platform/testing/recording_application.h"
#include "tests/discovery/scripted_dmo.h"
#include "tests/support/temp_workstation.h"

using installer::TForm1;
using platform::testing::RecordingApplication;

namespace {

struct ControlRow {
    const char* name;
    const char* className;
    int left, top, width, height;
    const char* text;  // UTF-8
    const char* font;  // "" the window's, else "pixels[ bold]"
    const char* colour;
};

// The layout table. Labels size themselves to their text: their width is
// checked against the text's own width in their font, and the row captions
// against their shared right edge (x = 194).
const ControlRow kControls[] = {
    {"Label4", "platform::TLabel", 127, 64, 67, 13, "Serveur SQL :", "", "clWindowText"},
    {"Label5", "platform::TLabel", 95, 95, 99, 13, "Login de connexion :", "", "clWindowText"},
    {"Label6", "platform::TLabel", 200, 94, 18, 16, "SA", "13", "clNavy"},
    {"Label7", "platform::TLabel", 57, 124, 137, 13, "Mot de passe de connexion :", "",
     "clWindowText"},
    {"LState", "platform::TLabel", 8, 182, 3, 13, "", "", "clWindowText"},
    {"Panel2", "platform::TPanel", 0, 160, 457, 3, nullptr, "", ""},
    {"BtOK", "platform::TButton", 272, 176, 75, 25, "&Valider", "", ""},
    {"BtAnnuler", "platform::TButton", 368, 176, 75, 25, "&Annuler", "", ""},
    {"Panel1", "platform::TPanel", 0, 0, 457, 49, nullptr, "", "clInfoBk"},
    {"Label2", "platform::TLabel", 8, 5, 201, 16, "Configuration de Quillorant", "13 bold",
     "clWindowText"},
    {"Label3", "platform::TLabel", 8, 28, 354, 13,
     "Veuillez indiquer les paramètres de connexion au serveur MS SQL à utiliser.", "",
     "clWindowText"},
    {"CBListe", "platform::TComboBox", 200, 60, 225, 21, nullptr, "", ""},
    {"EdPWD", "platform::TEdit", 200, 120, 121, 21, nullptr, "", ""},
    {"EdServerName", "platform::TEdit", 200, 60, 207, 21, nullptr, "", ""},
};

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        // Creating the window runs the start-up checks: the product lies in
        // its default folder, and scripted management objects report no
        // server.
        platform::CoInitialize(nullptr);
        testsupport::RegisterScriptedDmo();
        ws.WriteFile(ws.Drive('c') / "Sorvendale" / "Quillorant" / "Quillorant.exe", "MZ");
        form = std::make_unique<TForm1>(app);
    }
    void TearDown() override { platform::CoUninitialize(); }

    void ShowActive() {
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }

    testsupport::TempWorkstation ws;
    RecordingApplication app{"C:\\Setup\\quillorant-setup"};
    std::unique_ptr<TForm1> form;
};

TEST_F(MainWindow, ControlsMatchTheLayoutTable) {
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        auto* w = form->findChild<QWidget*>(row.name);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), row.className);
        const QRect g = w->geometry();
        auto* label = qobject_cast<platform::TLabel*>(w);
        // A right-aligned label keeps its right edge when it fits its text.
        if (label != nullptr && (label->alignment() & Qt::AlignRight)) {
            EXPECT_EQ(g.right() + 1, row.left + row.width);
        } else {
            EXPECT_EQ(g.left(), row.left);
        }
        EXPECT_EQ(g.top(), row.top);
        EXPECT_EQ(g.height(), row.height);

        if (label != nullptr) {
            EXPECT_EQ(label->text(), QString::fromUtf8(row.text));
            if (label->text().isEmpty()) {
                EXPECT_EQ(g.width(), row.width);
            } else {
                EXPECT_EQ(g.width(), label->fontMetrics().horizontalAdvance(label->text()));
            }
        } else {
            EXPECT_EQ(g.width(), row.width);
        }
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            EXPECT_EQ(button->text(), QString::fromUtf8(row.text));
        }

        const QFont f = w->font();
        EXPECT_EQ(f.family(), QStringLiteral("MS Sans Serif"));
        const std::string font = row.font;
        const int pixels = font.empty() ? 11 : std::stoi(font);
        EXPECT_EQ(f.pixelSize(), pixels);
        EXPECT_EQ(f.bold(), font.find("bold") != std::string::npos);

        if (*row.colour != '\0') {
            const QColor expected = platform::VclColor(QString::fromLatin1(row.colour));
            const QPalette::ColorRole role =
                label != nullptr ? QPalette::WindowText : QPalette::Window;
            EXPECT_EQ(w->palette().color(role), expected);
        }
    }
    // The three row captions end at the same right edge.
    for (const char* name : {"Label4", "Label5", "Label7"}) {
        EXPECT_EQ(form->findChild<QWidget*>(name)->geometry().right() + 1, 194) << name;
    }
    EXPECT_TRUE(form->Panel1->autoFillBackground());
    EXPECT_EQ(form->Label2->parentWidget(), form->Panel1);
    EXPECT_EQ(form->Label3->parentWidget(), form->Panel1);
    EXPECT_EQ(form->Panel2->frameShape(), QFrame::HLine);
    EXPECT_EQ(form->Panel2->frameShadow(), QFrame::Sunken);
}

TEST_F(MainWindow, WindowFrameCaptionAndStoredState) {
    EXPECT_EQ(form->objectName(), QStringLiteral("Form1"));
    EXPECT_EQ(form->windowTitle(),
              QString::fromUtf8("Installation de la base de données Quillorant SQL"));
    EXPECT_EQ(form->size(), QSize(457, 212));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->palette().color(QPalette::Window),
              platform::VclColor(QStringLiteral("clBtnFace")));

    EXPECT_TRUE(form->BtOK->isDefault());
    EXPECT_EQ(form->EdPWD->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form->EdPWD->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                              form->EdPWD),
              '*');
    EXPECT_TRUE(form->CBListe->isEditable());
    EXPECT_EQ(form->CBListe->ItemCount(), 0);
    EXPECT_TRUE(form->LState->isVisibleTo(form.get()));

    // Owned components in the class's order; the database as designed.
    ASSERT_EQ(form->ComponentCount(), 3);
    EXPECT_EQ(form->Components(0), form->XPThemeAPI1);
    EXPECT_EQ(form->Components(1), form->Query1);
    EXPECT_EQ(form->Components(2), form->Database1);
    // The theme marker was created without a beep, and refuses a second one.
    EXPECT_EQ(form->XPThemeAPI1->Name(), "XPThemeAPI1");
    for (const auto& shown : app.Log()) {
        EXPECT_NE(shown.what, "beep");
    }
    EXPECT_THROW(new theme::TXPThemeAPI(form.get(), app), platform::EAbort);
    EXPECT_EQ(form->ComponentCount(), 3);
    EXPECT_EQ(form->Components(0), form->XPThemeAPI1);
    EXPECT_EQ(form->Database1->DriverName, "MSSQL");
    EXPECT_FALSE(form->Database1->LoginPrompt);
    EXPECT_EQ(form->Database1->SessionName, "Default");
    EXPECT_EQ(form->Database1->DatabaseName(), "");
}

TEST_F(MainWindow, ServerBoxLiesOverTheListLeavingItsButtonUsable) {
    const QRect edit = form->EdServerName->geometry();
    const QRect list = form->CBListe->geometry();
    EXPECT_EQ(list.right() - edit.right(), 18);
    // Stacking: the server box was created after the list, so it is above.
    const QObjectList& siblings = form->children();
    EXPECT_GT(siblings.indexOf(form->EdServerName), siblings.indexOf(form->CBListe));
    // The uncovered strip belongs to the list.
    ShowActive();
    const QPoint arrow(list.right() - 8, list.center().y());
    EXPECT_EQ(form->childAt(arrow), form->CBListe);
    EXPECT_EQ(form->childAt(edit.center()), form->EdServerName);
}

TEST_F(MainWindow, TheListOpensByPointerAndAChosenEntryFillsTheServerBox) {
    form->CBListe->AddItem("ALPHA");
    form->CBListe->AddItem("BETA");
    ShowActive();
    const QRect list = form->CBListe->geometry();
    QTest::mouseClick(form->CBListe, Qt::LeftButton, {},
                      QPoint(list.width() - 8, list.height() / 2));
    QAbstractItemView* view = form->CBListe->view();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->isVisible(); }));
    // The open list ignores a release that comes as quickly as a double click.
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    const QRect beta = view->visualRect(view->model()->index(1, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, beta.center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->isVisible(); }));
    EXPECT_EQ(form->EdServerName->Text(), "BETA");
    EXPECT_EQ(form->CBListe->ItemIndex(), 1);
}

TEST_F(MainWindow, OpensCentredWithAccessKeysOnTheButtons) {
    ShowActive();
    const QRect screen = form->screen()->availableGeometry();
    // The whole window, frame included, is centred.
    EXPECT_LE(std::abs(form->frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(form->frameGeometry().center().y() - screen.center().y()), 1);

    // Alt+V is Valider: with the server box empty it takes the focus.
    // An access key clicks its button a moment later, as the button shows it pressed.
    QTest::keyClick(form.get(), Qt::Key_V, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == form->EdServerName; }));
    QTest::keyClick(form.get(), Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }));
}

TEST_F(MainWindow, TabCycleSkipsTheList) {
    ShowActive();
    EXPECT_EQ(QApplication::focusWidget(), form->BtOK);
    const QWidget* expected[] = {form->BtAnnuler, form->EdPWD, form->EdServerName, form->BtOK,
                                 form->BtAnnuler};
    for (const QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
    EXPECT_EQ(form->CBListe->focusPolicy() & Qt::TabFocus, 0);
}

TEST_F(MainWindow, EnterActsAsValiderInEitherEditBoxAndAsAnnulerOnAnnuler) {
    ShowActive();
    // With the server box empty, Valider only moves the focus there.
    form->EdPWD->setFocus();
    QTest::keyClick(form->EdPWD, Qt::Key_Return);
    EXPECT_EQ(QApplication::focusWidget(), form->EdServerName);
    EXPECT_TRUE(form->isVisible());

    QSignalSpy valider(form->BtOK, &QPushButton::clicked);
    QTest::keyClick(form->EdServerName, Qt::Key_Return);
    EXPECT_EQ(valider.count(), 1);

    form->BtAnnuler->setFocus();
    QTest::keyClick(form->BtAnnuler, Qt::Key_Return);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(app.Dialogs().empty());
}

TEST_F(MainWindow, EscapeClosesNothing) {
    ShowActive();
    for (QWidget* w : std::initializer_list<QWidget*>{form->BtOK, form->BtAnnuler, form->EdPWD,
                                                      form->EdServerName}) {
        w->setFocus();
        QTest::keyClick(w, Qt::Key_Escape);
        EXPECT_TRUE(form->isVisible()) << w->objectName().toStdString();
    }
}

TEST_F(MainWindow, ChoosingAListEntryCopiesItIntoTheServerBox) {
    ShowActive();
    form->CBListe->AddItem("SRV1");
    form->CBListe->AddItem("SRV\\D\xC9V");  // SRV\DÉV
    form->EdServerName->SetText("typed");
    // Adding items selects nothing and notifies nothing.
    EXPECT_EQ(form->CBListe->ItemIndex(), -1);
    EXPECT_EQ(form->EdServerName->Text(), "typed");

    // The keyboard focus rests in the list once the list has been used.
    form->CBListe->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(form->CBListe, Qt::Key_Down);
    EXPECT_EQ(form->EdServerName->Text(), "SRV1");
    QTest::keyClick(form->CBListe, Qt::Key_Down);
    EXPECT_EQ(form->EdServerName->Text(), "SRV\\D\xC9V");

    // Typing in the server box does not change the list's selection.
    QTest::keyClicks(form->EdServerName, "X");
    EXPECT_EQ(form->CBListe->ItemIndex(), 1);

    // A change of the list's own text leaves no entry selected and the box alone.
    QTest::keyClicks(form->CBListe->lineEdit(), "zz");
    EXPECT_EQ(form->CBListe->ItemIndex(), -1);
    EXPECT_EQ(form->EdServerName->Text(), "SRV\\D\xC9VX");
}

TEST_F(MainWindow, AnnulerEndsTheMessageLoopWithStatusZeroAndWritesNothing) {
    const auto snapshot = [this] {
        std::map<std::string, std::string> files;
        for (const auto& e : std::filesystem::recursive_directory_iterator(ws.Root())) {
            files[e.path().string()] =
                e.is_regular_file() ? testsupport::ReadFile(e.path()) : std::string("<dir>");
        }
        return files;
    };
    ws.WriteFile(ws.Drive('c') / "Sorvendale" / "Quillorant" / "Config.ini",
                 "[Main]\r\nSQLServerName=OLD\r\n");
    const auto before = snapshot();

    form->SetMainForm(true);
    form->show();
    QTimer::singleShot(0, form.get(),
                       [this] { QTest::mouseClick(form->BtAnnuler, Qt::LeftButton); });
    const int status = QApplication::exec();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(app.Dialogs().empty());
    EXPECT_EQ(snapshot(), before);
}

TEST_F(MainWindow, CreationRunsTheStartUpChecks) {
    EXPECT_EQ(installer::ProgramDir, "C:\\Sorvendale\\Quillorant\\");
    EXPECT_EQ(installer::SqlDataDir, "C:\\Sorvendale\\Base\\");
    EXPECT_EQ(engine::Session().PrivateDir(), installer::ProgramDir);
    EXPECT_EQ(app.Log().front(), (platform::testing::Shown{"cursor", "", "crHourGlass"}));
    EXPECT_EQ(app.Log().back(), (platform::testing::Shown{"cursor", "", "crDefault"}));
    EXPECT_TRUE(app.Dialogs().empty());
}

// An error the checks do not handle goes to the standard error box; the
// window is created all the same, with what the checks had reached.
TEST(MainWindowStartUp, UnhandledErrorLeavesTheWindowWithTheHourglassAndAnEmptyList) {
    struct Row {
        const char* what;
        const char* path;  // the registered Path value, as REGEDIT4 writes it
        bool hiveReadOnly;
        const char* message;  // UTF-8
        const char* programDir;
    };
    const Row rows[] = {
        {"Path stored as a number", "dword:00000001", false,
         "Type de données incorrect pour 'Path'", ""},
        {"no all-access rights", "\"C:\\\\Sorvendale\\\\Quillorant\\\\\"", true,
         "Echec à la définition des données pour ''", "C:\\Sorvendale\\Quillorant\\"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        testsupport::TempWorkstation ws;
        platform::CoInitialize(nullptr);
        testsupport::RegisterScriptedDmo();
        ws.WriteFile(ws.Root() / "scripted-dmo.txt", "name SRV-A\n");
        ws.WriteFile(ws.Drive('c') / "Sorvendale" / "Quillorant" / "Quillorant.exe", "MZ");
        platform::Hive().Import(
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
            "App Paths\\Quillorant.exe]\r\n\"Path\"=" +
            std::string(row.path) + "\r\n");
        if (row.hiveReadOnly) {
            std::filesystem::permissions(platform::Workstation::Current().HivePath(),
                                         std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::remove);
        }
        installer::SqlDataDir = "";
        installer::ProgramDir = "";
        RecordingApplication app{"C:\\Setup\\quillorant-setup"};
        {
            TForm1 form(app);
            EXPECT_EQ(app.Dialogs(),
                      (std::vector<platform::testing::Shown>{
                          {"error-box", "quillorant-setup", platform::Utf8ToAnsi(row.message)}}));
            EXPECT_EQ(installer::SqlDataDir, "C:\\Sorvendale\\Base\\");
            EXPECT_EQ(installer::ProgramDir, row.programDir);
            form.show();
            EXPECT_TRUE(form.isVisible());
            EXPECT_EQ(form.Cursor(), platform::crHourGlass);
            EXPECT_EQ(form.cursor().shape(), Qt::WaitCursor);
            EXPECT_EQ(form.CBListe->ItemCount(), 0);
        }
        platform::CoUninitialize();
    }
}

TEST_F(MainWindow, ConfigureConnectionReadsTheEditBoxesWhenItRuns) {
    form->EdServerName->SetText("SRV-A");
    form->EdPWD->SetText("secret");
    installer::DatabaseAlias = "";
    ASSERT_TRUE(form->ConfigureConnection(installer::ProgramDir, *form->Database1));
    EXPECT_EQ(testsupport::ReadFile(ws.Drive('c') / "Sorvendale" / "Quillorant" / "Config.ini"),
              "[Main]\r\nSQLServerName=SRV-A\r\nSAPWD=4FFF32956DA0\r\n");
    EXPECT_EQ(installer::DatabaseAlias, "Quillorant_SQL");
    EXPECT_EQ(form->Database1->Params().at(1), "PASSWORD=secret");
    EXPECT_EQ(form->Database1->Params().at(5), "SERVER NAME=SRV-A");

    form->EdServerName->SetText("");
    EXPECT_FALSE(form->ConfigureConnection(installer::ProgramDir, *form->Database1))
        << "no [DBKERNEL] alias for an empty name";
    EXPECT_EQ(installer::DatabaseAlias, "Quillorant_SQL");
    EXPECT_TRUE(app.Dialogs().empty()) << "failures are the caller's to report";
}

// The handlers' decisions, without a window.
TEST(WindowLogic, ValiderStartsTheInstallationOnAnyNonEmptyName) {
    struct Row {
        const char* server;
        bool installs;
    } rows[] = {{"", false}, {" ", true}, {"   ", true}, {"SRV", true}, {"\t", true}};
    for (const Row& row : rows) {
        platform::TEdit server;
        server.SetText(row.server);
        bool installed = false;
        installer::Valider(server, [&] { installed = true; });
        EXPECT_EQ(installed, row.installs) << '"' << row.server << '"';
    }
}

}  // namespace
