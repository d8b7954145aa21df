// The about box and its window on the headless backend: caption and texts,
// the window's size with and without a usable picture, the version line from
// the executable on disk, the system-information and web-link buttons, the
// ways the modal window ends, and timers running while it is open.
#include <gtest/gtest.h>

#include <memory>

#include "about/AboutBox.h"
#include "about/AboutWnd.h"
#include "tests/about/AboutTestSupport.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/Timer.h"
#include "ui/headless/HeadlessBackend.h"

using namespace about_test;

namespace {

class AboutTest : public ::testing::Test {
 protected:
  // ExeName is the program's path as the window sees it; the test executable
  // itself carries version information.
  void Start(const std::string& ExeName) {
    auto b = std::make_unique<THeadlessBackend>();
    ui = b.get();
    app = std::make_unique<TApplication>(std::move(b), ExeName);
    box = std::make_unique<TAboutBox>();
    box->AppName = "Corvale";
  }
  void SetUp() override { Start(files::ExecutablePath()); }
  void TearDown() override {
    box.reset();
    app.reset();
  }
  // Runs Body while the about window is shown modally; returns the result
  // ShowAbout's window ended with.
  int ShowWith(std::function<void(TAboutWnd&)> Body) {
    // Kept in the fixture: the backend holds the handler beyond this call.
    ModalBody = std::move(Body);
    ModalResult = -1;
    ui->OnShowModal = [this](TForm& F) {
      auto& w = dynamic_cast<TAboutWnd&>(F);
      EXPECT_EQ(box->Window(), &w);
      EXPECT_TRUE(w.InModalLoop);
      if (ModalBody) ModalBody(w);
      ModalResult = w.ModalResult;
    };
    box->ShowAbout();
    return ModalResult;
  }

  THeadlessBackend* ui = nullptr;
  std::unique_ptr<TApplication> app;
  std::unique_ptr<TAboutBox> box;
  std::function<void(TAboutWnd&)> ModalBody;
  int ModalResult = -1;
};

}  // namespace

TEST_F(AboutTest, CaptionNameLineAndTextsComeFromTheBox) {
  box->Copyright = "Copyright \xC2\xA9 2026 Corvale developers";
  box->Url = "http://127.0.0.1:9/corvale/";
  box->Warning = "Use at your own risk.";
  TAboutWnd w(box.get());
  EXPECT_EQ(w.GetCaption(), "About Corvale \xC2\xAE");
  EXPECT_EQ(w.lblAppName->GetCaption(), "Corvale \xC2\xAE");
  EXPECT_EQ(w.lblCopyright->GetCaption(), box->Copyright);
  EXPECT_EQ(w.lblUrl->GetCaption(), box->Url);
  EXPECT_EQ(w.lblUrl->Hint, box->Url);
  EXPECT_EQ(w.lblWarning->GetCaption(), "Use at your own risk.");
  EXPECT_EQ(w.btnSysInfo->GetCaption(), "System Info...");
  EXPECT_EQ(w.btnOk->GetCaption(), "OK");
  EXPECT_EQ(w.Owner(), box.get());
}

TEST_F(AboutTest, DefaultsAreStoredOnlyWhenChanged) {
  TAboutBox b;
  EXPECT_EQ(b.AppName, "");
  EXPECT_EQ(b.Warning, "");
  EXPECT_FALSE(b.CopyrightStored() || b.UrlStored() || b.WarningStored());
  EXPECT_TRUE(b.GetPicture().Empty());
  b.Url = "http://127.0.0.1/";
  EXPECT_TRUE(b.UrlStored());
}

