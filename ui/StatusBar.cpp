#include "ui/StatusBar.h"

#include "platform/Exception.h"

void TStatusPanel::SetText(const std::string& Value) {
  if (FText == Value) return;
  FText = Value;
  FBar.Changed();
}

TStatusPanel& TStatusPanels::Add(int Width) {
  FItems.push_back(std::make_unique<TStatusPanel>(FBar, Width));
  FBar.Changed();
  return *FItems.back();
}

TStatusPanel& TStatusPanels::operator[](int Index) const {
  if (Index < 0 || Index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  return *FItems[static_cast<size_t>(Index)];
}
