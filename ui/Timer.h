#pragma once
// A periodic timer: while enabled with a non-zero interval it runs OnTimer every
// Interval milliseconds. Setting the interval or enabling it starts a new period;
// enabling a running timer changes nothing.
#include <cstdint>
#include <memory>

#include "ui/Control.h"

class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner = nullptr);
  ~TTimer() override;

  bool GetEnabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  uint32_t GetInterval() const { return FInterval; }
  void SetInterval(uint32_t Value);

  // One tick, called by the backend. A tick that arrives while the handler of
  // the previous one still runs (a message pump inside it) is dropped.
  void Fire();

  TNotifyEvent OnTimer;

 private:
  void Changed();
  bool FEnabled = true;
  uint32_t FInterval = 1000;  // the toolkit's initial interval
  bool FFiring = false;
  std::unique_ptr<TPeer> FPeer;
};