TEST_F(AboutTest, WindowSizeFollowsThePicture) {
  const std::string good = ShippedJPEG();
  struct Case {
    const char* name;
    std::string jpeg;
    int width, height;  // the client area
    bool frame;         // bvlOuter shown
  } cases[] = {
      {"the shipped picture (250 x 82)", good, 297 + 25, 321 + 17, true},
      {"no picture", "", 297, 321, false},
      {"a truncated picture", good.substr(0, good.size() / 2), 297, 321, false},
      {"a corrupt picture", "\xFF\xD8\xFF\xE0 this is no JPEG", 297, 321, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    box->SetPicture(JPEGFrom(c.jpeg));
    TAboutWnd w(box.get());
    EXPECT_EQ(w.Width(), c.width);
    EXPECT_EQ(w.Height(), c.height);
    EXPECT_EQ(w.bvlOuter->GetVisible(), c.frame);
    if (c.frame) {
      EXPECT_EQ(w.imgApp->Width(), 250);
      EXPECT_EQ(w.imgApp->Height(), 82);
      EXPECT_EQ(w.imgApp->GetPicture().Width, 250);
      EXPECT_EQ(w.bvlOuter->Width(), 252);
      EXPECT_EQ(w.bvlOuter->Height(), 84);
    } else {
      EXPECT_EQ(w.imgApp->Width(), 0);
      EXPECT_EQ(w.imgApp->Height(), 0);
    }
    // The buttons stay inside the window at the bottom right.
    EXPECT_EQ(w.btnOk->Left() + w.btnOk->Width(), c.width - 8);
    EXPECT_EQ(w.btnOk->Top() + w.btnOk->Height(), c.height - 8);
    EXPECT_LT(w.btnSysInfo->Left() + w.btnSysInfo->Width(), w.btnOk->Left());
  }
}

TEST_F(AboutTest, SettingThePictureCopiesIt) {
  TJPEGImage pic = JPEGFrom(ShippedJPEG());
  box->SetPicture(pic);
  pic.Clear();
  EXPECT_FALSE(box->GetPicture().Empty());
}

TEST_F(AboutTest, VersionLineFromTheExecutableOnDisk) {
  TAboutWnd w(box.get());
  EXPECT_EQ(w.lblVersion->GetCaption(), "2.0 (Build: 2000.1)");
  EXPECT_TRUE(w.lblVersionInfo->GetVisible());
  EXPECT_EQ(w.lblVersionInfo->GetCaption(), "Version:");
}

TEST_F(AboutTest, ExecutableWithoutVersionShowsNoVersionLine) {
  TempDir dir;
  const std::string plain = CopyWithoutVersion(dir.Path, "Corvale.exe");
  TearDown();
  Start(plain);
  TAboutWnd w(box.get());
  EXPECT_EQ(w.lblVersion->GetCaption(), "");
  EXPECT_FALSE(w.lblVersionInfo->GetVisible());
}

TEST_F(AboutTest, SystemInformationThatCannotStartIsReportedAndTheWindowStays) {
  if (testenv::kWindows)
    GTEST_SKIP() << "Wine brings its own MSInfo32.EXE in the system folder, which the shell "
                    "searches before any folder a test could change: the call cannot fail here";
  int result = ShowWith([&](TAboutWnd& w) {
    w.btnSysInfo->Click();
    ASSERT_EQ(ui->MessageBoxes.size(), 1u);
    EXPECT_EQ(ui->MessageBoxes[0].Text, "Could not execute system information!");
    EXPECT_EQ(ui->MessageBoxes[0].Flags, MB_OK | MB_ICONERROR);
    EXPECT_EQ(w.ModalResult, mrNone);
    EXPECT_TRUE(w.GetVisible());
  });
  EXPECT_EQ(result, mrNone);  // then the backend's default ends it
}

TEST_F(AboutTest, EscapeEnterOkAndCloseBoxEndTheWindowAsCancel) {
  struct Case {
    const char* name;
    void (*End)(TAboutWnd&);
  } cases[] = {
      {"Escape", [](TAboutWnd& w) { w.Perform(WM_KEYDOWN, VK_ESCAPE, 0); }},
      {"Enter", [](TAboutWnd& w) { w.Perform(WM_KEYDOWN, VK_RETURN, 0); }},
      {"OK", [](TAboutWnd& w) { w.btnOk->Click(); }},
      {"close box", [](TAboutWnd& w) { w.Perform(WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShowWith(c.End), mrCancel);
    EXPECT_EQ(box->Window(), nullptr);  // freed when it closed
  }
  EXPECT_EQ(ui->ModalForms.size(), 4u);
  EXPECT_TRUE(ui->MessageBoxes.empty());
}

TEST_F(AboutTest, OtherKeysLeaveTheWindowOpen) {
  EXPECT_EQ(ShowWith([](TAboutWnd& w) { w.Perform(WM_KEYDOWN, 'A', 0); }), mrNone);
}

TEST_F(AboutTest, AboutAgainWhileOpenKeepsTheOneWindow) {
  ShowWith([&](TAboutWnd& w) {
    box->ShowAbout();
    EXPECT_EQ(box->Window(), &w);
    EXPECT_EQ(ui->ModalForms.size(), 1u);
  });
  EXPECT_EQ(box->Window(), nullptr);
}

TEST_F(AboutTest, ErrorWhileShownStillFreesTheWindow) {
  ui->OnShowModal = [](TForm&) { throw Exception("toolkit failed"); };
  EXPECT_THROW(box->ShowAbout(), Exception);
  EXPECT_EQ(box->Window(), nullptr);
}

TEST_F(AboutTest, TimersKeepRunningWhileTheWindowIsOpen) {
  TTimer timer;
  timer.SetInterval(1000);
  int ticks = 0;
  timer.OnTimer = [&](TComponent*) { ++ticks; };
  ShowWith([&](TAboutWnd&) { ui->Advance(3000); });
  EXPECT_EQ(ticks, 3);
}

TEST_F(AboutTest, WebLinkOpensTheAddressWithTheHourglassMeanwhile) {
  TempDir dir;
  const std::string note = dir.Path + "/opened";
  box->Url = "http://127.0.0.1:9/corvale/";
  {
    ScopedWebOpener opener(dir.Path, note);
    ShowWith([&](TAboutWnd& w) { w.lblUrl->Click(); });
    EXPECT_EQ(opener.Opened(), "http://127.0.0.1:9/corvale/");
  }
  ASSERT_EQ(ui->ScreenCursors.size(), 2u);
  EXPECT_EQ(ui->ScreenCursors[0], TCursor::crHourGlass);
  EXPECT_EQ(ui->ScreenCursors[1], TCursor::crDefault);
}

TEST_F(AboutTest, WebLinkThatCannotOpenIsNotReported) {
  TempDir dir;
  {
    ScopedWebOpener none(dir.Path, "");
    ShowWith([&](TAboutWnd& w) { w.lblUrl->Click(); });
  }
  EXPECT_TRUE(ui->MessageBoxes.empty());
  EXPECT_EQ(ui->ScreenCursors.size(), 2u) << "the cursor comes back all the same";
}
