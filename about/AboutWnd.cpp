#include "about/AboutWnd.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "about/AboutBox.h"
#include "platform/FileVersion.h"
#include "platform/Files.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "ui/Application.h"

namespace {
// The system-information tool the button starts, by the name the shell knows.
constexpr const char* kSysInfoProgram = "MSInfo32.EXE";
constexpr const char* kSysInfoError = "Could not execute system information!";
constexpr const char* kErrorCaption = "Error";
// The fixed file information is 52 bytes; a shorter value is not one.
constexpr uint32_t kFixedInfoSize = 52;
// ShellExecuteA returns more than this on success.
constexpr intptr_t kShellErrorMax = 32;

// Layout of the design (pixels in the client area).
constexpr int kMargin = 8;
constexpr int kTextLeft = 36;
constexpr int kTextWidth = 225;
constexpr int kImageTop = 100;
constexpr int kButtonWidth = 73;
constexpr int kButtonHeight = 23;
constexpr int kButtonGap = 6;
constexpr int kSepWidth = 281;
constexpr int kWarningHeight = 61;
// The texts and buttons use the dialog's 8-point font, so that "System Info..."
// and a copyright line fit the design's sizes.
constexpr int kTextPoints = 8;
// The warning's small font: Arial 9 pixels high, about 7 points on a 96-dpi screen.
constexpr int kWarningPoints = 7;
}  // namespace

TAboutWnd::TAboutWnd(TAboutBox* Box) : TForm(Box) {
  Name = "AboutWnd";
  // 1. The window from its design: a dialog border, centred, sky blue.
  SetBounds(0, 0, kDesignWidth, kDesignHeight);
  Color = clSkyBlue;
  Sizeable = false;
  MinimizeBox = false;
  MaximizeBox = false;
  CenterOnScreen = true;

  auto make = [this]<class T>(T* Dummy, const char* AName, int L, int T_, int W, int H) {
    (void)Dummy;
    T* c = TComponent::Create<T>(*this);
    c->Name = AName;
    c->SetParent(this);
    c->SetBounds(L, T_, W, H);
    return c;
  };
  lblAppName = make(static_cast<TLabel*>(nullptr), "lblAppName", kTextLeft, 12, kTextWidth, 17);
  lblAppName->WordWrap = true;
  lblAppName->Font.Bold = true;
  lblAppName->Font.Size = 10;
  lblVersionInfo = make(static_cast<TLabel*>(nullptr), "lblVersionInfo", kTextLeft, 33, 50, 13);
  lblVersionInfo->SetCaption("Version:");
  lblVersion = make(static_cast<TLabel*>(nullptr), "lblVersion", kTextLeft + 52, 33, 173, 13);
  lblVersion->Font.Bold = true;
  lblCopyright = make(static_cast<TLabel*>(nullptr), "lblCopyright", kTextLeft, 50, kTextWidth, 25);
  lblCopyright->WordWrap = true;
  lblUrl = make(static_cast<TLabel*>(nullptr), "lblUrl", kTextLeft, 78, kTextWidth, 13);
  lblUrl->Font.Color = clBlue;
  lblUrl->Cursor = TCursor::crHandPoint;
  lblUrl->ShowHint = true;
  lblUrl->OnClick = [this](TComponent* S) { lblUrlClick(S); };
  bvlOuter = make(static_cast<TBevel*>(nullptr), "bvlOuter", kTextLeft - 1, kImageTop - 1,
                  kImageWidth + 2, kImageHeight + 2);
  imgApp = make(static_cast<TImage*>(nullptr), "imgApp", kTextLeft, kImageTop, kImageWidth,
                kImageHeight);
  imgApp->AutoSize = true;
  imgApp->Center = true;
  const int sepTop = kImageTop + kImageHeight + 11;
  bvlSep = make(static_cast<TBevel*>(nullptr), "bvlSep", kMargin, sepTop, kSepWidth, 2);
  bvlSep->Shape = TBevelShape::bsTopLine;
  lblWarning = make(static_cast<TLabel*>(nullptr), "lblWarning", kMargin, sepTop + 8, kSepWidth,
                    kWarningHeight);
  lblWarning->WordWrap = true;
  lblWarning->Font.Name = "Arial";
  lblWarning->Font.Size = kWarningPoints;
  const int buttonTop = kDesignHeight - kMargin - kButtonHeight;
  const int okLeft = kDesignWidth - kMargin - kButtonWidth;
  btnSysInfo = make(static_cast<TBitBtn*>(nullptr), "btnSysInfo",
                    okLeft - kButtonGap - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight);
  btnSysInfo->SetCaption("System Info...");
  btnSysInfo->OnClick = [this](TComponent* S) { btnSysInfoClick(S); };
  btnOk =
      make(static_cast<TBitBtn*>(nullptr), "btnOk", okLeft, buttonTop, kButtonWidth, kButtonHeight);
  btnOk->SetCaption("OK");
  btnOk->ModalResult = mrCancel;
  btnOk->Default = true;
  btnOk->Cancel = true;

  for (TControl* c : {static_cast<TControl*>(lblVersionInfo), static_cast<TControl*>(lblVersion),
                      static_cast<TControl*>(lblCopyright), static_cast<TControl*>(lblUrl),
                      static_cast<TControl*>(btnSysInfo), static_cast<TControl*>(btnOk)})
    c->Font.Size = kTextPoints;

  // 2.-4. The texts from the box.
  SetCaption(text::Format("About %s \xC2\xAE", Box->AppName.c_str()));
  lblAppName->SetCaption(text::Format("%s \xC2\xAE", Box->AppName.c_str()));
  lblCopyright->SetCaption(Box->Copyright);
  lblWarning->SetCaption(Box->Warning);
  lblUrl->SetCaption(Box->Url);
  lblUrl->Hint = Box->Url;

  // 5.-6. The picture. One that cannot be decoded counts as none: the window
  // must open all the same.
  int notedWidth = imgApp->Width();
  int notedHeight = imgApp->Height();
  TBitmap picture;
  if (!Box->GetPicture().Empty()) {
    try {
      picture = Box->GetPicture().Decode();
    } catch (const EJPEG&) {
      picture = TBitmap{};
    }
  }
  if (!picture.Empty()) {
    imgApp->SetPicture(picture);
    imgApp->SetBounds(imgApp->Left(), imgApp->Top(), picture.Width,
                      std::max(imgApp->Height(), picture.Height));
  } else {
    imgApp->SetBounds(imgApp->Left(), imgApp->Top(), 0, 0);
    bvlOuter->SetVisible(false);
    notedWidth = 0;
    notedHeight = 0;
  }

  // 7. Grow the window by the change of the image's size. A picture narrower
  // than the design's image area leaves the window at its design width, so
  // that the texts keep their room.
  const int dw = std::max(imgApp->Width() - notedWidth, 0);
  const int dh = imgApp->Height() - notedHeight;
  SetBounds(Left(), Top(), Width() + dw, Height() + dh);
  // What sits below the image moves down with it; the separator and the
  // warning widen and the buttons stay at the bottom right.
  for (TControl* c : {static_cast<TControl*>(bvlSep), static_cast<TControl*>(lblWarning)})
    c->SetBounds(c->Left(), c->Top() + dh, c->Width() + dw, c->Height());
  for (TControl* c : {static_cast<TControl*>(btnSysInfo), static_cast<TControl*>(btnOk)})
    c->SetBounds(c->Left() + dw, c->Top() + dh, c->Width(), c->Height());

  // 8. The frame around the image.
  bvlOuter->SetBounds(imgApp->Left() - 1, imgApp->Top() - 1, imgApp->Width() + 2,
                      imgApp->Height() + 2);

  // 9. The creation handler.
  OnCreate = [this](TComponent* S) { FormCreate(S); };
  DoCreate();
}

