#include "net/transport/IdComponent.h"

#include "net/transport/IdStack.h"

namespace {
// Living network components; GlobalStack exists while this is above zero.
int LivingComponents = 0;

const char* StatusFormat(TIdStatus S) {
  switch (S) {
    case TIdStatus::Resolving:
      return "Resolving hostname %s.";
    case TIdStatus::Connecting:
      return "Connecting to %s.";
    case TIdStatus::Connected:
      return "Connected.";
    case TIdStatus::Disconnecting:
      return "Disconnecting from %s.";
    case TIdStatus::Disconnected:
      return "Not connected.";
    case TIdStatus::StatusText:
      return "%s";
  }
  return "%s";
}
}  // namespace

TIdComponent::TIdComponent(TComponent* AOwner) : TComponent(AOwner) {
  if (!GlobalStack) GlobalStack = CreatePlatformStack();
  ++LivingComponents;
}

TIdComponent::~TIdComponent() {
  if (--LivingComponents == 0) GlobalStack.reset();
}

int TIdComponent::InstanceCount() {
  return LivingComponents;
}

std::string TIdComponent::LocalName() const {
  return GlobalStack->LocalHostName();
}

void TIdComponent::SignalStatus(TIdStatus AStatus, const std::string& Arg) {
  if (!OnStatus) return;
  std::string fmt = StatusFormat(AStatus);
  std::string text;
  size_t p = fmt.find("%s");
  text = p == std::string::npos ? fmt : fmt.substr(0, p) + Arg + fmt.substr(p + 2);
  OnStatus(this, AStatus, text);
}

void TIdComponent::StartWork(TWorkMode AWorkMode, int64_t ASize) {
  WorkInfo& w = Work[AWorkMode];
  if (++w.Level == 1) {
    w.Max = ASize;
    w.Count = 0;
    if (OnWorkBegin) OnWorkBegin(this, AWorkMode, ASize);
  }
}

void TIdComponent::AddWork(TWorkMode AWorkMode, int64_t ACount) {
  WorkInfo& w = Work[AWorkMode];
  if (w.Level > 0) {
    w.Count += ACount;
    if (OnWork) OnWork(this, AWorkMode, w.Count);
  }
}

void TIdComponent::FinishWork(TWorkMode AWorkMode) {
  WorkInfo& w = Work[AWorkMode];
  if (w.Level == 1 && OnWorkEnd) OnWorkEnd(this, AWorkMode);
  if (w.Level > 0) --w.Level;
}
