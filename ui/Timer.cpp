#include "ui/Timer.h"

#include "ui/Application.h"

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner) {
  if (Application) FPeer = Application->Backend().CreateTimerPeer(*this);
  Changed();
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool Value) {
  if (FEnabled == Value) return;
  FEnabled = Value;
  Changed();
}

void TTimer::SetInterval(uint32_t Value) {
  if (FInterval == Value) return;
  FInterval = Value;
  Changed();
}

void TTimer::Changed() {
  if (FPeer) FPeer->Changed();
}

void TTimer::Fire() {
  if (FFiring || !FEnabled || !OnTimer) return;
  FFiring = true;
  struct Reset {
    bool& b;
    ~Reset() { b = false; }
  } reset{FFiring};
  OnTimer(this);
}
