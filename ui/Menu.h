#pragma once
// Menus: a menu bar on a form (TMainMenu) and a pop-up menu (TPopupMenu), both
// lists of TMenuItem. An item whose caption is "-" is a separator line.
#include <string>
#include <vector>

#include "ui/Control.h"

class TMenuItem : public TComponent {
 public:
  using TComponent::TComponent;

  // A choice of the item: runs OnClick.
  void Click() {
    if (OnClick) OnClick(this);
  }
  bool IsLine() const { return Caption == "-"; }

  std::string Caption;
  bool Enabled = true;
  TNotifyEvent OnClick;
};

class TMenu : public TComponent {
 public:
  using TComponent::TComponent;

  // A new item at the end, owned by this menu's owner (the form) like every
  // component placed on it.
  TMenuItem* Add(const std::string& AName, const std::string& ACaption, TNotifyEvent AOnClick = {});
  // The item with this caption, or null.
  TMenuItem* Find(const std::string& ACaption) const;

  std::vector<TMenuItem*> Items;
};

class TMainMenu : public TMenu {
 public:
  using TMenu::TMenu;
};

class TPopupMenu : public TMenu {
 public:
  using TMenu::TMenu;
  // Opens the menu at screen position (X, Y); the chosen item's OnClick runs.
  void Popup(int X, int Y);
};
