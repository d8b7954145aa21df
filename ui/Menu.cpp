#include "ui/Menu.h"

#include "ui/Application.h"

TMenuItem* TMenu::Add(const std::string& AName, const std::string& ACaption,
                      TNotifyEvent AOnClick) {
  TComponent* home = Owner() ? Owner() : this;
  auto* item = TComponent::Create<TMenuItem>(*home);
  item->Name = AName;
  item->Caption = ACaption;
  item->OnClick = std::move(AOnClick);
  Items.push_back(item);
  return item;
}

TMenuItem* TMenu::Find(const std::string& ACaption) const {
  for (TMenuItem* i : Items)
    if (i->Caption == ACaption) return i;
  return nullptr;
}

void TPopupMenu::Popup(int X, int Y) {
  if (Application) Application->Backend().Popup(*this, X, Y);
}
