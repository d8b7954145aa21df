#pragma once
// The about window: the program's name, version line, copyright, web link,
// picture, warning, a button for the system-information tool and OK. Its about
// box creates it, fills it from its properties, shows it modally and frees it.
#include <string>

#include "ui/Bevel.h"
#include "ui/BitBtn.h"
#include "ui/Form.h"
#include "ui/Image.h"
#include "ui/Label.h"

class TAboutBox;

class TAboutWnd : public TForm {
 public:
  // Builds the window from its design and fills it from Box, which owns it.
  // Without a picture (or with one that cannot be decoded) the image and its
  // frame are not shown and the window keeps its design size; a picture
  // larger than the design's image area makes the window larger by the
  // difference.
  explicit TAboutWnd(TAboutBox* Box);
  ~TAboutWnd() override;

  TLabel* lblAppName;
  TLabel* lblVersionInfo;
  TLabel* lblVersion;
  TLabel* lblCopyright;
  TLabel* lblUrl;
  TImage* imgApp;
  TBevel* bvlOuter;
  TBevel* bvlSep;
  TLabel* lblWarning;
  TBitBtn* btnSysInfo;
  TBitBtn* btnOk;

  // Handlers.
  void FormCreate(TComponent* Sender);
  void btnSysInfoClick(TComponent* Sender);
  void lblUrlClick(TComponent* Sender);

  // "2.0 (Build: 2000.1)" from the running executable's version information
  // (the application's ExeName), or an empty text when it has none.
  std::string GetFileVersionText() const;
  // The same for the executable file FileName.
  static std::string FileVersionText(const std::string& FileName);

  // Design: the client area, and the image area a picture grows it from.
  static constexpr int kDesignWidth = 297;
  static constexpr int kDesignHeight = 321;
  static constexpr int kImageWidth = 225;
  static constexpr int kImageHeight = 65;
};
