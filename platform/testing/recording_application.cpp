#include "platform/testing/recording_application.h"

#include <QCoreApplication>
#include <ostream>

#include "platform/vcl_form.h"

namespace platform::testing {

std::ostream& operator<<(std::ostream& os, const Shown& s) {
    return os << s.what << " [" << AnsiToUtf8(s.caption) << "] " << AnsiToUtf8(s.text);
}

RecordingApplication::RecordingApplication(AnsiString exeName) : exeName_(std::move(exeName)) {}

void RecordingApplication::ProcessMessages() {
    log_.push_back({"pump", {}, {}});
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents();
    }
    if (OnProcessMessages) {
        OnProcessMessages();
    }
}

void RecordingApplication::MessageDlg(const AnsiString& text, TMsgDlgType type) {
    static const char* const kinds[] = {"warning", "error", "information"};
    log_.push_back({kinds[type], DialogTitle(type), text});
}

void RecordingApplication::MessageBox(const AnsiString& text) {
    log_.push_back({"box", Title(), text});
}

void RecordingApplication::ShowException(const Exception& e) {
    log_.push_back({"error-box", Title(), e.Message()});
}

void RecordingApplication::MessageBeep(UINT type) {
    log_.push_back({"beep", {}, std::to_string(static_cast<int>(type))});
}

void RecordingApplication::SetCursor(TForm& form, TCursor cursor) {
    log_.push_back({"cursor", {}, cursor == crHourGlass ? "crHourGlass" : "crDefault"});
    ApplicationServices::SetCursor(form, cursor);
}

void RecordingApplication::Halt() {
    log_.push_back({"halt", {}, {}});
    halted_ = true;
    throw ProcessHalt{};
}

std::vector<Shown> RecordingApplication::Dialogs() const {
    std::vector<Shown> out;
    for (const Shown& s : log_) {
        if (s.what == "warning" || s.what == "error" || s.what == "information" ||
            s.what == "box" || s.what == "error-box") {
            out.push_back(s);
        }
    }
    return out;
}

}  // namespace platform::testing
