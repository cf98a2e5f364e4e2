// The theme marker component: nothing visible, one per form and only on a
// form. A refused one beeps and aborts silently, leaving no trace in its
// owner's component list.
#pragma once

#include "platform/application.h"
#include "platform/component.h"

namespace theme {

class TXPThemeAPI : public platform::TComponent {
  public:
    // The services give the beep of a refusal; the component keeps nothing.
    TXPThemeAPI(platform::TComponent* owner, platform::ApplicationServices& services);
};

}  // namespace theme
