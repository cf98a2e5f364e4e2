#include "installer/window_logic.h"

namespace installer {

void Valider(platform::TEdit& serverBox, const std::function<void()>& install) {
    if (serverBox.Text().empty()) {
        serverBox.setFocus(Qt::OtherFocusReason);
        return;
    }
    install();
}

void CopyChosenServer(const platform::TComboBox& list, platform::TEdit& serverBox) {
    if (list.ItemIndex() < 0) {
        return;
    }
    serverBox.SetText(list.Item(list.ItemIndex()));
}

}  // namespace installer
