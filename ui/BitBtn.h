#pragma once
// A push button with a glyph chosen by its kind. A close-kind button closes the
// form that holds it; a button with a ModalResult ends its modal form with it.
// The form's Default button is pressed by the Enter key, its Cancel button by
// Escape.
#include "ui/Control.h"

enum class TBitBtnKind { bkCustom, bkOK, bkCancel, bkRetry, bkClose };

class TBitBtn : public TControl {
 public:
  using TControl::TControl;

  // What a press does: the kind's own action, then OnClick.
  void Click();

  TBitBtnKind Kind = TBitBtnKind::bkCustom;
  int ModalResult = 0;
  bool Default = false;
  bool Cancel = false;
  TNotifyEvent OnClick;
};
