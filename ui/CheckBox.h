#pragma once
// A check box with its caption beside it.
#include "ui/Control.h"

class TCheckBox : public TControl {
 public:
  using TControl::TControl;

  bool GetChecked() const { return FChecked; }
  void SetChecked(bool Value) {
    if (FChecked == Value) return;
    FChecked = Value;
    Changed();
    if (OnClick) OnClick(this);
  }

  TNotifyEvent OnClick;

 private:
  bool FChecked = false;
};
