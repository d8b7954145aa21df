#pragma once
// A pair of arrows bound to an edit (its Associate). The position follows the
// edit's text and is kept within Min..Max; the arrows step it by one and write
// it back into the edit.
#include "ui/Control.h"

class TEdit;

enum class TUDBtnType { btNext, btPrev };

class TUpDown : public TControl {
 public:
  using TControl::TControl;

  TEdit* GetAssociate() const { return FAssociate; }
  // Binds the edit and writes the current position into it.
  void SetAssociate(TEdit* Edit);

  // The edit's text as a number within Min..Max; when the text is not a
  // number, the last position.
  int GetPosition();
  // Keeps Value within Min..Max and shows it in the edit.
  void SetPosition(int Value);

  // One press of an arrow: up (btNext) or down (btPrev). Past the range end the
  // position stops there, or starts again at the other end when Wrap is set.
  void Click(TUDBtnType Button);

  int Min = 0;
  int Max = 100;
  bool Wrap = false;

 private:
  int Clamp(int Value) const;
  TEdit* FAssociate = nullptr;
  int FPosition = 0;
};
