#pragma once
// The root of every component, visual or not: a name, an optional owner, and
// the components it owns. An owner frees what it owns when it is destroyed.
//
//   auto* http = TComponent::Create<TIdHTTP>(*form);  // owned by form
//   TIdHTTP local;                                    // owned by nobody
#include <memory>
#include <string>
#include <utility>
#include <vector>

class TComponent {
 public:
  explicit TComponent(TComponent* AOwner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Makes a T owned (and later freed) by AOwner, which must not be null. A
  // component without owner is made with std::make_unique<T>().
  template <class T, class... Args>
  static T* Create(TComponent& AOwner, Args&&... args) {
    auto p = std::make_unique<T>(&AOwner, std::forward<Args>(args)...);
    T* raw = p.get();
    AOwner.Owned.push_back(std::move(p));
    return raw;
  }

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(Children.size()); }
  TComponent* Components(int Index) const { return Children.at(static_cast<size_t>(Index)); }
  // The first owned component with this name (case-sensitive), or null.
  TComponent* FindComponent(const std::string& AName) const;

  std::string Name;

 private:
  TComponent* FOwner = nullptr;
  std::vector<TComponent*> Children;               // every component naming us as owner
  std::vector<std::unique_ptr<TComponent>> Owned;  // the ones we free
};
