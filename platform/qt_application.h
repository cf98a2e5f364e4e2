// The application object on Qt: initialises the toolkit, runs the main
// form's message loop and shows the real dialogs.
#pragma once

#include <QApplication>
#include <memory>

#include "platform/application.h"

namespace platform {

class QtApplication : public ApplicationServices {
  public:
    // The toolkit's own options (-platform and the like) are its business;
    // the program reads nothing of the command line.
    QtApplication(int& argc, char** argv);
    // On the application object that already exists (the window tests').
    QtApplication();
    ~QtApplication() override;

    AnsiString ExeName() const override;
    void ProcessMessages() override;
    void MessageDlg(const AnsiString& text, TMsgDlgType type) override;
    void MessageBox(const AnsiString& text) override;
    void ShowException(const Exception& e) override;
    void MessageBeep(UINT type) override;
    [[noreturn]] void Halt() override;

    // Shows the main form and runs the message loop until it is closed.
    int Run(TForm& mainForm);

  private:
    QWidget* DialogParent() const;

    std::unique_ptr<QApplication> app_;
    TForm* mainForm_ = nullptr;
};

// The font that stands in for the design font where it is not installed.
void SubstituteDesignFonts();

}  // namespace platform
