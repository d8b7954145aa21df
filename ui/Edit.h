#pragma once
// A single-line edit. The component holds the text; the backend writes what the
// user types into it (SetText) and calls DoExit when the focus leaves it. An
// edit with a PasswordChar shows that character for each one typed (a
// password); read by the backend when it makes the peer.
#include "ui/Control.h"

class TEdit : public TControl {
 public:
  using TControl::TControl;

  const std::string& GetText() const { return GetCaption(); }
  void SetText(const std::string& Value) { SetCaption(Value); }

  // The focus left the edit: runs OnExit.
  void DoExit() {
    if (OnExit) OnExit(this);
  }

  TNotifyEvent OnExit;
  char PasswordChar = '\0';  // '\0': the text is shown
};
