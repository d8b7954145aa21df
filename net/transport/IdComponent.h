#pragma once
// The base of every network component: keeps GlobalStack alive while any
// component exists and carries the status and work-progress events.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Component.h"

enum class TIdStatus {
  Resolving = 0,
  Connecting,
  Connected,
  Disconnecting,
  Disconnected,
  StatusText
};

enum TWorkMode { WorkRead = 0, WorkWrite = 1 };

class TIdComponent;
using TIdStatusEvent = std::function<void(TIdComponent* axSender, TIdStatus axStatus,
                                          const std::string& asStatusText)>;
using TWorkBeginEvent =
    std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode)>;

class TIdComponent : public TComponent {
 public:
  // The first component creates GlobalStack; raises when the stack cannot start.
  explicit TIdComponent(TComponent* AOwner = nullptr);
  // The last component destroys GlobalStack.
  ~TIdComponent() override;

  std::string LocalName() const;

  // Calls OnStatus, when assigned, with the status text formatted with Arg.
  void SignalStatus(TIdStatus AStatus, const std::string& Arg = std::string());
  virtual void StartWork(TWorkMode AWorkMode, int64_t ASize = 0);
  virtual void AddWork(TWorkMode AWorkMode, int64_t ACount);
  virtual void FinishWork(TWorkMode AWorkMode);

  TIdStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // Number of living components (the stack lives while it is above 0).
  static int InstanceCount();

 private:
  struct WorkInfo {
    int64_t Count = 0;
    int64_t Max = 0;
    int Level = 0;
  };
  WorkInfo Work[2];
};
