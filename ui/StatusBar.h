#pragma once
// A status bar along the bottom of its form, divided into panels.
#include <memory>
#include <vector>

#include "ui/Control.h"

class TStatusBar;

class TStatusPanel {
 public:
  TStatusPanel(TStatusBar& Bar, int AWidth) : FBar(Bar), Width(AWidth) {}
  const std::string& GetText() const { return FText; }
  void SetText(const std::string& Value);

 private:
  TStatusBar& FBar;
  std::string FText;

 public:
  int Width;  // pixels; the last panel takes the rest of the bar
};

class TStatusPanels {
 public:
  explicit TStatusPanels(TStatusBar& Bar) : FBar(Bar) {}
  TStatusPanel& Add(int Width);
  int Count() const { return static_cast<int>(FItems.size()); }
  // Raises EListError for an index outside the list.
  TStatusPanel& operator[](int Index) const;

 private:
  TStatusBar& FBar;
  std::vector<std::unique_ptr<TStatusPanel>> FItems;
};

class TStatusBar : public TControl {
 public:
  explicit TStatusBar(TComponent* AOwner = nullptr) : TControl(AOwner), Panels(*this) {}
  TStatusPanels Panels;
};
