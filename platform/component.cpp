#include "platform/component.h"

#include <algorithm>

namespace platform {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_ != nullptr) {
        owner_->Insert(this);
    }
}

TComponent::~TComponent() {
    // Owned components go first, last-created first, as the class library does.
    while (!components_.empty()) {
        TComponent* last = components_.back();
        delete last;  // its destructor removes it from the list
    }
    if (owner_ != nullptr) {
        owner_->Remove(this);
    }
}

void TComponent::Insert(TComponent* component) {
    components_.push_back(component);
}

void TComponent::Remove(TComponent* component) {
    components_.erase(std::remove(components_.begin(), components_.end(), component),
                      components_.end());
}

}  // namespace platform
