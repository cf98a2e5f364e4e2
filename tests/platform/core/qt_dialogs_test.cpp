// The real dialogs of the Qt application services, read off the screen
// (offscreen platform) while they are open, then dismissed with their button.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "platform/process.h"
#include "platform/qt_application.h"
#include "platform/qt_text.h"

using namespace platform;

namespace {

struct SeenBox {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    bool modal = false;
};

// Reads the next modal box once it is up and presses its only button.
SeenBox Dismiss(std::function<void()> show) {
    SeenBox seen;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.modal = box->isModal();
        for (QAbstractButton* b : box->buttons()) {
            seen.buttons << b->text();
        }
        QTest::mouseClick(box->buttons().front(), Qt::LeftButton);
    });
    show();
    return seen;
}

}  // namespace

TEST(QtDialogs, EachKindShowsItsTitleIconAndOneOkButton) {
    QtApplication app;
    const AnsiString exe = app.Title();
    struct Row {
        std::function<void()> show;
        QString title;
        QMessageBox::Icon icon;
        QString text;
    } rows[] = {
        {[&] { app.MessageDlg("Veuillez r\xE9installer\rQuillorant SQL.", mtWarning); },
         "Avertissement", QMessageBox::Warning,
         QString::fromUtf8("Veuillez réinstaller\nQuillorant SQL.")},
        {[&] { app.MessageDlg("a\r\rb", mtError); }, "Erreur", QMessageBox::Critical, "a\n\nb"},
        {[&] {
             app.MessageDlg(
                 "La base de donn\xE9"
                 "es a \xE9t\xE9 install\xE9"
                 "e.",
                 mtInformation);
         },
         "Information", QMessageBox::Information,
         QString::fromUtf8("La base de données a été installée.")},
        {[&] { app.MessageBox("Erreur : Login failed for user 'sa'."); }, ToQString(exe),
         QMessageBox::NoIcon, "Erreur : Login failed for user 'sa'."},
        {[&] {
             app.ShowException(
                 Exception("Echec \xE0 la d\xE9"
                           "finition des donn\xE9"
                           "es pour ''"));
         },
         ToQString(exe), QMessageBox::Critical,
         QString::fromUtf8("Echec à la définition des données pour ''")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title.toStdString());
        const SeenBox seen = Dismiss(row.show);
        EXPECT_EQ(seen.title, row.title);
        EXPECT_EQ(seen.icon, row.icon);
        EXPECT_EQ(seen.text, row.text);
        EXPECT_EQ(seen.buttons, QStringList{"OK"});
        EXPECT_TRUE(seen.modal);
    }
}

TEST(QtDialogs, ProcessEndRunsTheReleasesAndExitsWithStatusZero) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static int out;
        out = fds[1];
        RegisterProcessEndHook([] { (void)!write(out, "released", 8); });
        QtApplication app;
        app.Halt();
    }
    close(fds[1]);
    char buf[16] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "released");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
