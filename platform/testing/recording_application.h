// Application services for tests: every dialog, beep, cursor change, pump
// and stop is noted as a person would have seen it, and dialogs are
// answered at once.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/application.h"

namespace platform::testing {

struct Shown {
    std::string what;    // "warning", "error", "information", "box", "error-box",
                         // "beep", "cursor", "pump", "halt"
    AnsiString caption;  // the dialog's title bar
    AnsiString text;     // the dialog's text; the beep or cursor value

    bool operator==(const Shown&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Shown& s);

class RecordingApplication : public ApplicationServices {
  public:
    explicit RecordingApplication(AnsiString exeName = "C:\\Setup\\Setup.exe");

    AnsiString ExeName() const override { return exeName_; }
    void ProcessMessages() override;
    void MessageDlg(const AnsiString& text, TMsgDlgType type) override;
    void MessageBox(const AnsiString& text) override;
    void ShowException(const Exception& e) override;
    void MessageBeep(UINT type) override;
    void SetCursor(TForm& form, TCursor cursor) override;
    [[noreturn]] void Halt() override;

    const std::vector<Shown>& Log() const { return log_; }
    // The dialogs and boxes only, without pumps, beeps and cursors.
    std::vector<Shown> Dialogs() const;
    bool Halted() const { return halted_; }
    void Clear() { log_.clear(); }

    // Runs inside each pump, as user input arriving then would.
    std::function<void()> OnProcessMessages;

  private:
    AnsiString exeName_;
    std::vector<Shown> log_;
    bool halted_ = false;
};

}  // namespace platform::testing
