// The component layer on the headless backend: spin controls bound to edits,
// buttons, timers on the virtual clock (rhythm, restarts, re-entrancy), the
// application's exception handler, window messages and the notification area.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "ui/Application.h"
#include "ui/BitBtn.h"
#include "ui/Edit.h"
#include "ui/Form.h"
#include "ui/Menu.h"
#include "ui/NotifyIcon.h"
#include "ui/StatusBar.h"
#include "ui/Timer.h"
#include "ui/UpDown.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

class UiTest : public ::testing::Test {
 protected:
  UiTest() {
    auto b = std::make_unique<THeadlessBackend>();
    ui = b.get();
    app = std::make_unique<TApplication>(std::move(b), "/opt/corvale/Corvale");
  }
  THeadlessBackend* ui;
  std::unique_ptr<TApplication> app;
};

TEST(TitleTest, FileNameCutAtFirstDotFirstLetterKeptRestLowered) {
  struct Case {
    const char* exe;
    const char* title;
  } cases[] = {
      {"/opt/corvale/Corvale", "Corvale"},
      {"C:\\Tools\\Corvale.exe", "Corvale"},
      {"/x/CORVALE.bin.old", "Corvale"},
      {"/x/corVALE", "corvale"},
      {"/x/.hidden", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TApplication::TitleFromExeName(c.exe), c.title) << c.exe;
}

TEST_F(UiTest, UpDownFollowsItsEditClampsAndStepsWithoutWrap) {
  TForm f;
  auto* e = TComponent::Create<TEdit>(f);
  auto* u = TComponent::Create<TUpDown>(f);
  u->Min = 0;
  u->Max = 48;
  u->SetPosition(48);
  u->SetAssociate(e);
  EXPECT_EQ(e->GetText(), "48");

  e->SetText("30");
  EXPECT_EQ(u->GetPosition(), 30);
  e->SetText("200");
  EXPECT_EQ(u->GetPosition(), 48) << "a typed value beyond the range is held at Max";
  e->SetText("abc");
  EXPECT_EQ(u->GetPosition(), 48) << "text that is no number keeps the last position";

  u->Click(TUDBtnType::btNext);
  EXPECT_EQ(e->GetText(), "48") << "no wrap: the arrow stops at Max";
  u->Click(TUDBtnType::btPrev);
  EXPECT_EQ(e->GetText(), "47");
  u->SetPosition(-5);
  EXPECT_EQ(e->GetText(), "0");
  u->Click(TUDBtnType::btPrev);
  EXPECT_EQ(e->GetText(), "0");
  u->Wrap = true;
  u->Click(TUDBtnType::btPrev);
  EXPECT_EQ(e->GetText(), "48");
}

TEST_F(UiTest, CloseKindButtonClosesItsFormAndMainFormEndsTheApplication) {
  bool closed = false;
  auto* main = app->CreateForm<TForm>();
  auto* other = app->CreateForm<TForm>();
  for (TForm* f : {main, other}) {
    auto* b = TComponent::Create<TBitBtn>(*f);
    b->SetParent(f);
    b->Kind = TBitBtnKind::bkClose;
    f->OnClose = [&](TComponent*, TCloseAction&) { closed = true; };
    f->Show();
  }
  dynamic_cast<TBitBtn*>(other->Components(0))->Click();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(other->GetVisible()) << "a secondary form hides";
  EXPECT_FALSE(app->Terminated());
  dynamic_cast<TBitBtn*>(main->Components(0))->Click();
  EXPECT_TRUE(app->Terminated());
  EXPECT_TRUE(ui->Terminated);
}

// OnShow runs while the form is still hidden (what it draws is ready before
// anyone sees it), OnHide once it is hidden; each only on an actual change.
TEST_F(UiTest, ShowAndHideEventsRunOnlyWhenTheVisibilityChanges) {
  auto* f = app->CreateForm<TForm>();
  std::vector<std::string> events;
  f->OnShow = [&](TComponent*) { events.emplace_back(f->GetVisible() ? "show seen" : "show"); };
  f->OnHide = [&](TComponent*) { events.emplace_back(f->GetVisible() ? "hide seen" : "hide"); };
  f->Hide();
  f->Show();
  f->Show();
  f->Hide();
  f->Hide();
  f->Show();
  EXPECT_EQ(events, (std::vector<std::string>{"show", "hide", "show"}));
}

TEST_F(UiTest, TimerFiresEveryIntervalOnTheVirtualClock) {
  TTimer t;
  std::vector<int64_t> at;
  t.OnTimer = [&](TComponent*) { at.push_back(ui->ElapsedMs()); };
  t.SetInterval(1000);
  ui->Advance(3500);
  EXPECT_EQ(at, (std::vector<int64_t>{1000, 2000, 3000}));

  at.clear();
  t.SetEnabled(true);  // already running: keeps its rhythm
  ui->Advance(600);
  EXPECT_EQ(at, (std::vector<int64_t>{4000}));

  at.clear();
  t.SetInterval(2000);  // a new interval starts a new period now (4100)
  ui->Advance(4000);
  EXPECT_EQ(at, (std::vector<int64_t>{6100, 8100}));

  at.clear();
  t.SetEnabled(false);
  ui->Advance(10000);
  t.SetInterval(0);
  t.SetEnabled(true);
  ui->Advance(10000);
  EXPECT_TRUE(at.empty()) << "a stopped timer and a zero interval never fire";
}

TEST_F(UiTest, ProcessMessagesInsideAHandlerRunsOtherDueTimersButNeverTheSameOne) {
  TTimer slow;
  TTimer fast;
  int slowRuns = 0;
  int fastRuns = 0;
  int nested = 0;
  fast.SetInterval(100);
  slow.SetInterval(1000);
  fast.OnTimer = [&](TComponent*) { ++fastRuns; };
  slow.OnTimer = [&](TComponent*) {
    ++slowRuns;
    // A long operation: time passes, then it lets pending messages run.
    int before = fastRuns;
    ui->Block(2500);  // both timers come due while the handler blocks
    EXPECT_EQ(fastRuns, before) << "nothing runs while the thread is blocked";
    app->ProcessMessages();
    nested += fastRuns - before;
  };
  ui->Advance(1000);
  EXPECT_EQ(slowRuns, 1) << "the slow timer is not re-entered from its own pump";
  EXPECT_EQ(nested, 1) << "the fast timer runs once inside the slow one's pump";
}

TEST_F(UiTest, ExceptionLeavingATimerHandlerIsShownInAMessageBox) {
  TTimer t;
  t.SetInterval(50);
  t.OnTimer = [&](TComponent*) { text::StrToInt("x1"); };
  ui->Advance(50);
  ASSERT_EQ(ui->MessageBoxes.size(), 1u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "'x1' is not a valid integer value");
  EXPECT_EQ(ui->MessageBoxes[0].Caption, "Corvale");

  std::string seen;
  app->OnException = [&](const std::exception& e) { seen = e.what(); };
  t.OnTimer = [&](TComponent*) { throw std::runtime_error("boom"); };
  ui->Advance(50);
  EXPECT_EQ(seen, "boom");
  EXPECT_EQ(ui->MessageBoxes.size(), 1u);
}

TEST_F(UiTest, SystemCommandsAndPostedMessagesReachWndProc) {
  struct Spy : TForm {
    using TForm::TForm;
    std::vector<unsigned> seen;
    void WndProc(TMessage& M) override {
      seen.push_back(M.Msg);
      TForm::WndProc(M);
    }
  };
  Spy* f = app->CreateForm<Spy>();
  f->Show();
  f->Perform(WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_EQ(f->GetWindowState(), TWindowState::wsMinimized);
  f->Show();
  EXPECT_EQ(f->GetWindowState(), TWindowState::wsNormal) << "showing restores";

  ui->PostMessage(f->Handle(), WM_USER + 1, 100, WM_LBUTTONDBLCLK);
  EXPECT_EQ(f->seen.size(), 1u) << "posted messages wait for the pump";
  app->ProcessMessages();
  ASSERT_EQ(f->seen.size(), 2u);
  EXPECT_EQ(f->seen[1], WM_USER + 1);

  f->Perform(WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(app->Terminated()) << "closing the main form ends the application";
}

TEST_F(UiTest, NotifyIconRequestsAreRecordedWithTheirRecord) {
  TNotifyIconData d{};
  d.cbSize = sizeof d;
  d.uID = 100;
  d.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  std::strncpy(d.szTip, "Corvale", sizeof d.szTip - 1);
  EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &d)) << "no icon yet";
  EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &d));
  std::strncpy(d.szTip, "Corvale - 192.0.2.1", sizeof d.szTip - 1);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &d));
  EXPECT_EQ(ui->TrayTip, "Corvale - 192.0.2.1");
  EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &d));
  EXPECT_FALSE(ui->TrayIconPresent);
  EXPECT_EQ(ui->TrayRequests.size(), 4u);
}

