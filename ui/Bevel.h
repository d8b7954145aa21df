#pragma once
// A sunken line or frame that groups controls; it draws nothing else.
#include "ui/Control.h"

enum class TBevelShape { bsBox, bsTopLine };

class TBevel : public TControl {
 public:
  using TControl::TControl;

  TBevelShape Shape = TBevelShape::bsBox;
};
