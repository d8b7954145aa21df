#include "ui/win32/Win32Backend.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "ui/Application.h"
#include "ui/Bevel.h"
#include "ui/BitBtn.h"
#include "ui/CheckBox.h"
#include "ui/ComboBox.h"
#include "ui/Edit.h"
#include "ui/Form.h"
#include "ui/Image.h"
#include "ui/Label.h"
#include "ui/ListBox.h"
#include "ui/Menu.h"
#include "ui/NotifyIcon.h"
#include "ui/StatusBar.h"
#include "ui/Timer.h"
#include "ui/UpDown.h"

// The system headers come after the component layer's: they define as macros
// the message and flag names that the layer declares as constants of its own
// (WM_KEYDOWN, IDOK, NIM_ADD ...), with the same values.
// clang-format off
#include "ui/win32/Win32Glyphs.h"
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on
#undef MessageBox  // TBackend's member, not the system's A/W switch

// The record passed to the notification area has the system's first form, as
// the program's record does: 88 bytes in a 32-bit build, 104 in a 64-bit one.
static_assert(NOTIFYICONDATAA_V1_SIZE == (sizeof(void*) == 8 ? 104 : 88),
              "the notification record has the platform's first-form size");
// A balloon needs the second form, the first with its title, text and icon
// flags; only the balloon's request uses it.
static_assert(NOTIFYICONDATAA_V2_SIZE > NOTIFYICONDATAA_V1_SIZE, "the balloon's record is larger");
static_assert(sizeof(NOTIFYICONDATAA{}.szInfoTitle) == kBalloonTitleSize &&
                  sizeof(NOTIFYICONDATAA{}.szInfo) == kBalloonTextSize,
              "the balloon's fields have the sizes the program cuts to");