TEST_F(UiTest, PopupAtCursorAndModalForm) {
  auto* f = app->CreateForm<TForm>();
  auto* m = TComponent::Create<TPopupMenu>(*f);
  int clicks = 0;
  m->Add("A1", "A", [&](TComponent*) { ++clicks; });
  m->Add("N1", "-");
  ui->Cursor = {640, 12};
  ui->OnPopup = [](TPopupMenu& menu) { menu.Items[0]->Click(); };
  TPoint p;
  ASSERT_TRUE(GetCursorPos(p));
  m->Popup(p.X, p.Y);
  ASSERT_EQ(ui->Popups.size(), 1u);
  EXPECT_EQ(ui->Popups[0].X, 640);
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(m->Items[1]->IsLine());

  auto* box = app->CreateForm<TForm>();
  auto* ok = TComponent::Create<TBitBtn>(*box);
  ok->SetParent(box);
  ok->ModalResult = mrOk;
  ui->OnShowModal = [&](TForm&) { ok->Click(); };
  EXPECT_EQ(box->ShowModal(), mrOk);
  EXPECT_FALSE(box->GetVisible());
  ui->OnShowModal = [&](TForm& F) { F.Close(); };
  EXPECT_EQ(box->ShowModal(), mrCancel) << "closing a modal form cancels it";
  EXPECT_FALSE(app->Terminated());
}

TEST_F(UiTest, StatusPanelsRefuseAnIndexOutsideTheList) {
  TStatusBar bar;
  bar.Panels.Add(100);
  bar.Panels[0].SetText("x");
  EXPECT_EQ(bar.Panels[0].GetText(), "x");
  EXPECT_THROW(bar.Panels[1], EListError);
  EXPECT_THROW(bar.Panels[-1], EListError);
}

TEST_F(UiTest, OwnerFreesControlsAndTheirParentLinks) {
  auto f = std::make_unique<TForm>();
  auto* e = TComponent::Create<TEdit>(*f);
  e->SetParent(f.get());
  EXPECT_EQ(f->Controls().size(), 1u);
  f->CreateHandle();
  f.reset();  // must not touch the freed form from the edit's destructor (ASan)
  SUCCEED();
}

}  // namespace
