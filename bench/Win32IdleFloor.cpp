// The idle floor of a plain Win32 program: the counterpart of QtIdleFloor for
// the Windows build. A window with an edit and a status bar, shown once and
// hidden (as Corvale's is at a start minimized), an icon in the notification
// area, and one timer that writes the status bar once a minute. Under Wine,
// bench/idle-windows.sh measures it beside Corvale.exe, so that what Wine costs
// any windowed program can be told apart from what Corvale costs.
//
// Given an address and a path (Win32IdleFloor.exe 127.7.0.1 /GetMyIP.pl), the
// timer also asks that page over HTTP/1.0 with the fewest Winsock calls a
// check can make (socket, a blocking connect, one send, recv to the end,
// closesocket): the floor of a program that checks, which under Wine pays a
// round trip to the wineserver for each call that Windows makes in the kernel.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <cstdlib>
#include <string>

namespace {

constexpr UINT kCheckMs = 60000;  // the benchmark's check interval
constexpr UINT_PTR kTimerId = 1;  // the one timer of the window
constexpr UINT kIconId = 100;     // the one icon of the notification area

// What the timer updates, kept with the window (GWLP_USERDATA).
struct TFloor {
  HWND Status = nullptr;
  int Checks = 0;
  unsigned long Address = INADDR_NONE;  // the page's server; none: no check
  std::string Request;
};

// One check: the reply's size, or -1. No time-outs: a floor, not a product.
int AskPage(const TFloor& F) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(80);
  a.sin_addr.s_addr = F.Address;
  int total = -1;
  if (connect(s, reinterpret_cast<const sockaddr*>(&a), int{sizeof a}) == 0 &&
      send(s, F.Request.data(), static_cast<int>(F.Request.size()), 0) ==
          static_cast<int>(F.Request.size())) {
    char buf[4096];
    int n;
    total = 0;
    while ((n = recv(s, buf, int{sizeof buf}, 0)) > 0) total += n;
  }
  closesocket(s);
  return total;
}

LRESULT CALLBACK WndProc(HWND W, UINT Msg, WPARAM WParam, LPARAM LParam) {
  switch (Msg) {
    case WM_TIMER:
      // GWLP_USERDATA holds the TFloor pointer that WinMain stored as an integer.
      // NOLINTNEXTLINE(performance-no-int-to-ptr): the window data's own convention
      if (auto* f = reinterpret_cast<TFloor*>(GetWindowLongPtrA(W, GWLP_USERDATA)))
        SetWindowTextA(f->Status, (std::to_string(++f->Checks) + " " +
                                   std::to_string(f->Address != INADDR_NONE ? AskPage(*f) : 0))
                                      .c_str());
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
  WSADATA wsa{};
  if (__argc == 3 && WSAStartup(MAKEWORD(1, 1), &wsa) == 0) {
    floor.Address = inet_addr(__argv[1]);
    floor.Request =
        std::string("GET ") + __argv[2] + " HTTP/1.0\r\nHost: " + __argv[1] + "\r\n\r\n";
  }
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
