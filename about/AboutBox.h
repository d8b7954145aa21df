#pragma once
// The about box: a non-visual component on the main window that holds the
// texts and the picture of the about window, and shows that window.
//
//   AboutBox1->AppName = "Corvale";
//   AboutBox1->ShowAbout();  // modal; returns when the window is closed
#include <memory>
#include <string>

#include "about/JPEGImage.h"
#include "platform/Component.h"

class TAboutWnd;

class TAboutBox : public TComponent {
 public:
  explicit TAboutBox(TComponent* AOwner = nullptr);
  ~TAboutBox() override;

  // The defaults of Copyright, Url and Warning.
  static const char* const kDefaultCopyright;
  static const char* const kDefaultUrl;
  static const char* const kDefaultWarning;

  std::string AppName;
  std::string Copyright = kDefaultCopyright;
  std::string Url = kDefaultUrl;
  std::string Warning = kDefaultWarning;

  // The component keeps its own copy of the picture.
  const TJPEGImage& GetPicture() const { return *FPicture; }
  void SetPicture(const TJPEGImage& Value) { *FPicture = Value; }

  // Whether a property differs from its default (only those are worth
  // writing into a form description).
  bool CopyrightStored() const { return Copyright != kDefaultCopyright; }
  bool UrlStored() const { return Url != kDefaultUrl; }
  bool WarningStored() const { return Warning != kDefaultWarning; }

  // Creates the about window for this component, shows it modally and frees it
  // when it closes (also when showing it fails). While it is open a second call
  // brings it to the front and returns.
  void ShowAbout();

  // The window while it is open, else null.
  TAboutWnd* Window() const { return FWindow.get(); }

 private:
  std::unique_ptr<TJPEGImage> FPicture;
  std::unique_ptr<TAboutWnd> FWindow;
};
