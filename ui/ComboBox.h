#pragma once
// A drop-down list: one of its items is chosen, none is typed. The component
// holds the items and the choice; the backend writes the user's pick into it
// (SetItemIndex), which runs OnChange.
#include <string>
#include <utility>
#include <vector>

#include "ui/Control.h"

class TComboBox : public TControl {
 public:
  using TControl::TControl;

  const std::vector<std::string>& GetItems() const { return FItems; }
  // New items; the choice is cleared (-1).
  void SetItems(std::vector<std::string> Value) {
    FItems = std::move(Value);
    FItemIndex = -1;
    Changed();
  }

  // The chosen item's position, -1 for none.
  int GetItemIndex() const { return FItemIndex; }
  // Chooses the item at Value; one out of range chooses none. A change runs
  // OnChange.
  void SetItemIndex(int Value) {
    if (Value < -1 || Value >= static_cast<int>(FItems.size())) Value = -1;
    if (Value == FItemIndex) return;
    FItemIndex = Value;
    Changed();
    if (OnChange) OnChange(this);
  }
  // The chosen item, empty for none.
  std::string GetText() const {
    return FItemIndex < 0 ? std::string() : FItems[static_cast<size_t>(FItemIndex)];
  }

  TNotifyEvent OnChange;

 private:
  std::vector<std::string> FItems;
  int FItemIndex = -1;
};