TAboutWnd::~TAboutWnd() = default;

void TAboutWnd::FormCreate(TComponent*) {
  lblVersion->SetCaption(GetFileVersionText());
  lblVersionInfo->SetVisible(!lblVersion->GetCaption().empty());
}

std::string TAboutWnd::GetFileVersionText() const {
  return FileVersionText(Application ? Application->ExeName : files::ExecutablePath());
}

std::string TAboutWnd::FileVersionText(const std::string& FileName) {
  uint32_t handle = 0;
  const uint32_t size = GetFileVersionInfoSizeA(FileName.c_str(), &handle);
  if (size == 0) return {};
  // 4-byte elements keep the fixed file information aligned.
  std::vector<uint32_t> block((size + 3) / 4);
  if (!GetFileVersionInfoA(FileName.c_str(), handle, size, block.data())) return {};
  void* value = nullptr;
  uint32_t length = 0;
  if (!VerQueryValueA(block.data(), "\\", &value, &length) || length < kFixedInfoSize) return {};
  VS_FIXEDFILEINFO info;
  std::copy_n(static_cast<const char*>(value), sizeof info, reinterpret_cast<char*>(&info));
  return text::Format("%d.%d (%s: %d.%d)", static_cast<int>(info.dwFileVersionMS >> 16),
                      static_cast<int>(info.dwFileVersionMS & 0xFFFF), "Build",
                      static_cast<int>(info.dwFileVersionLS >> 16),
                      static_cast<int>(info.dwFileVersionLS & 0xFFFF));
}

void TAboutWnd::btnSysInfoClick(TComponent*) {
  if (ShellExecuteA(Handle(), "open", kSysInfoProgram, nullptr, nullptr, SW_SHOWNORMAL) <=
          kShellErrorMax &&
      Application)
    Application->MessageBox(kSysInfoError, kErrorCaption, MB_OK | MB_ICONERROR);
}

void TAboutWnd::lblUrlClick(TComponent*) {
  // The hourglass while the shell starts the browser; the default comes back
  // however the call ends. Whether the address opened is not reported.
  SetScreenCursor(TCursor::crHourGlass);
  struct Restore {
    ~Restore() { SetScreenCursor(TCursor::crDefault); }
  } restore;
  ShellExecuteA(Handle(), "open", lblUrl->Hint.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
}
