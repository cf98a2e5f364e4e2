#include "platform/qt_application.h"

#include <QFont>
#include <QMessageBox>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/qt_text.h"
#include "platform/vcl_form.h"

namespace platform {

void SubstituteDesignFonts() {
    // Liberation Sans has the metrics of the Windows sans-serif faces.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("DejaVu Sans")});
}

QtApplication::QtApplication(int& argc, char** argv)
    : app_(std::make_unique<QApplication>(argc, argv)) {
    // Only the main form's closing ends the run, not the last message box.
    QApplication::setQuitOnLastWindowClosed(false);
    SubstituteDesignFonts();
}

QtApplication::QtApplication() {
    QApplication::setQuitOnLastWindowClosed(false);
    SubstituteDesignFonts();
}

QtApplication::~QtApplication() = default;

AnsiString QtApplication::ExeName() const {
    return ExecutableFileName();
}

void QtApplication::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QWidget* QtApplication::DialogParent() const {
    if (mainForm_ != nullptr && mainForm_->isVisible()) {
        return mainForm_;
    }
    return QApplication::activeWindow();
}

namespace {

void ShowBox(QWidget* parent, QMessageBox::Icon icon, const AnsiString& caption,
             const AnsiString& text) {
    QMessageBox box(icon, ToQString(caption), ToDisplayText(text), QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace

void QtApplication::MessageDlg(const AnsiString& text, TMsgDlgType type) {
    QMessageBox::Icon icon = QMessageBox::Information;
    if (type == mtWarning) {
        icon = QMessageBox::Warning;
    } else if (type == mtError) {
        icon = QMessageBox::Critical;
    }
    ShowBox(DialogParent(), icon, DialogTitle(type), text);
}

void QtApplication::MessageBox(const AnsiString& text) {
    ShowBox(DialogParent(), QMessageBox::NoIcon, Title(), text);
}

void QtApplication::ShowException(const Exception& e) {
    ShowBox(DialogParent(), QMessageBox::Critical, Title(), e.Message());
}

void QtApplication::MessageBeep(UINT) {
    QApplication::beep();
}

void QtApplication::Halt() {
    EndProcessNow();
}

int QtApplication::Run(TForm& mainForm) {
    mainForm_ = &mainForm;
    mainForm.SetMainForm(true);
    mainForm.show();
    QApplication::exec();
    mainForm_ = nullptr;
    return 0;
}

}  // namespace platform
