#include "ui/Form.h"

#include "ui/Application.h"
#include "ui/BitBtn.h"

namespace {
// The first visible, enabled button shown on Parent (at any depth) for which
// Wanted holds.
template <class P>
TBitBtn* FindButton(TControl& Parent, P Wanted) {
  for (TControl* c : Parent.Controls()) {
    if (!c->GetVisible() || !c->GetEnabled()) continue;
    if (auto* b = dynamic_cast<TBitBtn*>(c); b && Wanted(*b)) return b;
    if (TBitBtn* b = FindButton(*c, Wanted)) return b;
  }
  return nullptr;
}
}  // namespace

TForm::TForm(TComponent* AOwner)
    : TControl(AOwner), FHandle(Application ? Application->AllocateHandle() : 1) {
  // A form starts hidden; Show makes it visible.
  SetVisible(false);
}

TForm::~TForm() = default;

void TForm::Show() {
  if (!GetVisible() && OnShow) OnShow(this);
  SetVisible(true);
  if (FWindowState == TWindowState::wsMinimized) SetWindowState(TWindowState::wsNormal);
  CreateHandle();
  Changed();  // bring to front even when it was visible already
}

void TForm::Hide() {
  if (!GetVisible()) return;
  SetVisible(false);
  if (OnHide) OnHide(this);
}

void TForm::Close() {
  TCloseAction action = TCloseAction::caHide;
  if (OnClose) OnClose(this, action);
  if (action == TCloseAction::caNone) return;
  if (InModalLoop) {
    if (ModalResult == mrNone) ModalResult = mrCancel;
    return;
  }
  if (Application && Application->MainForm == this) {
    Application->Terminate();
    return;
  }
  if (action == TCloseAction::caMinimize)
    SetWindowState(TWindowState::wsMinimized);
  else
    Hide();
}

int TForm::ShowModal() {
  if (!Application) return mrNone;
  ModalResult = mrNone;
  InModalLoop = true;
  struct Reset {
    bool& b;
    ~Reset() { b = false; }
  } reset{InModalLoop};
  int r = Application->Backend().ShowModal(*this);
  Hide();
  return r;
}

void TForm::DoCreate() {
  if (!OnCreate) return;
  if (Application)
    Application->Invoke([&] { OnCreate(this); });
  else
    OnCreate(this);
}

intptr_t TForm::Perform(unsigned Msg, uintptr_t WParam, intptr_t LParam) {
  TMessage m{Msg, WParam, LParam, 0};
  WndProc(m);
  return m.Result;
}

void TForm::WndProc(TMessage& Message) {
  Dispatch(Message);
}

void TForm::Dispatch(TMessage& Message) {
  if (Message.Msg == WM_SYSCOMMAND)
    WMSysCommand(Message);
  else
    DefaultHandler(Message);
}

void TForm::WMSysCommand(TMessage& Message) {
  DefaultHandler(Message);
}

void TForm::DefaultHandler(TMessage& Message) {
  if (Message.Msg == WM_KEYDOWN) {
    TBitBtn* b = nullptr;
    if (Message.WParam == VK_ESCAPE)
      b = FindButton(*this, [](TBitBtn& x) { return x.Cancel; });
    else if (Message.WParam == VK_RETURN)
      b = FindButton(*this, [](TBitBtn& x) { return x.Default; });
    if (b) {
      b->Click();
      Message.Result = 1;
    }
    return;
  }
  if (Message.Msg != WM_SYSCOMMAND) return;
  // The low four bits of a system command are the system's own.
  switch (Message.WParam & 0xFFF0) {
    case SC_MINIMIZE:
      SetWindowState(TWindowState::wsMinimized);
      break;
    case SC_RESTORE:
      SetWindowState(TWindowState::wsNormal);
      break;
    case SC_CLOSE:
      Close();
      break;
    default:
      break;
  }
}

void TForm::SetWindowState(TWindowState Value) {
  if (FWindowState == Value) return;
  FWindowState = Value;
  Changed();
}

TForm* GetParentForm(TControl* Control) {
  for (TControl* c = Control; c; c = c->GetParent())
    if (auto* f = dynamic_cast<TForm*>(c)) return f;
  return nullptr;
}