namespace {

// The application icon in the executable's resources (resources/windows).
constexpr WORD kIconResource = 1;
// Design values are pixels at the classic 96 dots per inch; the window is
// scaled to the screen's own so that it stays sharp and in proportion.
constexpr int kDesignDpi = 96;
constexpr int kPointsPerInch = 72;
// The font of controls that name none: the classic sans-serif of Windows'
// dialogs, present on every version (and in Wine).
constexpr const char* kDefaultFontName = "Tahoma";
constexpr int kDefaultFontPoints = 8;
// Child control identifiers start above the dialog commands IDOK and
// IDCANCEL, which IsDialogMessage sends for Enter and Escape.
constexpr int kFirstControlId = 100;
// Menu command identifiers, apart from the controls'.
constexpr UINT kFirstMenuId = 1000;
// Posted to a form when an edit has lost the focus; WParam is the edit's
// window. Handled once the focus has settled on its new control.
constexpr UINT kEditExitMessage = WM_APP + 1;
// The backend's hidden message window (timers, waking the loop).
constexpr const char* kUtilityClass = "Corvale.Utility";
constexpr const char* kFormClassPrefix = "Corvale.";

// Runs a component's reaction to a window message; exceptions end at the
// application's handler, never in the system's message dispatch.
template <class F>
void Deliver(F&& Action) noexcept {
  if (Application) {
    Application->Invoke(std::forward<F>(Action));
    return;
  }
  try {
    Action();
  } catch (...) {
  }
}

COLORREF Rgb(TColor C) {
  return RGB((C >> 16) & 0xFF, (C >> 8) & 0xFF, C & 0xFF);
}

// The program's texts are bytes in the ANSI code page on Windows; its own
// literals (the about window's "®" and "©") are UTF-8. A text that is valid
// UTF-8 with characters beyond ASCII is shown as those characters, converted
// to the code page; any other text is shown as its bytes.
std::string Shown(const std::string& S) {
  if (GetACP() == CP_UTF8) return S;
  if (std::all_of(S.begin(), S.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return S;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, S.data(),
                                    static_cast<int>(S.size()), nullptr, 0);
  if (n <= 0) return S;
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), w.data(), n);
  const int m = WideCharToMultiByte(CP_ACP, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return S;
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

std::string WindowText(HWND W) {
  const int n = GetWindowTextLengthA(W);
  std::string s(static_cast<size_t>(std::max(n, 0)) + 1, '\0');
  const int got = GetWindowTextA(W, s.data(), static_cast<int>(s.size()));
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

class Win32Backend;

// Every peer holds one window; it destroys the window with itself (the
// controls' peers go before their form's, so a child is never destroyed twice).
class WindowPeer : public TPeer {
 public:
  WindowPeer(Win32Backend& B, TControl& C) : Backend(B), Control(C) {}
  ~WindowPeer() override {
    if (Hwnd && IsWindow(Hwnd)) DestroyWindow(Hwnd);
  }
  void Changed() override;
  Win32Backend& Backend;
  TControl& Control;
  HWND Hwnd = nullptr;
  bool Updating = false;  // the peer itself is changing the window
};

WindowPeer* PeerOf(const TControl* C) {
  return C ? dynamic_cast<WindowPeer*>(C->Peer()) : nullptr;
}

// The control a child window stands for (GWLP_USERDATA of the child).
TControl* ControlOf(HWND W) {
  return W ? reinterpret_cast<TControl*>(GetWindowLongPtrA(W, GWLP_USERDATA)) : nullptr;
}

class FormPeer;

class Win32Backend : public TBackend {
 public:
  Win32Backend();
  ~Win32Backend() override;

  TDateTime Now() override { return SystemNow(); }
  std::unique_ptr<TPeer> CreatePeer(TControl& Control) override;
  std::unique_ptr<TPeer> CreateTimerPeer(TTimer& Timer) override;
  void ProcessMessages() override;
  void Run() override;
  void Terminate() override;
  int MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags) override;
  int ShowModal(TForm& Form) override;
  void Popup(TPopupMenu& Menu, int X, int Y) override;
  bool NotifyIcon(unsigned Code, const TNotifyIconData& Data) override;
  bool ShowBalloon(const TNotifyBalloon& Balloon) override;
  bool SetClipboardText(const std::string& Text) override;
  // The record of the last balloon asked for (cbSize 0 when none was).
  const NOTIFYICONDATAA& LastBalloon() const { return FLastBalloon; }
  TPoint CursorPos() override {
    POINT p{};
    ::GetCursorPos(&p);
    return {p.x, p.y};
  }
  void SetScreenCursor(TCursor Cursor) override;
  bool QuitRequested() override;

  // The tip of the icon (Window, Id) as the notification area was last given
  // it, or null when the icon is not there.
  const char* TrayTip(HWND Window, UINT Id) const {
    auto it = FTrayIcons.find({Window, Id});
    return it == FTrayIcons.end() ? nullptr : it->second.szTip;
  }

  // Design pixels to screen pixels.
  int Scale(int V) const { return MulDiv(V, Dpi, kDesignDpi); }
  HFONT Font(const TFont& F);
  HBRUSH Brush(TColor C);
  HICON AppIcon(int Size);
  HICON Glyph(TBitBtnKind Kind);
  ATOM FormClass(const TForm& Form);
  HWND Utility() const { return FUtility; }
  UINT TaskbarCreated() const { return FTaskbarCreated; }
  TCursor ScreenCursor() const { return FScreenCursor; }
  // Adds every icon this process has in the notification area again.
  void RestoreIcons();
  // One message of a loop: dialog keys for the program's windows, then the
  // usual translation and dispatch.
  void Dispatch(MSG& M);

  std::map<UINT_PTR, TTimer*> Timers;
  UINT_PTR NextTimerId = 1;

 private:
  static LRESULT CALLBACK UtilityProc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam);
  HINSTANCE FInstance;
  HWND FUtility = nullptr;
  UINT FTaskbarCreated = 0;
  int Dpi = kDesignDpi;
  bool FTerminated = false;
  bool FQuitPosted = false;  // Terminate has asked the thread's loops to end
  TCursor FScreenCursor = TCursor::crDefault;
  std::map<std::string, HFONT> FFonts;
  std::map<TColor, HBRUSH> FBrushes;
  std::map<int, HICON> FIcons;
  std::map<TBitBtnKind, HICON> FGlyphs;
  std::map<std::string, ATOM> FClasses;
  // The icons in the notification area: (window, identifier) -> last record.
  std::map<std::pair<HWND, UINT>, NOTIFYICONDATAA> FTrayIcons;
  NOTIFYICONDATAA FLastBalloon{};
};

void WindowPeer::Changed() {
  if (!Hwnd) return;
  Updating = true;
  MoveWindow(Hwnd, Backend.Scale(Control.Left()), Backend.Scale(Control.Top()),
             Backend.Scale(Control.Width()), Backend.Scale(Control.Height()), TRUE);
  EnableWindow(Hwnd, Control.GetEnabled());
  ShowWindow(Hwnd, Control.GetVisible() ? SW_SHOWNA : SW_HIDE);
  Updating = false;
}

// A top-level window of the form's own class. Its window procedure turns the
// system's messages into the components' events and the form's messages.
class FormPeer : public WindowPeer {
 public:
  FormPeer(Win32Backend& B, TForm& F) : WindowPeer(B, F), Form(F) {
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (F.MinimizeBox) style |= WS_MINIMIZEBOX;
    if (F.MaximizeBox && F.Sizeable) style |= WS_MAXIMIZEBOX;
    if (F.Sizeable) style |= WS_THICKFRAME;
    DWORD exStyle = WS_EX_CONTROLPARENT;
    if (F.Menu) BuildMenu(*F.Menu);
    RECT r{0, 0, B.Scale(F.Width()), B.Scale(F.Height())};
    AdjustWindowRectEx(&r, style, Menu != nullptr, exStyle);
    // Forms other than the main one stay above it (the about window).
    HWND owner = nullptr;
    if (Application && Application->MainForm && Application->MainForm != &F)
      if (WindowPeer* p = PeerOf(Application->MainForm)) owner = p->Hwnd;
    Hwnd = CreateWindowExA(
        exStyle, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(B.FormClass(F))),
        Shown(F.GetCaption()).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left,
        r.bottom - r.top, owner, Menu, GetModuleHandleA(nullptr), this);
    // A menu bar that wraps onto a second row takes client height: grow the
    // window until the client area has the design size.
    if (Hwnd && Menu) {
      RECT c{};
      GetClientRect(Hwnd, &c);
      const int missing = B.Scale(F.Height()) - (c.bottom - c.top);
      if (missing > 0)
        SetWindowPos(Hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top + missing,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (Hwnd && F.CenterOnScreen) Center();
  }
  ~FormPeer() override {
    if (Hwnd && IsWindow(Hwnd)) {
      SetWindowLongPtrA(Hwnd, GWLP_USERDATA, 0);
      DestroyWindow(Hwnd);
      Hwnd = nullptr;
    }
    // A menu attached to a window is destroyed with it; one that never was, here.
    if (Menu && IsMenu(Menu)) DestroyMenu(Menu);
  }

  void Changed() override {
    if (!Hwnd) return;
    Updating = true;
    const std::string caption = Shown(Form.GetCaption());
    if (WindowText(Hwnd) != caption) SetWindowTextA(Hwnd, caption.c_str());
    if (!Form.GetVisible()) {
      ShowWindow(Hwnd, SW_HIDE);
    } else if (Form.GetWindowState() == TWindowState::wsMinimized) {
      ShowWindow(Hwnd, SW_SHOWMINIMIZED);
    } else {
      const bool wasVisible = IsWindowVisible(Hwnd);
      ShowWindow(Hwnd, IsIconic(Hwnd) ? SW_RESTORE : SW_SHOW);
      // To the front only when it is not there already: a change to the
      // active window (a Show while shown, a new caption) leaves the stacking
      // and the focus alone. While a modal window of its own is open, that
      // window is the one brought forward, as a click on the task bar button
      // does; the owner, disabled, stays behind it.
      HWND front = Hwnd;
      if (!IsWindowEnabled(Hwnd)) {
        HWND popup = GetLastActivePopup(Hwnd);
        if (popup && IsWindowVisible(popup) && IsWindowEnabled(popup)) front = popup;
      }
      if (GetForegroundWindow() != front) SetForegroundWindow(front);
      // The first control in the Tab order takes the focus when the window
      // appears, as in a dialog.
      if (!wasVisible && !IsChild(Hwnd, GetFocus())) {
        HWND first = GetNextDlgTabItem(Hwnd, nullptr, FALSE);
        if (first) SetFocus(first);
      }
    }
    Updating = false;
  }

  void Center() {
    RECT w{};
    RECT area{};
    GetWindowRect(Hwnd, &w);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    const int width = w.right - w.left;
    const int height = w.bottom - w.top;
    SetWindowPos(Hwnd, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void BuildMenu(TMainMenu& M) {
    Menu = CreateMenu();
    UINT id = kFirstMenuId;
    for (TMenuItem* item : M.Items) {
      if (item->IsLine()) {
        AppendMenuA(Menu, MF_SEPARATOR, 0, nullptr);
        continue;
      }
      AppendMenuA(Menu, MF_STRING | (item->Enabled ? 0u : MF_GRAYED), id,
                  Shown(item->Caption).c_str());
      MenuItems[id++] = item;
    }
  }

  // A new child window of the given class, identifier and styles, for C.
  HWND CreateChild(TControl& C, const char* Class, DWORD Style, DWORD ExStyle = 0) {
    const int id = kFirstControlId + NextId++;
    HWND w = CreateWindowExA(
        ExStyle, Class, "", WS_CHILD | Style, Backend.Scale(C.Left()), Backend.Scale(C.Top()),
        Backend.Scale(C.Width()), Backend.Scale(C.Height()), Hwnd,
        reinterpret_cast<HMENU>(static_cast<intptr_t>(id)), GetModuleHandleA(nullptr), nullptr);
    if (!w) return nullptr;
    SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&C));
    SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(Backend.Font(C.Font)), FALSE);
    if (C.ShowHint && !C.Hint.empty()) AddTip(w, C.Hint);
    return w;
  }

  // A tip shown when the mouse rests on the control.
  void AddTip(HWND Child, const std::string& Text) {
    if (!Tips)
      Tips = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_NOPREFIX,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Hwnd,
                             nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!Tips) return;
    TipTexts.push_back(Shown(Text));
    TOOLINFOA ti{};
    ti.cbSize = TTTOOLINFOA_V1_SIZE;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = Hwnd;
    ti.uId = reinterpret_cast<UINT_PTR>(Child);
    ti.lpszText = TipTexts.back().data();
    SendMessageA(Tips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
  }

