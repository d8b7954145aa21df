#include "ui/UpDown.h"

#include <algorithm>

#include "platform/Text.h"
#include "ui/Edit.h"

int TUpDown::Clamp(int Value) const {
  return std::clamp(Value, Min, std::max(Min, Max));
}

void TUpDown::SetAssociate(TEdit* Edit) {
  FAssociate = Edit;
  if (FAssociate) FAssociate->SetText(text::IntToStr(FPosition));
}

int TUpDown::GetPosition() {
  int v;
  if (FAssociate && text::TryStrToInt(text::Trim(FAssociate->GetText()), v)) FPosition = Clamp(v);
  return FPosition;
}

void TUpDown::SetPosition(int Value) {
  FPosition = Clamp(Value);
  if (FAssociate) FAssociate->SetText(text::IntToStr(FPosition));
  Changed();
}

void TUpDown::Click(TUDBtnType Button) {
  int p = GetPosition();
  if (Button == TUDBtnType::btNext)
    p = (p >= Max) ? (Wrap ? Min : Max) : p + 1;
  else
    p = (p <= Min) ? (Wrap ? Max : Min) : p - 1;
  SetPosition(p);
}
