#include "platform/qt_application.h"

#include <QFont>
#include <QMessageBox>
#include <QXmlStreamReader>

#include "platform/automation.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/qt_text.h"
#include "platform/resource.h"
#include "platform/vcl_form.h"

namespace platform {

void SubstituteDesignFonts() {
    // Liberation Sans has the metrics of the Windows sans-serif faces.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("DejaVu Sans")});
}

namespace {

// True when the running executable's manifest depends on version 6 of the
// common controls, the request that gives a Windows program visual styles.
bool ManifestRequestsCommonControls6() {
    const HRSRC manifest = FindResourceExA(nullptr, RT_MANIFEST, 1, LANG_ENGLISH_US);
    if (manifest == nullptr) {
        return false;
    }
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, manifest)));
    QXmlStreamReader xml(
        QByteArray(bytes, static_cast<qsizetype>(SizeofResource(nullptr, manifest))));
    const QStringList wanted = {QStringLiteral("assembly"), QStringLiteral("dependency"),
                                QStringLiteral("dependentAssembly"),
                                QStringLiteral("assemblyIdentity")};
    QStringList path;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            path.removeLast();
        } else if (token == QXmlStreamReader::StartElement) {
            path << xml.name().toString();
            const auto a = xml.attributes();
            if (path == wanted && xml.namespaceUri() == u"urn:schemas-microsoft-com:asm.v1" &&
                a.value(QLatin1StringView("name")) == u"Microsoft.Windows.Common-Controls" &&
                a.value(QLatin1StringView("version")).split(u'.').first().toInt() >= 6) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

QtApplication::QtApplication(int& argc, char** argv)
    : app_(std::make_unique<QApplication>(argc, argv)) {
    // The management objects and the engine need COM on this thread.
    CoInitialize(nullptr);
    // Only the main form's closing ends the run, not the last message box.
    QApplication::setQuitOnLastWindowClosed(false);
    SubstituteDesignFonts();
    // Without the manifest's request the controls keep the classic look.
    if (!ManifestRequestsCommonControls6()) {
        QApplication::setStyle(QStringLiteral("Windows"));
    }
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
