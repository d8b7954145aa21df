#pragma once
// A list of text lines, one item a row, with a scroll bar when they do not
// fit. Read-only for the user: the program sets the items. Items are plain
// text, shown as written.
#include <string>
#include <utility>
#include <vector>

#include "ui/Control.h"

class TListBox : public TControl {
 public:
  using TControl::TControl;

  const std::vector<std::string>& GetItems() const { return FItems; }
  void SetItems(std::vector<std::string> Value) {
    FItems = std::move(Value);
    Changed();
  }

 private:
  std::vector<std::string> FItems;
};
