#include "discovery/startup_checks.h"

#include <memory>

#include "discovery/server_list.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace discovery {

using namespace platform::literals;

AnsiString WithTrailingBackslash(const AnsiString& path) {
    if (path.empty() || path.back() == '\\')
        return path;
    return path + '\\';
}

AnsiString ProductMovedText(const AnsiString& programDir) {
    return "L'emplacement de Quillorant SQL a été modifié depuis son installation.\r"
           "Selon la base de registre de votre poste, le programme devrait se trouver dans : \r"_ansi +
           programDir + "\r\r" + ReinstallText();
}

AnsiString ReinstallText() {
    return "Veuillez réinstaller Quillorant SQL."_ansi;
}

namespace {

// Neither open creates a key; both ask for every right, as the checks always
// have, so a user without them reads the defaults.
AnsiString SqlDataDirOf(platform::TRegistry& registry) {
    AnsiString dir = kDefaultSqlDataDir;
    if (registry.OpenKey(kSqlSetupKey, false) && registry.ValueExists(kSqlPathValue))
        dir = WithTrailingBackslash(registry.ReadString(kSqlPathValue)) + kSqlDataSubfolder;
    registry.CloseKey();
    return dir;
}

}  // namespace

void RunStartupChecks(const StartupContext& context, const StartupFolders& folders) {
    platform::ApplicationServices& application = context.application;
    application.SetCursor(context.window, platform::crHourGlass);

    auto registry = std::make_unique<platform::TRegistry>(context.workstation);
    registry->SetRootKey(platform::HKEY_LOCAL_MACHINE);

    folders.sqlDataDir = SqlDataDirOf(*registry);

    if (registry->OpenKey(kProductRegistrationKey, false)) {
        // A missing "Path" reads as empty text: the product is then looked
        // for in the current folder, and step 5 catches an empty folder.
        folders.programDir = WithTrailingBackslash(registry->ReadString(kProductPathValue));
        registry->CloseKey();
        if (!platform::FileExists(folders.programDir + kProductExecutable, context.workstation)) {
            application.MessageDlg(ProductMovedText(folders.programDir), platform::mtError);
            application.Halt();
        }
    } else {
        if (!platform::FileExists(kDefaultProductExecutable, context.workstation)) {
            application.MessageDlg(ReinstallText(), platform::mtWarning);
            registry.reset();
            application.Halt();
        }
        folders.programDir = kDefaultProductDir;
        // A refused creation shows in the first write, which raises.
        registry->OpenKey(kProductRegistrationKey, true);
        registry->WriteString("", folders.programDir + kProductExecutable);
        registry->WriteString(kProductPathValue, folders.programDir);
    }

    if (folders.programDir.empty()) {
        application.MessageDlg(ReinstallText(), platform::mtWarning);
        application.Halt();
    }

    engine::TSession& session = context.session;
    session.SetNetFileDir(kEngineNetFileDir);
    // Only a to z are folded, as the program always has: an accented letter
    // in the other case counts as another folder.
    if (platform::AsciiUpperCase(WithTrailingBackslash(session.PrivateDir())) !=
        platform::AsciiUpperCase(folders.programDir)) {
        try {
            session.SetPrivateDir(folders.programDir);
        } catch (const platform::Exception&) {
            // The engine then keeps its own private folder.
        }
    }

    registry.reset();

    ListSqlServers(context.serverList, application);
    application.SetCursor(context.window, platform::crDefault);
}

}  // namespace discovery
