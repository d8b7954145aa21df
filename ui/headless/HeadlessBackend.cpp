#include "ui/headless/HeadlessBackend.h"

#include <algorithm>
#include <cstring>

#include "ui/Application.h"
#include "ui/Form.h"
#include "ui/Timer.h"

namespace {
constexpr double kMsPerDay = 86400000.0;

// A form's peer only notes when its visibility changes.
class FormPeer : public TPeer {
 public:
  FormPeer(TForm& F, THeadlessBackend& B) : Form(F), Backend(B), Visible(F.GetVisible()) {
    Backend.VisibilityLog.emplace_back(Form.Name, Visible);
  }
  void Changed() override {
    if (Form.GetVisible() == Visible) return;
    Visible = Form.GetVisible();
    Backend.VisibilityLog.emplace_back(Form.Name, Visible);
  }

 private:
  TForm& Form;
  THeadlessBackend& Backend;
  bool Visible;
};
}  // namespace

// A timer's schedule on the virtual clock: armed while the timer is enabled
// with a non-zero interval, due one interval after it was armed.
class THeadlessBackend::TimerPeer : public TPeer {
 public:
  TimerPeer(TTimer& T, THeadlessBackend& B) : Timer(T), Backend(B) {
    Backend.FTimers.push_back(this);
  }
  ~TimerPeer() override {
    auto& v = Backend.FTimers;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  void Changed() override {
    Armed = Timer.GetEnabled() && Timer.GetInterval() > 0;
    Due = Backend.FNowMs + Timer.GetInterval();
  }
  TTimer& Timer;
  THeadlessBackend& Backend;
  bool Armed = false;
  int64_t Due = 0;
};

THeadlessBackend::THeadlessBackend(TDateTime Start)
    : FStart(Start != 0 ? Start : EncodeDate(2026, 1, 1) + EncodeTime(12, 0, 0, 0)) {}

THeadlessBackend::~THeadlessBackend() = default;

TDateTime THeadlessBackend::Now() {
  return FStart + static_cast<double>(FNowMs) / kMsPerDay;
}

std::unique_ptr<TPeer> THeadlessBackend::CreatePeer(TControl& Control) {
  if (auto* f = dynamic_cast<TForm*>(&Control)) return std::make_unique<FormPeer>(*f, *this);
  return nullptr;
}

std::unique_ptr<TPeer> THeadlessBackend::CreateTimerPeer(TTimer& Timer) {
  return std::make_unique<TimerPeer>(Timer, *this);
}

void THeadlessBackend::Advance(int64_t Milliseconds) {
  const int64_t target = FNowMs + std::max<int64_t>(Milliseconds, 0);
  for (;;) {
    // The earliest due timer (creation order breaks ties), looked up afresh
    // each time because a handler can start, stop or free timers.
    TimerPeer* next = nullptr;
    for (TimerPeer* t : FTimers)
      if (t->Armed && t->Due <= target && (!next || t->Due < next->Due)) next = t;
    if (!next) break;
    FNowMs = std::max(FNowMs, next->Due);
    FireDue();
  }
  // A handler that blocked may have carried the clock past the target.
  FNowMs = std::max(FNowMs, target);
}

void THeadlessBackend::FireDue() {
  // Collect first: a handler may change the list.
  std::vector<TTimer*> due;
  for (TimerPeer* t : FTimers) {
    if (!t->Armed || t->Due > FNowMs) continue;
    // A tick that comes late (the thread was blocked) stands for all the
    // periods missed, as in a real message queue; the rhythm is kept.
    while (t->Due <= FNowMs) t->Due += t->Timer.GetInterval();
    due.push_back(&t->Timer);
  }
  for (TTimer* timer : due) {
    bool alive = std::any_of(FTimers.begin(), FTimers.end(),
                             [&](TimerPeer* t) { return &t->Timer == timer; });
    if (!alive) continue;
    if (Application)
      Application->TimerTick(*timer);
    else
      timer->Fire();
  }
}

void THeadlessBackend::ProcessMessages() {
  ++ProcessMessagesCalls;
  while (!FQueue.empty()) {
    Posted p = FQueue.front();
    FQueue.pop_front();
    if (!Application) continue;
    if (TForm* f = Application->FindForm(p.Handle))
      Application->Invoke([&] { f->Perform(p.Msg, p.WParam, p.LParam); });
  }
  FireDue();
}

void THeadlessBackend::Run() {
  // The test is the message loop: Run delivers what is queued and returns.
  RunCalled = true;
  ProcessMessages();
}

void THeadlessBackend::Terminate() {
  Terminated = true;
}

void THeadlessBackend::PostMessage(uint32_t Handle, unsigned Msg, uintptr_t WParam,
                                   intptr_t LParam) {
  FQueue.push_back({Handle, Msg, WParam, LParam});
}

int THeadlessBackend::MessageBox(const std::string& Text, const std::string& Caption,
                                 unsigned Flags) {
  const Box box{Text, Caption, Flags};
  MessageBoxes.push_back(box);
  if (OnMessageBox) OnMessageBox(box);
  return MessageBoxAnswer;
}

int THeadlessBackend::ShowModal(TForm& Form) {
  ModalForms.push_back(&Form);
  Form.Show();
  if (OnShowModal) OnShowModal(Form);
  if (Form.ModalResult == mrNone) Form.ModalResult = mrCancel;
  return Form.ModalResult;
}

void THeadlessBackend::Popup(TPopupMenu& Menu, int X, int Y) {
  Popups.push_back({&Menu, X, Y});
  if (OnPopup) OnPopup(Menu);
}

bool THeadlessBackend::NotifyIcon(unsigned Code, const TNotifyIconData& Data) {
  TrayRequests.push_back({Code, Data});
  std::string tip(Data.szTip, strnlen(Data.szTip, sizeof Data.szTip));
  switch (Code) {
    case NIM_ADD:
      if (TrayIconPresent) return false;
      TrayIconPresent = true;
      TrayTip = tip;
      return true;
    case NIM_MODIFY:
      if (!TrayIconPresent) return false;
      if (Data.uFlags & NIF_TIP) TrayTip = tip;
      return true;
    case NIM_DELETE:
      if (!TrayIconPresent) return false;
      TrayIconPresent = false;
      return true;
    default:
      return false;
  }
}

bool THeadlessBackend::ShowBalloon(const TNotifyBalloon& Balloon) {
  Balloons.push_back(Balloon);
  // Shown only from an icon that is there, as the notification area does.
  return TrayIconPresent;
}
