// The idle floor of a plain Win32 program: the counterpart of QtIdleFloor for
// the Windows build. A window with an edit and a status bar, shown once and
// hidden (as Corvale's is at a start minimized), an icon in the notification
// area, and one timer that writes the status bar once a minute. Under Wine,
// bench/idle-windows.sh measures it beside Corvale.exe, so that what Wine costs
// any windowed program can be told apart from what Corvale costs.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <string>

namespace {

constexpr UINT kCheckMs = 60000;  // the benchmark's check interval
constexpr UINT_PTR kTimerId = 1;  // the one timer of the window
constexpr UINT kIconId = 100;     // the one icon of the notification area

// What the timer updates, kept with the window (GWLP_USERDATA).
struct TFloor {
  HWND Status = nullptr;
  int Checks = 0;
};

LRESULT CALLBACK WndProc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  switch (Msg) {
    case WM_TIMER:
      // GWLP_USERDATA holds the TFloor pointer that WinMain stored as an integer.
      // NOLINTNEXTLINE(performance-no-int-to-ptr): the window data's own convention
      if (auto* f = reinterpret_cast<TFloor*>(GetWindowLongPtrA(W, GWLP_USERDATA)))
        SetWindowTextA(f->Status, std::to_string(++f->Checks).c_str());
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(W, Msg, WParam, LParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSA wc{};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = Instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.lpszClassName = "Corvale.IdleFloor";
  RegisterClassA(&wc);
  HWND w =
      CreateWindowExA(0, wc.lpszClassName, "Idle floor", WS_OVERLAPPED | WS_MINIMIZEBOX,
                      CW_USEDEFAULT, CW_USEDEFAULT, 400, 200, nullptr, nullptr, Instance, nullptr);
  CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 10, 200, 22, w, nullptr,
                  Instance, nullptr);
  TFloor floor;
  floor.Status = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, w,
                                 nullptr, Instance, nullptr);
  SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&floor));
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
  icon.hWnd = w;
  icon.uID = kIconId;
  icon.uFlags = NIF_ICON | NIF_TIP;
  icon.hIcon = wc.hIcon;
  lstrcpynA(icon.szTip, "Idle floor", sizeof icon.szTip);
  Shell_NotifyIconA(NIM_ADD, &icon);
  ShowWindow(w, SW_SHOW);
  ShowWindow(w, SW_HIDE);
  SetTimer(w, kTimerId, kCheckMs, nullptr);
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  Shell_NotifyIconA(NIM_DELETE, &icon);
  return 0;
}
