// The host's component framework, reduced to what the library needs:
// TObject, TComponent with ownership (an owner destroys what it owns), and a
// registry of component classes by palette page.
//
// Thread: everything here runs on the thread that runs the event loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmor {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A component owned by AOwner (or by nobody, when AOwner is null) is destroyed
// by its owner's destructor, after the owner's own destructor body has run.
// Deleting a component directly is always allowed: it leaves its owner's list
// first, and it destroys everything it owns.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(static_cast<std::size_t>(Index)); }

  std::string Name;

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
};

// A registrable class: its name and a factory that creates it with an owner.
struct TComponentClass {
  std::string ClassName;
  std::function<TComponent*(TComponent* AOwner)> Create;
};

template <class T>
TComponentClass ComponentClassOf(std::string ClassName) {
  return {std::move(ClassName), [](TComponent* AOwner) -> TComponent* { return new T(AOwner); }};
}

struct TPaletteEntry {
  std::string Page;
  TComponentClass Class;
};

// Puts the classes on the named palette page. Registering a class name again
// replaces the earlier entry, so a package may be installed twice.
void RegisterComponents(const std::string& Page, const std::vector<TComponentClass>& Classes);

// What has been registered so far, in registration order.
const std::vector<TPaletteEntry>& RegisteredComponents();

// Creates a registered class by name with the given owner; null if unknown.
TComponent* CreateComponent(const std::string& ClassName, TComponent* AOwner);

}  // namespace velmor