  static LRESULT CALLBACK Proc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam);
  LRESULT Handle(UINT Msg, WPARAM WParam, LPARAM LParam);
  LRESULT Command(WPARAM WParam, LPARAM LParam);
  LRESULT Notify(const NMHDR& Header);

  TForm& Form;
  HMENU Menu = nullptr;
  HWND Tips = nullptr;
  std::vector<std::string> TipTexts;  // the tip control keeps pointers to these
  std::map<UINT, TMenuItem*> MenuItems;
  int NextId = 0;
};

class LabelPeer : public WindowPeer {
 public:
  LabelPeer(Win32Backend& B, FormPeer& F, TLabel& L) : WindowPeer(B, L) {
    // No "&" mnemonics: a caption may come from outside and is shown as it is.
    DWORD style = SS_NOPREFIX | (L.WordWrap ? SS_LEFT : SS_LEFTNOWORDWRAP);
    if (L.OnClick || (L.ShowHint && !L.Hint.empty())) style |= SS_NOTIFY;
    Hwnd = F.CreateChild(L, "STATIC", style);
  }
  void Changed() override {
    WindowPeer::Changed();
    const std::string caption = Shown(Control.GetCaption());
    if (Hwnd && WindowText(Hwnd) != caption) SetWindowTextA(Hwnd, caption.c_str());
  }
};

class EditPeer : public WindowPeer {
 public:
  EditPeer(Win32Backend& B, FormPeer& F, TEdit& E) : WindowPeer(B, E) {
    Hwnd =
        F.CreateChild(E, "EDIT", ES_AUTOHSCROLL | WS_TABSTOP | (E.PasswordChar ? ES_PASSWORD : 0),
                      WS_EX_CLIENTEDGE);
    if (Hwnd && E.PasswordChar)
      SendMessageA(Hwnd, EM_SETPASSWORDCHAR, static_cast<unsigned char>(E.PasswordChar), 0);
  }
  void Changed() override {
    WindowPeer::Changed();
    if (!Hwnd) return;
    const std::string& text = static_cast<TEdit&>(Control).GetText();
    if (WindowText(Hwnd) == text) return;
    Updating = true;
    SetWindowTextA(Hwnd, text.c_str());
    Updating = false;
  }
};

// The arrows of an up-down report each press (UDN_DELTAPOS); the component
// moves its position and writes it into its edit, so the control's own
// change is refused and the range it shows is the component's.
class UpDownPeer : public WindowPeer {
 public:
  UpDownPeer(Win32Backend& B, FormPeer& F, TUpDown& U) : WindowPeer(B, U) {
    Hwnd = F.CreateChild(U, UPDOWN_CLASSA, UDS_ARROWKEYS | UDS_NOTHOUSANDS);
    if (Hwnd) SetWindowSubclass(Hwnd, KeepFocus, 0, 0);
    Bind();
  }
  ~UpDownPeer() override {
    if (Hwnd) RemoveWindowSubclass(Hwnd, KeepFocus, 0);
  }
  // A press on an arrow steps the position and leaves the focus where it was:
  // the control would move it to its edit, and the focus leaving that edit
  // later (for Apply, say) would count as leaving the hours field. So the edit
  // is unbound while the control handles the press.
  static LRESULT CALLBACK KeepFocus(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam, UINT_PTR,
                                    DWORD_PTR) {
    if (Msg != WM_LBUTTONDOWN && Msg != WM_LBUTTONDBLCLK)
      return DefSubclassProc(W, Msg, WParam, LParam);
    // Without an edit the control may still take the focus away from where
    // it was; it is given back (a control that had it never loses it).
    HWND focus = GetFocus();
    const LRESULT buddy = SendMessageA(W, UDM_GETBUDDY, 0, 0);
    SendMessageA(W, UDM_SETBUDDY, 0, 0);
    const LRESULT r = DefSubclassProc(W, Msg, WParam, LParam);
    SendMessageA(W, UDM_SETBUDDY, static_cast<WPARAM>(buddy), 0);
    if (focus && GetFocus() != focus && IsWindow(focus)) SetFocus(focus);
    return r;
  }
  void Bind() {
    auto& u = static_cast<TUpDown&>(Control);
    if (!Hwnd) return;
    if (WindowPeer* e = PeerOf(u.GetAssociate()); e && e->Hwnd && e->Hwnd != Buddy) {
      Buddy = e->Hwnd;
      SendMessageA(Hwnd, UDM_SETBUDDY, reinterpret_cast<WPARAM>(Buddy), 0);
    }
  }
  void Changed() override {
    WindowPeer::Changed();
    if (!Hwnd) return;
    auto& u = static_cast<TUpDown&>(Control);
    Bind();
    SendMessageA(Hwnd, UDM_SETRANGE32, static_cast<WPARAM>(u.Min), static_cast<LPARAM>(u.Max));
    SendMessageA(Hwnd, UDM_SETPOS32, 0, static_cast<LPARAM>(u.GetPosition()));
  }
  HWND Buddy = nullptr;
};

