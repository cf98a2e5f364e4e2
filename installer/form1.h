// The installer's one window. Its layout is form1.ui; its handlers keep the
// names they have always had and hand their work to the subsystems.
#pragma once

#include "engine/engine.h"
#include "platform/application.h"
#include "platform/profile.h"
#include "platform/vcl_form.h"
#include "theme/xp_theme_api.h"
#include "ui_form1.h"

namespace installer {

class TForm1 : public platform::TForm, public Ui_TForm1 {
    Q_OBJECT

  public:
    // Creating the window runs FormCreate; an error escaping it goes to the
    // application-level handler and the window is created all the same.
    explicit TForm1(platform::ApplicationServices& application, QWidget* parent = nullptr);

    // Owned components, in the order the class declares them.
    theme::TXPThemeAPI* XPThemeAPI1 = nullptr;
    engine::TQuery* Query1 = nullptr;
    engine::TDatabase* Database1 = nullptr;

    void FormCreate(QObject* Sender);
    void BtOKClick(QObject* Sender);
    void CBListeChange(QObject* Sender);
    void BtAnnulerClick(QObject* Sender);
    void L1Click(QObject* Sender);

    // The connection to the server typed in EdServerName, with the password
    // of EdPWD: recorded in <programDir>Config.ini and prepared on the
    // component. False on any error; on success DatabaseAlias names it.
    bool ConfigureConnection(const platform::AnsiString& programDir, engine::TDatabase& database);
    bool WriteConnectionSettings(platform::TIniFile& ini, engine::TDatabase& database);

  private:
    platform::ApplicationServices& application_;
};

}  // namespace installer
