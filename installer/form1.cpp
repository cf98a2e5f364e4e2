#include "installer/form1.h"

#include "discovery/startup_checks.h"
#include "installer/globals.h"
#include "installer/window_logic.h"
#include "settings/connection_settings.h"

namespace installer {

TForm1::TForm1(platform::ApplicationServices& application, QWidget* parent)
    : TForm(parent), application_(application) {
    XPThemeAPI1 = new theme::TXPThemeAPI(this, application_);
    XPThemeAPI1->SetName("XPThemeAPI1");
    Query1 = new engine::TQuery(this);
    Query1->SetName("Query1");
    Database1 = new engine::TDatabase(this);
    Database1->SetName("Database1");
    Database1->DriverName = "MSSQL";
    Database1->LoginPrompt = false;
    Database1->SessionName = "Default";

    setupUi(this);
    Loaded();

    connect(BtOK, &QPushButton::clicked, this,
            [this] { application_.Guarded([this] { BtOKClick(BtOK); }); });
    connect(BtAnnuler, &QPushButton::clicked, this,
            [this] { application_.Guarded([this] { BtAnnulerClick(BtAnnuler); }); });
    connect(CBListe, &platform::TComboBox::Change, this,
            [this] { application_.Guarded([this] { CBListeChange(CBListe); }); });

    application_.Guarded([this] { FormCreate(this); });
}

void TForm1::FormCreate(QObject*) {
    discovery::RunStartupChecks(
        {application_, *this, *CBListe, engine::Session(), platform::Workstation::Current()},
        {SqlDataDir, ProgramDir});
}

void TForm1::BtOKClick(QObject*) {
    Valider(*EdServerName, [this] { L1Click(BtOK); });
}

void TForm1::CBListeChange(QObject*) {
    CopyChosenServer(*CBListe, *EdServerName);
}

void TForm1::BtAnnulerClick(QObject*) {
    Close();
}

void TForm1::L1Click(QObject*) {}

bool TForm1::ConfigureConnection(const platform::AnsiString& programDir,
                                 engine::TDatabase& database) {
    return settings::ConfigureConnection(programDir, database, DatabaseAlias,
                                         [this](platform::TIniFile& ini, engine::TDatabase& db) {
                                             return WriteConnectionSettings(ini, db);
                                         });
}

bool TForm1::WriteConnectionSettings(platform::TIniFile& ini, engine::TDatabase& database) {
    return settings::WriteConnectionSettings(ini, database, engine::Session(), EdServerName->Text(),
                                             EdPWD->Text());
}

}  // namespace installer
