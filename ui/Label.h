#pragma once
// A static text; its caption is what it shows.
#include "ui/Control.h"

class TLabel : public TControl {
 public:
  using TControl::TControl;
};
