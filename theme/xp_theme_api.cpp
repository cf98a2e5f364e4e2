#include "theme/xp_theme_api.h"

#include "platform/exception.h"
#include "platform/vcl_form.h"

namespace theme {

namespace {

[[noreturn]] void Refuse(platform::ApplicationServices& services) {
    services.MessageBeep(0);
    throw platform::EAbort();
}

}  // namespace

TXPThemeAPI::TXPThemeAPI(platform::TComponent* owner, platform::ApplicationServices& services)
    : TComponent(owner) {
    // Raising from here runs ~TComponent, which takes this one out of the
    // owner's list again.
    if (owner == nullptr || dynamic_cast<platform::TForm*>(owner) == nullptr) {
        Refuse(services);
    }
    // This one is already in the list, so a second one brings the count to 2.
    int found = 0;
    for (int i = 0; i < owner->ComponentCount() && found < 2; ++i) {
        if (dynamic_cast<TXPThemeAPI*>(owner->Components(i)) != nullptr) {
            ++found;
        }
    }
    if (found >= 2) {
        Refuse(services);
    }
}

}  // namespace theme
