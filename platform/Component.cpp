#include "platform/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->Children.push_back(this);
}

TComponent::~TComponent() {
  // Free owned components in the reverse order of their creation, so that a
  // component made later (which may use an earlier one) goes first.
  while (!Owned.empty()) {
    std::unique_ptr<TComponent> last = std::move(Owned.back());
    Owned.pop_back();
    last.reset();
  }
  if (FOwner) {
    auto& c = FOwner->Children;
    c.erase(std::remove(c.begin(), c.end(), this), c.end());
  }
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  for (TComponent* c : Children)
    if (c->Name == AName) return c;
  return nullptr;
}
