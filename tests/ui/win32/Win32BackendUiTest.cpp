// The real main window on the Win32 backend, checked with the system's own
// calls: what the window, its controls, the status bar, the up-downs and the
// menus hold, and how window messages, the notification area and the about
// window behave. Runs under Wine on an X display (scripts/wine-desktop-run).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Form1.h"
#include "platform/Files.h"
#include "ui/Application.h"
#include "ui/NotifyIcon.h"
#include "ui/win32/Win32Backend.h"
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

namespace {

namespace fs = std::filesystem;

HWND H(const TControl* C) {
  return static_cast<HWND>(Win32Window(*C));
}

std::string Text(HWND W) {
  char buf[512] = {};
  GetWindowTextA(W, buf, sizeof buf);
  return buf;
}

std::string ClassOf(HWND W) {
  char buf[128] = {};
  GetClassNameA(W, buf, sizeof buf);
  std::string s = buf;
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

int Scaled(int V) {
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return MulDiv(V, dpi, 96);
}

// What a thread timer saw while a modal loop (a pop-up menu, the about window)
// was running; the timer repeats until it has acted, so nothing depends on
// how long the loop takes to come up.
struct Watch {
  std::vector<std::string> MenuItems;
  bool MainEnabled = true;
  std::wstring AboutCaption;
  std::vector<std::string> AboutTexts;
  HWND Main = nullptr;
  HWND About = nullptr;
  bool AboutStayedInFront = false;
  bool BoxOutlivedTheEnd = false;
  bool Done = false;
};
Watch* gWatch = nullptr;  // the timer procedure's view of the running test

void CALLBACK CloseMenu(HWND, UINT, UINT_PTR Id, DWORD) {
  HWND menu = FindWindowA("#32768", nullptr);
  if (!menu || !IsWindowVisible(menu)) return;
  auto* m = reinterpret_cast<HMENU>(SendMessageA(menu, MN_GETHMENU, 0, 0));
  for (int i = 0; m && i < GetMenuItemCount(m); ++i) {
    char buf[64] = {};
    GetMenuStringA(m, static_cast<UINT>(i), buf, sizeof buf, MF_BYPOSITION);
    gWatch->MenuItems.emplace_back(buf[0] ? buf : "-");
  }
  gWatch->Done = true;
  KillTimer(nullptr, Id);
  EndMenu();
}

BOOL CALLBACK CollectText(HWND W, LPARAM) {
  gWatch->AboutTexts.push_back(Text(W));
  return TRUE;
}

class Win32MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("corvale-win32-" + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(Dir);
    App = std::make_unique<TApplication>(CreateWin32Backend(), (Dir / "Corvale.exe").string());
    App->ShowMainForm = false;
    // Nothing listens on the discard port: a check fails at once.
    App->CreateForm<TForm1>([](TForm1& F) {
      F.EchoHost = "127.0.0.1:9";
      F.DNSServer = "127.0.0.1";
      F.DNSPort = 9;
    });
    Form = Form1;
    ASSERT_NE(Form, nullptr);
    W = H(Form);
    ASSERT_NE(W, nullptr);
  }
  void TearDown() override {
    App.reset();
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  void Pump() { App->ProcessMessages(); }
  // The notification area's answer to a request for the window's icon 100.
  bool TrayDelete() {
    NOTIFYICONDATAA n{};
    n.cbSize = NOTIFYICONDATAA_V1_SIZE;
    n.hWnd = W;
    n.uID = 100;
    return Shell_NotifyIconA(NIM_DELETE, &n) != FALSE;
  }

  fs::path Dir;
  std::unique_ptr<TApplication> App;
  TForm1* Form = nullptr;
  HWND W = nullptr;
};

TEST_F(Win32MainWindow, WindowAndControlsAreAsDesigned) {
  EXPECT_EQ(Text(W), "Corvale");
  EXPECT_TRUE(IsWindowVisible(W));
  const LONG style = GetWindowLongA(W, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  RECT client{};
  GetClientRect(W, &client);
  EXPECT_EQ(client.right, Scaled(403));
  EXPECT_EQ(client.bottom, Scaled(254));
  // Centred in the work area.
  RECT outer{};
  RECT area{};
  GetWindowRect(W, &outer);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  EXPECT_LE(std::abs((outer.left + outer.right) - (area.left + area.right)), 1);
  EXPECT_LE(std::abs((outer.top + outer.bottom) - (area.top + area.bottom)), 1);

  struct Row {
    TControl* Control;
    const char* Class;
    const char* Text;
    LONG Style;  // bits that must be set
  };
  const Row rows[] = {
      {Form->Label1, "static", "Name", SS_NOPREFIX},
      {Form->Edit1, "edit", "", WS_TABSTOP | ES_AUTOHSCROLL},
      {Form->Label2, "static", "Email", SS_NOPREFIX},
      {Form->Edit2, "edit", "", WS_TABSTOP},
      {Form->Label3, "static", "Check Every", SS_NOPREFIX},
      {Form->Edit3, "edit", "48", WS_TABSTOP},
      {Form->UpDown1, "msctls_updown32", "", 0},
      {Form->Label4, "static", "hours", SS_NOPREFIX},
      {Form->Edit4, "edit", "0", WS_TABSTOP},
      {Form->UpDown2, "msctls_updown32", "", 0},
      {Form->Label5, "static", "mins", SS_NOPREFIX},
      {Form->CheckBox1, "button", "Start Minimized", WS_TABSTOP | BS_AUTOCHECKBOX},
      {Form->BitBtn1, "button", "Apply", WS_TABSTOP},
      {Form->BitBtn3, "button", "&Minimize", WS_TABSTOP},
      {Form->BitBtn2, "button", "&Close", WS_TABSTOP},
      {Form->StatusBar1, "msctls_statusbar32", "", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Control->Name);
    HWND c = H(r.Control);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(GetParent(c), W);
    EXPECT_EQ(ClassOf(c), r.Class);
    if (std::string(r.Class) != "msctls_statusbar32") {
      EXPECT_EQ(Text(c), r.Text);
    }
    EXPECT_EQ(GetWindowLongA(c, GWL_STYLE) & r.Style, r.Style);
  }
  EXPECT_EQ(GetWindowLongA(H(Form->CheckBox1), GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);

  // The up-downs: bound to their edits, with the design ranges and positions.
  struct Spin {
    TUpDown* U;
    TEdit* Buddy;
    int Max, Pos;
  };
  for (const Spin& s :
       {Spin{Form->UpDown1, Form->Edit3, 48, 48}, Spin{Form->UpDown2, Form->Edit4, 59, 0}}) {
    SCOPED_TRACE(s.U->Name);
    int lo = -1;
    int hi = -1;
    SendMessageA(H(s.U), UDM_GETRANGE32, reinterpret_cast<WPARAM>(&lo),
                 reinterpret_cast<LPARAM>(&hi));
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, s.Max);
    EXPECT_EQ(SendMessageA(H(s.U), UDM_GETPOS32, 0, 0), s.Pos);
    EXPECT_EQ(reinterpret_cast<HWND>(SendMessageA(H(s.U), UDM_GETBUDDY, 0, 0)), H(s.Buddy));
  }

  // The status bar: 100 pixels for the countdown, the rest for the address.
  int edges[4] = {};
  ASSERT_EQ(SendMessageA(H(Form->StatusBar1), SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], Scaled(100));
  EXPECT_EQ(edges[1], -1);

  // The menu bar's entries, in order.
  HMENU bar = GetMenu(W);
  ASSERT_NE(bar, nullptr);
  std::vector<std::string> entries;
  for (int i = 0; i < GetMenuItemCount(bar); ++i) {
    char buf[64] = {};
    GetMenuStringA(bar, static_cast<UINT>(i), buf, sizeof buf, MF_BYPOSITION);
    entries.emplace_back(buf);
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"Apply", "Minimize", "Close", "Send Email",
                                               "Options...", "History...", "About"}));

  // Tab goes through the window in the order of its design, and round.
  std::vector<HWND> order;
  HWND at = H(Form->Edit1);
  for (int i = 0; i < 9; ++i) {
    order.push_back(at);
    at = GetNextDlgTabItem(W, at, FALSE);
  }
  const std::vector<HWND> expected = {H(Form->Edit1),   H(Form->Edit2),     H(Form->Edit3),
                                      H(Form->Edit4),   H(Form->CheckBox1), H(Form->BitBtn1),
                                      H(Form->BitBtn3), H(Form->BitBtn2),   H(Form->Edit1)};
  EXPECT_EQ(order, expected);
}

TEST_F(Win32MainWindow, InputReachesTheComponents) {
  // Typing: the edit's text is the component's.
  SetWindowTextA(H(Form->Edit1), "Eve & <b>Example</b>");
  EXPECT_EQ(Form->Edit1->GetText(), "Eve & <b>Example</b>");
  // Leaving the hours edit for another control caps a typed 30 at 24.
  SetWindowTextA(H(Form->Edit3), "30");
  SetFocus(H(Form->Edit3));
  SetFocus(H(Form->Edit1));
  Pump();
  EXPECT_EQ(Form->Edit3->GetText(), "24");
  EXPECT_EQ(Text(H(Form->Edit3)), "24");

  // The up-down's arrows step the component's position and its edit; at the
  // end of the range they stop (no wrap-around).
  auto click = [&](TUpDown* U, bool Up) {
    HWND u = H(U);
    RECT r{};
    GetClientRect(u, &r);
    const LPARAM at = MAKELPARAM(r.right / 2, Up ? r.bottom / 4 : r.bottom * 3 / 4);
    SendMessageA(u, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(u, WM_LBUTTONUP, 0, at);
    Pump();
  };
  click(Form->UpDown2, true);
  EXPECT_EQ(Text(H(Form->Edit4)), "1");
  EXPECT_EQ(SendMessageA(H(Form->UpDown2), UDM_GETPOS32, 0, 0), 1);
  click(Form->UpDown2, false);
  click(Form->UpDown2, false);
  EXPECT_EQ(Text(H(Form->Edit4)), "0");
  SetWindowTextA(H(Form->Edit3), "48");
  click(Form->UpDown1, true);
  EXPECT_EQ(Text(H(Form->Edit3)), "48");
  // The arrows leave the focus where it is: hours raised past the typing
  // limit with them while the focus is in the name field stay in force.
  SetWindowTextA(H(Form->Edit3), "29");
  SetFocus(H(Form->Edit1));
  click(Form->UpDown1, true);
  EXPECT_EQ(GetFocus(), H(Form->Edit1));
  SetFocus(H(Form->BitBtn1));
  Pump();
  EXPECT_EQ(Form->Edit3->GetText(), "30");

  // The check box.
  SendMessageA(H(Form->CheckBox1), BM_CLICK, 0, 0);
  EXPECT_TRUE(Form->CheckBox1->GetChecked());

  // A status panel shows a text from outside as it is.
  Form->StatusBar1->Panels[1].SetText("&x\t<i>y</i>");
  char buf[64] = {};
  SendMessageA(H(Form->StatusBar1), SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(buf));
  EXPECT_STREQ(buf, "&x\t<i>y</i>");
}

// The icon's tip and a status panel take texts from outside (the echo page's)
// and show them alike: UTF-8 as its characters in the ANSI code page, any
// other bytes as they are. Worked for code page 1252, where U+00E9 and U+00FC
// are the bytes E9 and FC.
TEST_F(Win32MainWindow, TrayTipAndStatusPanelShowATextAlike) {
  ASSERT_EQ(GetACP(), 1252u) << "the expected bytes below are code page 1252's";
  const struct {
    const char* what;
    std::string given, shown;
  } cases[] = {
      {"ASCII", "Corvale - 203.0.113.7", "Corvale - 203.0.113.7"},
      {"UTF-8", "Corvale - caf\xC3\xA9 \xC3\xBC", "Corvale - caf\xE9 \xFC"},
      {"not UTF-8", "Corvale - caf\xE9", "Corvale - caf\xE9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TNotifyIconData tip;
    tip.cbSize = sizeof tip;
    tip.Wnd = Form->Handle();
    tip.uID = 100;
    tip.uFlags = NIF_TIP;
    c.given.copy(tip.szTip, sizeof tip.szTip - 1);
    Shell_NotifyIconA(NIM_MODIFY, &tip);
    EXPECT_EQ(Win32TrayTip(*Form, 100), c.shown);

    Form->StatusBar1->Panels[1].SetText(c.given);
    char panel[64] = {};
    SendMessageA(H(Form->StatusBar1), SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(panel));
    EXPECT_EQ(std::string(panel), c.shown);
  }
}

// A check in progress asks whether the program is asked to end. A close
// posted to the main window, or a quit request, counts; nothing else does.
// Asking only looks: it removes nothing, and it runs nothing, not even a
// message another thread sends meanwhile (which would run a handler in the
// middle of the network wait that asks). A close that does get handled while
// the check runs ends the program only once it returns: the window and its
// controls stay.
TEST_F(Win32MainWindow, QuitRequestedLooksAtPostedClosesOnly) {
  Pump();
  HWND other =
      CreateWindowExA(0, "STATIC", "other", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  const struct {
    const char* what;
    std::function<void()> post;
    bool requested;
  } cases[] = {
      {"nothing waiting", [] {}, false},
      {"another message to the main window", [&] { PostMessageA(W, WM_NULL, 0, 0); }, false},
      {"a close to another window", [&] { PostMessageA(other, WM_CLOSE, 0, 0); }, false},
      {"a close to the main window", [&] { PostMessageA(W, WM_CLOSE, 0, 0); }, true},
      {"a quit request", [] { PostQuitMessage(0); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.post();
    EXPECT_EQ(App->QuitRequested(), c.requested);
    EXPECT_EQ(App->QuitRequested(), c.requested) << "the first look removed the request";
    // Taken away unhandled (the quit request is a flag of its own).
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE | PM_QS_POSTMESSAGE)) {
    }
    PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    ASSERT_FALSE(App->QuitRequested());
  }
  DestroyWindow(other);

  // A message sent from another thread waits while the queue is asked about
  // (what the answer is then does not matter: the check asks again).
  std::thread sender([&] { SendMessageA(W, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("sent")); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  PostMessageA(W, WM_CLOSE, 0, 0);
  App->QuitRequested();
  EXPECT_EQ(Text(W), "Corvale") << "the sent message was handled while looking";

  // The check's own pump handles both.
  Pump();
  sender.join();
  EXPECT_EQ(Text(W), "sent");
  EXPECT_TRUE(App->Terminated());
  EXPECT_TRUE(App->QuitRequested());
  EXPECT_TRUE(IsWindow(W));
  EXPECT_TRUE(IsWindow(H(Form->Edit1)));
  EXPECT_EQ(Form1, Form);
}

TEST_F(Win32MainWindow, ApplyButtonHidesSchedulesAndSaves) {
  SetWindowTextA(H(Form->Edit1), "Eve");
  SetWindowTextA(H(Form->Edit3), "1");
  SetWindowTextA(H(Form->Edit4), "30");
  SendMessageA(H(Form->BitBtn1), BM_CLICK, 0, 0);
  EXPECT_FALSE(IsWindowVisible(W));
  EXPECT_TRUE(Form->Timer1->GetEnabled());
  EXPECT_EQ(Form->Timer1->GetInterval(), 5400000u);
  const std::string ini = files::ReadFile(Form->SettingsPath());
  EXPECT_EQ(ini,
            "Name          Eve\r\nEmail         \r\nSchedule      5400\r\n"
            "Start Min     0\r\nIP            \r\n");
}

TEST_F(Win32MainWindow, EnterInAnEditPressesApply) {
  SetWindowTextA(H(Form->Edit3), "2");
  SetFocus(H(Form->Edit4));
  PostMessageA(H(Form->Edit4), WM_KEYDOWN, VK_RETURN, 0);
  Pump();
  EXPECT_FALSE(IsWindowVisible(W));
  EXPECT_TRUE(Form->Timer1->GetEnabled());
  EXPECT_EQ(Form->Timer1->GetInterval(), 7200000u);
}

TEST_F(Win32MainWindow, IconCallbacksAndSystemCommands) {
  // The minimize box hides the window; it never stays minimized.
  SendMessageA(W, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(IsWindowVisible(W));
  EXPECT_FALSE(IsIconic(W));
  // A single click on the icon does nothing, a double click shows the window.
  PostMessageA(W, WM_USER + 1, 100, WM_LBUTTONUP);
  Pump();
  EXPECT_FALSE(IsWindowVisible(W));
  PostMessageA(W, WM_USER + 1, 100, WM_LBUTTONDBLCLK);
  Pump();
  EXPECT_TRUE(IsWindowVisible(W));

  // A right press opens the pop-up menu (closed again by the timer).
  Watch watch;
  gWatch = &watch;
  SetTimer(nullptr, 0, 20, CloseMenu);
  PostMessageA(W, WM_USER + 1, 100, WM_RBUTTONDOWN);
  Pump();
  gWatch = nullptr;
  EXPECT_TRUE(watch.Done);
  EXPECT_EQ(watch.MenuItems,
            (std::vector<std::string>{"Send Email", "Hide", "About", "Show Application", "-",
                                      "Exit Application"}));
  // Closing the window removes the icon and ends the program.
  SendMessageA(W, WM_CLOSE, 0, 0);
  EXPECT_TRUE(App->Terminated());
}

TEST_F(Win32MainWindow, ShowingBringsTheWindowForwardWhenAnotherIsInFront) {
  HWND other = CreateWindowExA(0, "STATIC", "other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                               100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  SetForegroundWindow(other);
  Pump();
  ASSERT_EQ(GetForegroundWindow(), other);
  // A double click on the icon of a window that is shown but behind.
  PostMessageA(W, WM_USER + 1, 100, WM_LBUTTONDBLCLK);
  Pump();
  EXPECT_EQ(GetForegroundWindow(), W);
  DestroyWindow(other);
}

// A program told to end while an error box is open (its window closed by
// another program, the session ending) ends the box too, instead of waiting
// behind it until someone presses OK.
TEST_F(Win32MainWindow, ClosingTheWindowEndsAnOpenMessageBox) {
  Watch watch;
  watch.Main = W;
  gWatch = &watch;
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindWindowA("#32770", "Corvale");
    if (!box || !IsWindowVisible(box)) return;
    if (!gWatch->Done) {
      gWatch->Done = true;
      PostMessageA(gWatch->Main, WM_CLOSE, 0, 0);
      return;
    }
    // Still open a tick after the close was handled: pressed here, so that
    // the test ends either way.
    gWatch->BoxOutlivedTheEnd = true;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
  });
  ShowMessage("An error.");
  KillTimer(nullptr, timer);
  gWatch = nullptr;
  ASSERT_TRUE(watch.Done);
  EXPECT_TRUE(App->Terminated());
  EXPECT_FALSE(watch.BoxOutlivedTheEnd);
}

TEST_F(Win32MainWindow, TaskbarCreatedAddsTheIconAgain) {
  // The icon was added at creation; take it away behind the program's back,
  // as a restarting desktop does.
  if (!TrayDelete()) GTEST_SKIP() << "no notification area on this desktop";
  EXPECT_FALSE(TrayDelete());
  SendMessageA(W, Win32TaskbarCreatedMessage(), 0, 0);
  EXPECT_TRUE(TrayDelete()) << "the icon was not added again";
}

TEST_F(Win32MainWindow, AboutWindowIsModalAndEscapeClosesIt) {
  Watch watch;
  gWatch = &watch;
  HWND main = W;
  // The version line is read from the program's file: here, a copy of this
  // test, which carries the same resources.
  fs::copy_file(files::ExecutablePath(), Dir / "Corvale.exe");
  // The about window, once it is up: look, double-click the icon (which shows
  // the main window), see the about window still in front, then press Escape
  // in it.
  SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR Id, DWORD) {
    if (!gWatch->About) {
      HWND about = GetActiveWindow();
      if (!about || !IsWindowVisible(about) || Text(about).rfind("About ", 0) != 0) return;
      gWatch->About = about;
      wchar_t caption[64] = {};
      GetWindowTextW(about, caption, 64);
      gWatch->AboutCaption = caption;
      gWatch->MainEnabled = IsWindowEnabled(GetWindow(about, GW_OWNER));
      EnumChildWindows(about, CollectText, 0);
      PostMessageA(GetWindow(about, GW_OWNER), WM_USER + 1, 100, WM_LBUTTONDBLCLK);
      return;
    }
    // The double click was handled before this tick (posted messages come
    // before timer ticks).
    gWatch->AboutStayedInFront = GetForegroundWindow() == gWatch->About;
    gWatch->Done = true;
    KillTimer(nullptr, Id);
    HWND focus = GetFocus();
    PostMessageA(focus && IsChild(gWatch->About, focus) ? focus : gWatch->About, WM_KEYDOWN,
                 VK_ESCAPE, 0);
  });
  // "About" from the menu bar.
  HMENU bar = GetMenu(W);
  const int about = GetMenuItemCount(bar) - 1;  // the last entry
  SendMessageA(W, WM_COMMAND, MAKEWPARAM(GetMenuItemID(bar, about), 0), 0);
  gWatch = nullptr;
  ASSERT_TRUE(watch.Done);
  EXPECT_EQ(watch.AboutCaption, L"About Corvale \u00AE");
  EXPECT_FALSE(watch.MainEnabled);
  EXPECT_TRUE(watch.AboutStayedInFront) << "showing the main window pushed the about window back";
  EXPECT_TRUE(IsWindowEnabled(main));
  // The version line comes from the executable's own version resource.
  EXPECT_NE(std::find(watch.AboutTexts.begin(), watch.AboutTexts.end(), "2.0 (Build: 2000.1)"),
            watch.AboutTexts.end())
      << ::testing::PrintToString(watch.AboutTexts);
}

// A desktop notification is a balloon at the icon: NIM_MODIFY with NIF_INFO in
// the second-form record (its size worked from the fields: 488 bytes in a
// 32-bit build, 504 in a 64-bit one, where the first form's 88 and 104 have no
// balloon), title and text in the code page as the tip is; the icon's own
// record stays the first form. Off, nothing is asked.
TEST_F(Win32MainWindow, ANotificationIsABalloonInTheLargerRecord) {
  ASSERT_EQ(GetACP(), 1252u) << "the expected bytes below are code page 1252's";
  Form->ShowDesktopNotice("Corvale: new IP address", "Now caf\xC3\xA9 <b>1</b>", false);
  TWin32Balloon b = Win32LastBalloon();
  EXPECT_EQ(b.Size, sizeof(void*) == 8 ? 504u : 488u);
  EXPECT_EQ(b.Size, Win32BalloonRecordSize());
  EXPECT_EQ(b.Flags, static_cast<unsigned>(NIF_INFO));
  EXPECT_EQ(b.InfoFlags, static_cast<unsigned>(NIIF_INFO));
  EXPECT_EQ(b.Title, "Corvale: new IP address");
  EXPECT_EQ(b.Text, "Now caf\xE9 <b>1</b>");
  // The icon is still there, modified with its first-form record.
  Form->UpdateTrayTip();
  EXPECT_EQ(Win32TrayTip(*Form, 100), "Corvale - ");

  Form->MailNotDelivered("ann@a.test", "550 no");
  b = Win32LastBalloon();
  EXPECT_EQ(b.InfoFlags, static_cast<unsigned>(NIIF_WARNING));
  EXPECT_EQ(b.Title, "Corvale: mail not delivered");
  EXPECT_EQ(b.Text, "The mail to ann@a.test could not be delivered: 550 no");

  Form->SetDesktopNotifications(false);
  EXPECT_FALSE(Form->ShowDesktopNotice("Corvale: new IP address", "off", false));
  EXPECT_EQ(Win32LastBalloon().Text, b.Text);
}

}  // namespace