class CheckBoxPeer : public WindowPeer {
 public:
  CheckBoxPeer(Win32Backend& B, FormPeer& F, TCheckBox& C) : WindowPeer(B, C) {
    Hwnd = F.CreateChild(C, "BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP);
  }
  void Changed() override {
    WindowPeer::Changed();
    if (!Hwnd) return;
    auto& c = static_cast<TCheckBox&>(Control);
    const std::string caption = Shown(c.GetCaption());
    if (WindowText(Hwnd) != caption) SetWindowTextA(Hwnd, caption.c_str());
    const WPARAM state = c.GetChecked() ? BST_CHECKED : BST_UNCHECKED;
    if (static_cast<WPARAM>(SendMessageA(Hwnd, BM_GETCHECK, 0, 0)) != state)
      SendMessageA(Hwnd, BM_SETCHECK, state, 0);
  }
};

// A list box whose rows the program sets; the user may select a row and
// scroll, nothing else.
class ListBoxPeer : public WindowPeer {
 public:
  ListBoxPeer(Win32Backend& B, FormPeer& F, TListBox& L) : WindowPeer(B, L) {
    Hwnd = F.CreateChild(L, "LISTBOX", LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
                         WS_EX_CLIENTEDGE);
  }
  void Changed() override {
    WindowPeer::Changed();
    if (!Hwnd) return;
    const auto& items = static_cast<TListBox&>(Control).GetItems();
    if (items == Rows) return;
    Rows = items;
    SendMessageA(Hwnd, WM_SETREDRAW, FALSE, 0);
    SendMessageA(Hwnd, LB_RESETCONTENT, 0, 0);
    LONG widest = 0;
    HDC dc = GetDC(Hwnd);
    HGDIOBJ old =
        dc ? SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(Hwnd, WM_GETFONT, 0, 0)))
           : nullptr;
    for (const std::string& row : Rows) {
      const std::string shown = Shown(row);
      SendMessageA(Hwnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
      SIZE size{};
      if (dc && GetTextExtentPoint32A(dc, shown.c_str(), static_cast<int>(shown.size()), &size))
        widest = std::max(widest, size.cx);
    }
    if (dc) {
      SelectObject(dc, old);
      ReleaseDC(Hwnd, dc);
    }
    // The horizontal scroll bar appears when a row is wider than the box.
    const LONG extent = widest + Backend.Scale(8);
    SendMessageA(Hwnd, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(extent), 0);
    SendMessageA(Hwnd, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(Hwnd, nullptr, TRUE);
  }
  std::vector<std::string> Rows;
};

// A drop-down list (no typing). Its window reaches down over the open list,
// so it is as high as the field plus a row for each item; the field itself
// takes the height of its font.
class ComboBoxPeer : public WindowPeer {
 public:
  ComboBoxPeer(Win32Backend& B, FormPeer& F, TComboBox& C) : WindowPeer(B, C) {
    Hwnd = F.CreateChild(C, "COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP);
  }
  void Changed() override {
    WindowPeer::Changed();
    if (!Hwnd) return;
    auto& c = static_cast<TComboBox&>(Control);
    Updating = true;
    if (Items != c.GetItems()) {
      Items = c.GetItems();
      SendMessageA(Hwnd, CB_RESETCONTENT, 0, 0);
      for (const std::string& i : Items)
        SendMessageA(Hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Shown(i).c_str()));
    }
    const int rows = static_cast<int>(Items.size()) + 1;
    MoveWindow(Hwnd, Backend.Scale(c.Left()), Backend.Scale(c.Top()), Backend.Scale(c.Width()),
               Backend.Scale(c.Height()) + rows * Backend.Scale(kListRowHeight), TRUE);
    if (SendMessageA(Hwnd, CB_GETCURSEL, 0, 0) != c.GetItemIndex())
      SendMessageA(Hwnd, CB_SETCURSEL, static_cast<WPARAM>(c.GetItemIndex()), 0);
    Updating = false;
  }
  static constexpr int kListRowHeight = 16;  // design pixels per row of the open list
  std::vector<std::string> Items;
};

class BitBtnPeer : public WindowPeer {
 public:
  BitBtnPeer(Win32Backend& B, FormPeer& F, TBitBtn& Btn) : WindowPeer(B, Btn) {
    Hwnd =
        F.CreateChild(Btn, "BUTTON", (Btn.Default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP);
    if (HICON glyph = Hwnd ? B.Glyph(Btn.Kind) : nullptr)
      SendMessageA(Hwnd, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(glyph));
  }
  void Changed() override {
    WindowPeer::Changed();
    // "&" marks the mnemonic, as the captions "&Minimize" and "&Close" mean.
    const std::string caption = Shown(Control.GetCaption());
    if (!Hwnd || WindowText(Hwnd) == caption) return;
    SetWindowTextA(Hwnd, caption.c_str());
    FitCaption(caption);
  }

 private:
  // The system's fonts may be wider than the ones the window designs were
  // made for, and would cut a caption such as "System Info..." at 73 pixels:
  // a caption that does not fit gets a smaller font, one point at a time.
  void FitCaption(const std::string& Caption) {
    constexpr int kSideMargin = 6;  // the face's border and padding, each side
    constexpr int kSmallestPoints = 6;
    std::string shown;
    for (size_t i = 0; i < Caption.size(); ++i) {
      if (Caption[i] == '&' && i + 1 < Caption.size()) ++i;  // "&x" shows x, "&&" shows &
      shown += Caption[i];
    }
    RECT r{};
    GetClientRect(Hwnd, &r);
    int room = r.right - r.left - 2 * Backend.Scale(kSideMargin);
    if (SendMessageA(Hwnd, BM_GETIMAGE, IMAGE_ICON, 0)) room -= Backend.Scale(kGlyphSize + 4);
    TFont font = Control.Font;
    HDC dc = GetDC(Hwnd);
    for (;;) {
      HFONT f = Backend.Font(font);
      HGDIOBJ old = SelectObject(dc, f);
      SIZE size{};
      GetTextExtentPoint32A(dc, shown.data(), static_cast<int>(shown.size()), &size);
      SelectObject(dc, old);
      const int points = font.Size > 0 ? font.Size : kDefaultFontPoints;
      if (size.cx <= room || points <= kSmallestPoints) {
        SendMessageA(Hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
        break;
      }
      font.Size = points - 1;
    }
    ReleaseDC(Hwnd, dc);
  }
};

class StatusBarPeer : public WindowPeer {
 public:
  StatusBarPeer(Win32Backend& B, FormPeer& F, TStatusBar& S) : WindowPeer(B, S) {
    // Placed by the component's bounds (the bottom of the client area), not by
    // the bar itself, and without a size grip: the window has a fixed size.
    Hwnd = F.CreateChild(S, STATUSCLASSNAMEA, CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER);
  }
  void Changed() override {
    WindowPeer::Changed();
    if (!Hwnd) return;
    auto& bar = static_cast<TStatusBar&>(Control);
    const int count = std::min(bar.Panels.Count(), kMaxParts);
    // The right edge of each panel; the last panel reaches the bar's end.
    std::vector<int> edges;
    int x = 0;
    for (int i = 0; i < count; ++i) {
      x += Backend.Scale(bar.Panels[i].Width);
      edges.push_back(i == count - 1 ? -1 : x);
    }
    if (edges != Edges) {
      Edges = edges;
      SendMessageA(Hwnd, SB_SETPARTS, static_cast<WPARAM>(count),
                   reinterpret_cast<LPARAM>(Edges.data()));
      Texts.assign(static_cast<size_t>(count), std::string(1, '\1'));
    }
    for (int i = 0; i < count; ++i) {
      const std::string text = Shown(bar.Panels[i].GetText());
      if (Texts[static_cast<size_t>(i)] == text) continue;
      Texts[static_cast<size_t>(i)] = text;
      // SBT_NOTABPARSING: a tab in a text from outside stays a character.
      SendMessageA(Hwnd, SB_SETTEXTA, static_cast<WPARAM>(i) | SBT_NOTABPARSING,
                   reinterpret_cast<LPARAM>(text.c_str()));
    }
  }
  // A status bar holds at most 256 parts.
  static constexpr int kMaxParts = 256;
  std::vector<int> Edges;
  std::vector<std::string> Texts;
};

// A picture drawn by the form (WM_DRAWITEM), centred when the image says so.
class ImagePeer : public WindowPeer {
 public:
  ImagePeer(Win32Backend& B, FormPeer& F, TImage& I) : WindowPeer(B, I) {
    Hwnd = F.CreateChild(I, "STATIC", SS_OWNERDRAW);
  }
  void Changed() override {
    WindowPeer::Changed();
    const TBitmap& b = static_cast<TImage&>(Control).GetPicture();
    Rows.clear();
    if (b.Empty() ||
        b.Pixels.size() < static_cast<size_t>(b.Width) * static_cast<size_t>(b.Height) * 3)
      return;
    // The system's device-independent rows: blue, green, red, each row padded
    // to four bytes.
    Stride = (static_cast<size_t>(b.Width) * 3 + 3) & ~size_t{3};
    Rows.assign(Stride * static_cast<size_t>(b.Height), 0);
    for (int y = 0; y < b.Height; ++y)
      for (int x = 0; x < b.Width; ++x) {
        const size_t from =
            (static_cast<size_t>(y) * static_cast<size_t>(b.Width) + static_cast<size_t>(x)) * 3;
        const size_t to = static_cast<size_t>(y) * Stride + static_cast<size_t>(x) * 3;
        Rows[to] = b.Pixels[from + 2];
        Rows[to + 1] = b.Pixels[from + 1];
        Rows[to + 2] = b.Pixels[from];
      }
    if (Hwnd) InvalidateRect(Hwnd, nullptr, TRUE);
  }
  void Draw(const DRAWITEMSTRUCT& D) {
    const TImage& image = static_cast<TImage&>(Control);
    const TBitmap& b = image.GetPicture();
    if (Rows.empty()) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = b.Width;
    info.bmiHeader.biHeight = -b.Height;  // rows from the top
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    const int width = Backend.Scale(b.Width);
    const int height = Backend.Scale(b.Height);
    int x = D.rcItem.left;
    int y = D.rcItem.top;
    if (image.Center) {
      x += (D.rcItem.right - D.rcItem.left - width) / 2;
      y += (D.rcItem.bottom - D.rcItem.top - height) / 2;
    }
    SetStretchBltMode(D.hDC, HALFTONE);
    StretchDIBits(D.hDC, x, y, width, height, 0, 0, b.Width, b.Height, Rows.data(), &info,
                  DIB_RGB_COLORS, SRCCOPY);
  }
  size_t Stride = 0;
  std::vector<uint8_t> Rows;
};

class BevelPeer : public WindowPeer {
 public:
  BevelPeer(Win32Backend& B, FormPeer& F, TBevel& V) : WindowPeer(B, V) {
    Hwnd = F.CreateChild(V, "STATIC",
                         V.Shape == TBevelShape::bsTopLine ? SS_ETCHEDHORZ : SS_ETCHEDFRAME);
  }
};

// A control of a kind the backend does not draw: an empty window that keeps
// its place.
class PlainPeer : public WindowPeer {
 public:
  PlainPeer(Win32Backend& B, FormPeer& F, TControl& C) : WindowPeer(B, C) {
    Hwnd = F.CreateChild(C, "STATIC", 0);
  }
};

// A timer on the backend's message window; its ticks enter the program
// through the application, as every backend's do.
class TimerPeer : public TPeer {
 public:
  TimerPeer(Win32Backend& B, TTimer& T) : Backend(B), Timer(T), Id(B.NextTimerId++) {
    B.Timers[Id] = &T;
  }
  ~TimerPeer() override {
    KillTimer(Backend.Utility(), Id);
    Backend.Timers.erase(Id);
  }
  void Changed() override {
    if (Timer.GetEnabled() && Timer.GetInterval() > 0)
      SetTimer(Backend.Utility(), Id, Timer.GetInterval(), nullptr);
    else
      KillTimer(Backend.Utility(), Id);
  }
  Win32Backend& Backend;
  TTimer& Timer;
  UINT_PTR Id;
};

// The form of a top-level window of ours, or null.
FormPeer* FormOf(HWND W) {
  if (!W) return nullptr;
  char name[64] = {};
  if (!GetClassNameA(W, name, sizeof name) ||
      std::strncmp(name, kFormClassPrefix, std::strlen(kFormClassPrefix)) != 0 ||
      std::strcmp(name, kUtilityClass) == 0)
    return nullptr;
  return reinterpret_cast<FormPeer*>(GetWindowLongPtrA(W, GWLP_USERDATA));
}

LRESULT CALLBACK FormPeer::Proc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  if (Msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(LParam);
    auto* peer = static_cast<FormPeer*>(cs->lpCreateParams);
    peer->Hwnd = W;
    SetWindowLongPtrA(W, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(peer));
  }
  auto* peer = reinterpret_cast<FormPeer*>(GetWindowLongPtrA(W, GWLP_USERDATA));
  if (!peer) return DefWindowProcA(W, Msg, WParam, LParam);
  return peer->Handle(Msg, WParam, LParam);
}

LRESULT FormPeer::Handle(UINT Msg, WPARAM WParam, LPARAM LParam) {
  TForm* form = &Form;
  if (Msg == Backend.TaskbarCreated() && Msg != 0) {
    Backend.RestoreIcons();
    return 0;
  }
  switch (Msg) {
    case WM_SYSCOMMAND:
      // Minimize, restore and close are the form's to decide (it may hide
      // instead); the rest (moving, the keyboard menu) is the system's.
      switch (WParam & 0xFFF0) {
        case SC_MINIMIZE:
        case SC_RESTORE:
        case SC_CLOSE: {
          intptr_t result = 0;
          Deliver([&] { result = form->Perform(WM_SYSCOMMAND, WParam, LParam); });
          return result;
        }
        default:
          break;
      }
      break;
    case WM_CLOSE:
      Deliver([&] { form->Perform(WM_SYSCOMMAND, SC_CLOSE, 0); });
      return 0;
    case WM_COMMAND:
      return Command(WParam, LParam);
    case WM_NOTIFY:
      if (LParam) return Notify(*reinterpret_cast<const NMHDR*>(LParam));
      break;
    case kEditExitMessage: {
      // The focus left an edit for another control of this window (not for
      // another window or a menu): the edit's exit event.
      HWND edit = reinterpret_cast<HWND>(WParam);
      HWND focus = GetFocus();
      if (focus && focus != edit && IsChild(Hwnd, focus))
        if (auto* e = dynamic_cast<TEdit*>(ControlOf(edit))) Deliver([e] { e->DoExit(); });
      return 0;
    }
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(LParam);
      if (auto* p = dynamic_cast<ImagePeer*>(PeerOf(ControlOf(d->hwndItem)))) p->Draw(*d);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // Labels and the check box: their font colour on the window's colour.
      HDC dc = reinterpret_cast<HDC>(WParam);
      TControl* c = ControlOf(reinterpret_cast<HWND>(LParam));
      if (c && c->Font.Color != clDefault) SetTextColor(dc, Rgb(c->Font.Color));
      if (dynamic_cast<TEdit*>(c)) break;  // a read-only edit keeps its look
      if (Form.Color == clDefault) break;
      SetBkMode(dc, TRANSPARENT);
      SetBkColor(dc, Rgb(Form.Color));
      return reinterpret_cast<LRESULT>(Backend.Brush(Form.Color));
    }
    case WM_CTLCOLOREDIT: {
      HDC dc = reinterpret_cast<HDC>(WParam);
      TControl* c = ControlOf(reinterpret_cast<HWND>(LParam));
      if (!c || c->Font.Color == clDefault) break;
      SetTextColor(dc, Rgb(c->Font.Color));
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_SETCURSOR: {
      if (Backend.ScreenCursor() == TCursor::crHourGlass) {
        SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        return TRUE;
      }
      TControl* c = ControlOf(reinterpret_cast<HWND>(WParam));
      if (c && c->Cursor == TCursor::crHandPoint && LOWORD(LParam) == HTCLIENT) {
        SetCursor(LoadCursorA(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    }
    default:
      // The program's own messages (the icon's callback 1025 among them).
      if (Msg >= WM_USER && Msg < WM_APP) {
        intptr_t result = 0;
        Deliver([&] { result = form->Perform(Msg, WParam, LParam); });
        return result;
      }
      break;
  }
  return DefWindowProcA(Hwnd, Msg, WParam, LParam);
}

LRESULT FormPeer::Command(WPARAM WParam, LPARAM LParam) {
  const UINT id = LOWORD(WParam);
  const UINT code = HIWORD(WParam);
  HWND from = reinterpret_cast<HWND>(LParam);
  TForm* form = &Form;
  if (!from) {
    // Enter and Escape, as IsDialogMessage reports them: the form's Default
    // and Cancel buttons. A form without a Default button takes Enter as a
    // press of its OK-kind button, as a dialog's IDOK would be.
    if (id == IDOK || id == IDCANCEL) {
      const uintptr_t key = id == IDOK ? VK_RETURN : VK_ESCAPE;
      Deliver([&] {
        if (form->Perform(WM_KEYDOWN, key, 0) || key != VK_RETURN) return;
        std::vector<TControl*> todo(form->Controls().begin(), form->Controls().end());
        for (size_t i = 0; i < todo.size(); ++i) {
          auto* b = dynamic_cast<TBitBtn*>(todo[i]);
          if (b && b->Kind == TBitBtnKind::bkOK && b->GetVisible() && b->GetEnabled()) {
            b->Click();
            return;
          }
          todo.insert(todo.end(), todo[i]->Controls().begin(), todo[i]->Controls().end());
        }
      });
      return 0;
    }
    if (auto it = MenuItems.find(id); it != MenuItems.end()) {
      TMenuItem* item = it->second;
      Deliver([item] { item->Click(); });
      return 0;
    }
    return 0;
  }
  TControl* c = ControlOf(from);
  WindowPeer* p = PeerOf(c);
  if (!c || !p || p->Updating) return 0;
  if (auto* b = dynamic_cast<TBitBtn*>(c); b && code == BN_CLICKED) {
    Deliver([b] { b->Click(); });
  } else if (auto* x = dynamic_cast<TCheckBox*>(c); x && code == BN_CLICKED) {
    const bool on = SendMessageA(from, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Deliver([x, on] { x->SetChecked(on); });
  } else if (auto* x = dynamic_cast<TComboBox*>(c); x && code == CBN_SELCHANGE) {
    const int index = static_cast<int>(SendMessageA(from, CB_GETCURSEL, 0, 0));
    Deliver([x, index] { x->SetItemIndex(index); });
  } else if (auto* e = dynamic_cast<TEdit*>(c)) {
    if (code == EN_CHANGE) {
      std::string text = WindowText(from);
      Deliver([e, &text] { e->SetText(text); });
    } else if (code == EN_KILLFOCUS) {
      PostMessageA(Hwnd, kEditExitMessage, reinterpret_cast<WPARAM>(from), 0);
    }
  } else if (auto* l = dynamic_cast<TLabel*>(c); l && code == STN_CLICKED) {
    Deliver([l] { l->Click(); });
  }
  return 0;
}

LRESULT FormPeer::Notify(const NMHDR& Header) {
  if (Header.code != static_cast<UINT>(UDN_DELTAPOS)) return 0;
  auto* u = dynamic_cast<TUpDown*>(ControlOf(Header.hwndFrom));
  if (!u) return 0;
  const auto& n = reinterpret_cast<const NMUPDOWN&>(Header);
  const TUDBtnType button = n.iDelta > 0 ? TUDBtnType::btNext : TUDBtnType::btPrev;
  Deliver([u, button] { u->Click(button); });
  return TRUE;  // the component has moved the position; the control does not
}

Win32Backend::Win32Backend() : FInstance(GetModuleHandleA(nullptr)) {
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES | ICC_UPDOWN_CLASS | ICC_BAR_CLASSES;
  InitCommonControlsEx(&icc);
  if (HDC screen = GetDC(nullptr)) {
    Dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  if (Dpi <= 0) Dpi = kDesignDpi;
  FTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = UtilityProc;
  wc.hInstance = FInstance;
  wc.lpszClassName = kUtilityClass;
  RegisterClassExA(&wc);
  FUtility =
      CreateWindowExA(0, kUtilityClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, FInstance, this);
}

Win32Backend::~Win32Backend() {
  // A quit request that no loop took would end the first loop of whatever
  // runs next on this thread (another application object in a test).
  MSG quit;
  if (FQuitPosted) PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  // Icons the program left behind would stay in the notification area until
  // the mouse passes over them.
  for (auto& [key, data] : FTrayIcons) Shell_NotifyIconA(NIM_DELETE, &data);
  if (FUtility) DestroyWindow(FUtility);
  for (auto& [key, font] : FFonts) DeleteObject(font);
  for (auto& [key, brush] : FBrushes) DeleteObject(brush);
  for (auto& [key, icon] : FIcons) DestroyIcon(icon);
  for (auto& [key, icon] : FGlyphs) DestroyIcon(icon);
  for (auto& [name, atom] : FClasses) UnregisterClassA(name.c_str(), FInstance);
  UnregisterClassA(kUtilityClass, FInstance);
}

LRESULT CALLBACK Win32Backend::UtilityProc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  if (Msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(LParam);
    SetWindowLongPtrA(W, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Backend*>(GetWindowLongPtrA(W, GWLP_USERDATA));
  if (self && Msg == WM_TIMER) {
    if (auto it = self->Timers.find(WParam); it != self->Timers.end()) {
      TTimer* t = it->second;
      if (Application)
        Application->TimerTick(*t);
      else
        Deliver([t] { t->Fire(); });
    }
    return 0;
  }
  return DefWindowProcA(W, Msg, WParam, LParam);
}

ATOM Win32Backend::FormClass(const TForm& Form) {
  // One class per form, named after it, with the form's colour and the
  // application's icon.
  const std::string name = kFormClassPrefix + (Form.Name.empty() ? std::string("Form") : Form.Name);
  if (auto it = FClasses.find(name); it != FClasses.end()) return it->second;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = FormPeer::Proc;
  wc.hInstance = FInstance;
  wc.hIcon = AppIcon(GetSystemMetrics(SM_CXICON));
  wc.hIconSm = AppIcon(GetSystemMetrics(SM_CXSMICON));
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = Form.Color == clDefault ? GetSysColorBrush(COLOR_BTNFACE) : Brush(Form.Color);
  wc.lpszClassName = name.c_str();
  ATOM atom = RegisterClassExA(&wc);
  FClasses[name] = atom;
  return atom;
}

HFONT Win32Backend::Font(const TFont& F) {
  const std::string name = F.Name.empty() ? kDefaultFontName : F.Name;
  const int points = F.Size > 0 ? F.Size : kDefaultFontPoints;
  const std::string key = name + "/" + std::to_string(points) + (F.Bold ? "b" : "");
  if (auto it = FFonts.find(key); it != FFonts.end()) return it->second;
  HFONT f =
      CreateFontA(-MulDiv(points, Dpi, kPointsPerInch), 0, 0, 0, F.Bold ? FW_BOLD : FW_NORMAL,
                  FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                  CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, name.c_str());
  FFonts[key] = f;
  return f;
}

HBRUSH Win32Backend::Brush(TColor C) {
  if (auto it = FBrushes.find(C); it != FBrushes.end()) return it->second;
  HBRUSH b = CreateSolidBrush(Rgb(C));
  FBrushes[C] = b;
  return b;
}

HICON Win32Backend::AppIcon(int Size) {
  if (auto it = FIcons.find(Size); it != FIcons.end()) return it->second;
  auto* icon = static_cast<HICON>(
      LoadImageA(FInstance, MAKEINTRESOURCEA(kIconResource), IMAGE_ICON, Size, Size, 0));
  // An executable without the icon (a test) shows the system's.
  if (!icon)
    icon = static_cast<HICON>(
        CopyImage(LoadIconA(nullptr, IDI_APPLICATION), IMAGE_ICON, Size, Size, 0));
  FIcons[Size] = icon;
  return icon;
}

HICON Win32Backend::Glyph(TBitBtnKind Kind) {
  if (auto it = FGlyphs.find(Kind); it != FGlyphs.end()) return it->second;
  HICON g = CreateButtonGlyph(Kind, Scale(kGlyphSize));
  FGlyphs[Kind] = g;
  return g;
}

std::unique_ptr<TPeer> Win32Backend::CreatePeer(TControl& C) {
  std::unique_ptr<TPeer> p;
  if (auto* f = dynamic_cast<TForm*>(&C)) {
    p = std::make_unique<FormPeer>(*this, *f);
  } else {
    auto* form = dynamic_cast<FormPeer*>(PeerOf(C.GetParent()));
    if (!form || !form->Hwnd) return nullptr;
    if (auto* l = dynamic_cast<TLabel*>(&C))
      p = std::make_unique<LabelPeer>(*this, *form, *l);
    else if (auto* e = dynamic_cast<TEdit*>(&C))
      p = std::make_unique<EditPeer>(*this, *form, *e);
    else if (auto* u = dynamic_cast<TUpDown*>(&C))
      p = std::make_unique<UpDownPeer>(*this, *form, *u);
    else if (auto* c = dynamic_cast<TCheckBox*>(&C))
      p = std::make_unique<CheckBoxPeer>(*this, *form, *c);
    else if (auto* x = dynamic_cast<TComboBox*>(&C))
      p = std::make_unique<ComboBoxPeer>(*this, *form, *x);
    else if (auto* b = dynamic_cast<TBitBtn*>(&C))
      p = std::make_unique<BitBtnPeer>(*this, *form, *b);
    else if (auto* s = dynamic_cast<TStatusBar*>(&C))
      p = std::make_unique<StatusBarPeer>(*this, *form, *s);
    else if (auto* l = dynamic_cast<TListBox*>(&C))
      p = std::make_unique<ListBoxPeer>(*this, *form, *l);
    else if (auto* i = dynamic_cast<TImage*>(&C))
      p = std::make_unique<ImagePeer>(*this, *form, *i);
    else if (auto* v = dynamic_cast<TBevel*>(&C))
      p = std::make_unique<BevelPeer>(*this, *form, *v);
    else
      p = std::make_unique<PlainPeer>(*this, *form, C);
  }
  p->Changed();
  return p;
}

std::unique_ptr<TPeer> Win32Backend::CreateTimerPeer(TTimer& T) {
  return std::make_unique<TimerPeer>(*this, T);
}

void Win32Backend::Dispatch(MSG& M) {
  // Tab, Enter and Escape within the program's windows work as in a dialog.
  HWND root = M.hwnd ? GetAncestor(M.hwnd, GA_ROOT) : nullptr;
  if (root && FormOf(root) && IsDialogMessageA(root, &M)) return;
  TranslateMessage(&M);
  DispatchMessageA(&M);
}

void Win32Backend::ProcessMessages() {
  MSG m;
  while (!FTerminated && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      FTerminated = true;
      break;
    }
    Dispatch(m);
  }
}

void Win32Backend::Run() {
  MSG m;
  while (!FTerminated) {
    const BOOL r = GetMessageA(&m, nullptr, 0, 0);
    if (r == 0 || r == -1) break;
    Dispatch(m);
  }
}

void Win32Backend::Terminate() {
  FTerminated = true;
  // The quit request wakes a loop that waits for a message and also ends the
  // system's own modal loops (a message box, a pop-up menu) that are running
  // inside ours: a program told to end while an error box is open must not
  // wait behind that box. Each of them hands the request on to the loop it
  // runs in, down to ours.
  if (!FQuitPosted) PostQuitMessage(0);
  FQuitPosted = true;
}

int Win32Backend::MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags) {
  // Owned by the active window of the program, if one is shown; the box's own
  // loop keeps the timers running.
  HWND owner = GetActiveWindow();
  if (owner && !FormOf(owner)) owner = nullptr;
  return MessageBoxA(owner, Shown(Text).c_str(), Shown(Caption).c_str(), Flags | MB_SETFOREGROUND);
}

int Win32Backend::ShowModal(TForm& F) {
  F.CreateHandle();
  auto* peer = dynamic_cast<FormPeer*>(F.Peer());
  // Every other window of the program waits until the modal one closes.
  std::vector<HWND> disabled;
  if (Application)
    for (TForm* other = Application->MainForm; other; other = nullptr)
      if (WindowPeer* p = PeerOf(other); p && p->Hwnd && other != &F && IsWindowEnabled(p->Hwnd)) {
        EnableWindow(p->Hwnd, FALSE);
        disabled.push_back(p->Hwnd);
      }
  F.Show();
  MSG m;
  while (F.ModalResult == mrNone && !FTerminated) {
    const BOOL r = GetMessageA(&m, nullptr, 0, 0);
    if (r == 0 || r == -1) {
      FTerminated = true;
      break;
    }
    Dispatch(m);
  }
  if (F.ModalResult == mrNone) F.ModalResult = mrCancel;
  // Enabled again before the modal window goes, so that the system gives the
  // activation back to the owner rather than to another program.
  for (HWND w : disabled) EnableWindow(w, TRUE);
  if (peer && peer->Hwnd) ShowWindow(peer->Hwnd, SW_HIDE);
  return F.ModalResult;
}

void Win32Backend::Popup(TPopupMenu& Menu, int X, int Y) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  std::map<UINT, TMenuItem*> items;
  UINT id = kFirstMenuId;
  for (TMenuItem* item : Menu.Items) {
    if (item->IsLine()) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    AppendMenuA(menu, MF_STRING | (item->Enabled ? 0u : MF_GRAYED), id,
                Shown(item->Caption).c_str());
    items[id++] = item;
  }
  // The menu belongs to the main window, shown or not. It must be the
  // foreground window, or the menu stays open when the user clicks elsewhere.
  HWND owner = FUtility;
  if (Application && Application->MainForm)
    if (WindowPeer* p = PeerOf(Application->MainForm); p && p->Hwnd) owner = p->Hwnd;
  SetForegroundWindow(owner);
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, X, Y, 0, owner, nullptr));
  PostMessageA(owner, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (auto it = items.find(chosen); it != items.end()) it->second->Click();
}

bool Win32Backend::NotifyIcon(unsigned Code, const TNotifyIconData& D) {
  TForm* form = Application ? Application->FindForm(D.Wnd) : nullptr;
  if (!form) return false;
  // The icon's callbacks go to the form's window, which may not be shown yet.
  form->CreateHandle();
  WindowPeer* peer = PeerOf(form);
  if (!peer || !peer->Hwnd) return false;
  NOTIFYICONDATAA n{};
  n.cbSize = NOTIFYICONDATAA_V1_SIZE;
  n.hWnd = peer->Hwnd;
  n.uID = D.uID;
  n.uFlags = D.uFlags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
  n.uCallbackMessage = D.uCallbackMessage;
  if (D.uFlags & NIF_ICON) n.hIcon = AppIcon(GetSystemMetrics(SM_CXSMICON));
  // The first form's tip holds 64 bytes (the later forms' field is longer,
  // but the record size says which form is meant): 63 characters and the
  // terminating zero, like the program's own field.
  // The tip is a text like the status bar's and is converted as that is (a
  // UTF-8 echo page shows as its characters, not as their bytes in the code
  // page). The converted form is never longer: each character outside ASCII
  // takes at least two bytes in UTF-8 and at most two in any ANSI code page.
  static_assert(sizeof n.szTip >= sizeof D.szTip, "the tip field holds the program's tip");
  const std::string tip = Shown(std::string(D.szTip, strnlen(D.szTip, sizeof D.szTip)));
  const size_t tipLength = std::min(tip.size(), sizeof D.szTip - 1);
  std::memcpy(n.szTip, tip.data(), tipLength);
  n.szTip[tipLength] = '\0';
  const auto key = std::make_pair(n.hWnd, n.uID);
  const bool ok = Shell_NotifyIconA(Code, &n) != FALSE;
  switch (Code) {
    case NIM_ADD:
      FTrayIcons[key] = n;
      break;
    case NIM_MODIFY:
      if (auto it = FTrayIcons.find(key); it != FTrayIcons.end()) {
        NOTIFYICONDATAA& kept = it->second;
        if (n.uFlags & NIF_MESSAGE) kept.uCallbackMessage = n.uCallbackMessage;
        if (n.uFlags & NIF_TIP) std::memcpy(kept.szTip, n.szTip, sizeof kept.szTip);
        kept.uFlags |= n.uFlags;
      }
      break;
    case NIM_DELETE:
      FTrayIcons.erase(key);
      break;
    default:
      break;
  }
  return ok;
}

bool Win32Backend::ShowBalloon(const TNotifyBalloon& B) {
  TForm* form = Application ? Application->FindForm(B.Wnd) : nullptr;
  WindowPeer* peer = form ? PeerOf(form) : nullptr;
  if (!peer || !peer->Hwnd) return false;
  const auto it = FTrayIcons.find({peer->Hwnd, B.uID});
  if (it == FTrayIcons.end()) return false;
  // The larger record, for this request only: the icon itself keeps the
  // first form (it.second) for its adds, changes and deletion.
  NOTIFYICONDATAA n{};
  n.cbSize = NOTIFYICONDATAA_V2_SIZE;
  n.hWnd = peer->Hwnd;
  n.uID = B.uID;
  n.uFlags = NIF_INFO;
  n.dwInfoFlags = B.dwInfoFlags;
  // Texts converted as the tip is; each field keeps its terminating zero.
  auto put = [](char* Field, size_t Size, const std::string& Text) {
    const std::string shown = Shown(Text);
    const size_t length = std::min(shown.size(), Size - 1);
    std::memcpy(Field, shown.data(), length);
    Field[length] = '\0';
  };
  put(n.szInfoTitle, sizeof n.szInfoTitle, B.Title);
  put(n.szInfo, sizeof n.szInfo, B.Text);
  FLastBalloon = n;
  return Shell_NotifyIconA(NIM_MODIFY, &n) != FALSE;
}

bool Win32Backend::SetClipboardText(const std::string& Text) {
  // As Unicode text, so that every program reads the characters (the system
  // makes the code-page form from it on request).
  // Lines end in CR LF on the Windows clipboard.
  std::string lines;
  for (size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == '\n' && (i == 0 || Text[i - 1] != '\r')) lines += '\r';
    lines += Text[i];
  }
  std::wstring w;
  const std::string shown = Shown(lines);
  const int n =
      MultiByteToWideChar(CP_ACP, 0, shown.data(), static_cast<int>(shown.size()), nullptr, 0);
  if (n > 0 || shown.empty()) {
    w.resize(static_cast<size_t>(n));
    if (n > 0)
      MultiByteToWideChar(CP_ACP, 0, shown.data(), static_cast<int>(shown.size()), w.data(), n);
  }
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (w.size() + 1) * sizeof(wchar_t));
  if (!mem) return false;
  if (void* p = GlobalLock(mem)) {
    std::memcpy(p, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(mem);
  }
  if (!OpenClipboard(FUtility)) {
    GlobalFree(mem);
    return false;
  }
  EmptyClipboard();
  const bool ok = SetClipboardData(CF_UNICODETEXT, mem) != nullptr;
  // The clipboard owns the memory once it has taken it.
  if (!ok) GlobalFree(mem);
  CloseClipboard();
  return ok;
}

void Win32Backend::RestoreIcons() {
  for (auto& [key, data] : FTrayIcons) Shell_NotifyIconA(NIM_ADD, &data);
}

bool Win32Backend::QuitRequested() {
  if (FTerminated) return true;
  // A message that another thread or program sends to our windows waits for
  // this thread, and PeekMessage delivers it before it looks at the queue:
  // its handler would run in the middle of the network wait that asks. Wine
  // does so even when told to look at posted messages only (PM_QS_POSTMESSAGE
  // without PM_QS_SENDMESSAGE), so while one waits the queue is not looked at;
  // the check asks again at its next wait, and the loop takes both in order
  // once it has returned.
  if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) return false;
  // Only looked at: PM_NOREMOVE leaves the request for the loop that runs
  // once the check has given way.
  constexpr UINT kLookOnly = PM_NOREMOVE | PM_QS_POSTMESSAGE;
  MSG m;
  if (Application && Application->MainForm)
    if (WindowPeer* p = PeerOf(Application->MainForm); p && p->Hwnd)
      if (PeekMessageA(&m, p->Hwnd, WM_CLOSE, WM_CLOSE, kLookOnly)) return true;
  return PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, kLookOnly) != FALSE;
}

void Win32Backend::SetScreenCursor(TCursor Cursor) {
  FScreenCursor = Cursor;
  SetCursor(LoadCursorA(nullptr, Cursor == TCursor::crHourGlass ? IDC_WAIT : IDC_ARROW));
}

}  // namespace

