// What the main window's handlers decide, apart from the window itself.
#pragma once

#include <functional>

#include "platform/vcl_controls.h"

namespace installer {

// Valider: an empty server box only takes the focus; any other text, blanks
// included, starts the installation.
void Valider(platform::TEdit& serverBox, const std::function<void()>& install);

// A chosen list entry replaces the server box's text; a change notification
// with no entry selected leaves it alone.
void CopyChosenServer(const platform::TComboBox& list, platform::TEdit& serverBox);

}  // namespace installer
