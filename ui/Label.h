#pragma once
// A static text; its caption is what it shows. With WordWrap the text breaks
// into lines within the label's width. A label with OnClick acts as a link.
#include "ui/Control.h"

class TLabel : public TControl {
 public:
  using TControl::TControl;

  // A press on the label: runs OnClick.
  void Click() {
    if (OnClick) OnClick(this);
  }

  bool WordWrap = false;
  TNotifyEvent OnClick;
};
