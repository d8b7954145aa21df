#include "ui/BitBtn.h"

#include "ui/Form.h"

void TBitBtn::Click() {
  TForm* form = GetParentForm(this);
  if (form && ModalResult != 0) form->ModalResult = ModalResult;
  if (Kind == TBitBtnKind::bkClose && form) {
    form->Close();
    return;
  }
  if (OnClick) OnClick(this);
}
