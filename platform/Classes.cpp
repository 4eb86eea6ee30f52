#include "platform/Classes.h"

#include <algorithm>

namespace velmor {

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Owned components go last-created first; each one leaves this list itself.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* AComponent) { FComponents.push_back(AComponent); }

void TComponent::RemoveComponent(TComponent* AComponent) {
  auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
  if (it != FComponents.end()) FComponents.erase(it);
}

namespace {
std::vector<TPaletteEntry>& registry() {
  static std::vector<TPaletteEntry> entries;
  return entries;
}
}  // namespace

void RegisterComponents(const std::string& Page, const std::vector<TComponentClass>& Classes) {
  auto& entries = registry();
  for (const auto& cls : Classes) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const TPaletteEntry& e) { return e.Class.ClassName == cls.ClassName; });
    if (it != entries.end())
      *it = TPaletteEntry{Page, cls};
    else
      entries.push_back(TPaletteEntry{Page, cls});
  }
}

const std::vector<TPaletteEntry>& RegisteredComponents() { return registry(); }

TComponent* CreateComponent(const std::string& ClassName, TComponent* AOwner) {
  for (const auto& e : registry())
    if (e.Class.ClassName == ClassName && e.Class.Create) return e.Class.Create(AOwner);
  return nullptr;
}

}  // namespace velmor
