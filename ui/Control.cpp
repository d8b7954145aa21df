#include "ui/Control.h"

#include <algorithm>

#include "ui/Application.h"

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {}

TControl::~TControl() {
  // The controls shown here may outlive this one for a moment (the owner frees
  // them after us): cut them loose and free their peers before ours, so that no
  // toolkit object is freed twice.
  for (TControl* c : FControls) {
    c->DestroyHandle();
    c->FParent = nullptr;
  }
  FPeer.reset();
  if (FParent) {
    auto& v = FParent->FControls;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
}

void TControl::SetParent(TControl* AParent) {
  if (AParent == FParent) return;
  DestroyHandle();
  if (FParent) {
    auto& v = FParent->FControls;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  FParent = AParent;
  if (FParent) {
    FParent->FControls.push_back(this);
    if (FParent->HandleAllocated()) CreateHandle();
  }
}

void TControl::SetVisible(bool Value) {
  if (FVisible == Value) return;
  FVisible = Value;
  Changed();
}

void TControl::SetEnabled(bool Value) {
  if (FEnabled == Value) return;
  FEnabled = Value;
  Changed();
}

void TControl::SetCaption(const std::string& Value) {
  if (FCaption == Value) return;
  FCaption = Value;
  Changed();
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  FLeft = ALeft;
  FTop = ATop;
  FWidth = AWidth;
  FHeight = AHeight;
  Changed();
}

void TControl::CreateHandle() {
  if (!FPeer && Application) FPeer = Application->Backend().CreatePeer(*this);
  for (TControl* c : FControls) c->CreateHandle();
}

void TControl::DestroyHandle() {
  for (TControl* c : FControls) c->DestroyHandle();
  FPeer.reset();
}

void TControl::Changed() {
  if (FPeer) FPeer->Changed();
}
