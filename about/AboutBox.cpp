#include "about/AboutBox.h"

#include "about/AboutWnd.h"

const char* const TAboutBox::kDefaultCopyright = "Copyright \xC2\xA9 <year> <company>";
const char* const TAboutBox::kDefaultUrl = "http://www.example.com/";
const char* const TAboutBox::kDefaultWarning = "";

TAboutBox::TAboutBox(TComponent* AOwner)
    : TComponent(AOwner), FPicture(std::make_unique<TJPEGImage>()) {}

// The window goes before the picture and the texts it was filled from.
TAboutBox::~TAboutBox() {
  FWindow.reset();
}

void TAboutBox::ShowAbout() {
  // The notification icon's menu stays usable while the window is open, so
  // "About" can come again; a second window would free the first one inside
  // its own modal loop.
  if (FWindow) {
    FWindow->Show();
    return;
  }
  struct Free {
    std::unique_ptr<TAboutWnd>& Window;
    ~Free() { Window.reset(); }
  } free{FWindow};
  FWindow = std::make_unique<TAboutWnd>(this);
  FWindow->ShowModal();
}
