// The class library's component: an object with an owner, entered in the
// owner's component list on construction and destroyed with it.
#pragma once

#include <string>
#include <vector>

namespace platform {

class TComponent {
  public:
    explicit TComponent(TComponent* owner);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const {
        return components_.at(static_cast<std::size_t>(index));
    }

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

  private:
    void Insert(TComponent* component);
    void Remove(TComponent* component);

    TComponent* owner_;
    std::vector<TComponent*> components_;
    std::string name_;
};

}  // namespace platform