std::unique_ptr<TBackend> CreateWin32Backend() {
  return std::make_unique<Win32Backend>();
}

void* Win32Window(const TControl& Control) {
  WindowPeer* p = PeerOf(&Control);
  return p ? p->Hwnd : nullptr;
}

std::string Win32TrayTip(const TControl& Form, unsigned Id) {
  auto* backend = Application ? dynamic_cast<Win32Backend*>(&Application->Backend()) : nullptr;
  WindowPeer* p = PeerOf(&Form);
  if (!backend || !p || !p->Hwnd) return {};
  const char* tip = backend->TrayTip(p->Hwnd, Id);
  return tip ? std::string(tip) : std::string();
}

TWin32Balloon Win32LastBalloon() {
  auto* backend = Application ? dynamic_cast<Win32Backend*>(&Application->Backend()) : nullptr;
  if (!backend) return {};
  const NOTIFYICONDATAA& n = backend->LastBalloon();
  return {n.cbSize, n.uFlags, n.dwInfoFlags,
          std::string(n.szInfoTitle, strnlen(n.szInfoTitle, sizeof n.szInfoTitle)),
          std::string(n.szInfo, strnlen(n.szInfo, sizeof n.szInfo))};
}

unsigned Win32BalloonRecordSize() {
  return NOTIFYICONDATAA_V2_SIZE;
}

unsigned Win32TaskbarCreatedMessage() {
  return RegisterWindowMessageA("TaskbarCreated");
}
