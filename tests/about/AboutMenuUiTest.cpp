// "About" in the main window's menu bar and in the icon's menu opens the about
// box of the main window, with its picture and the program's version; the
// main window's countdown keeps ticking while it is open.
#include <gtest/gtest.h>

#include <memory>

#include "about/AboutWnd.h"
#include "app/Form1.h"
#include "tests/about/AboutTestSupport.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

using namespace about_test;

namespace {

// The main window without address checks.
class QuietForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void GetMyIP() override {}
};

}  // namespace

TEST(AboutMenuTest, BothAboutEntriesOpenTheAboutWindowWhileTimersRun) {
  TempDir dir;
  // The program as the window sees it: a copy of this test executable, which
  // carries the version section.
  const std::string exe = CopySelf(dir.Path, "Corvale");
  auto b = std::make_unique<THeadlessBackend>();
  THeadlessBackend& ui = *b;
  TApplication app(std::move(b), exe);
  app.ShowMainForm = false;
  auto* form = app.CreateForm<QuietForm>();
  form->Timer2->SetEnabled(true);  // the countdown

  for (TMenuItem* entry : {form->About2, form->About1}) {
    SCOPED_TRACE(entry->Name);
    int ticks = 0;
    form->Timer2->OnTimer = [&](TComponent*) { ++ticks; };
    ui.OnShowModal = [&](TForm& F) {
      auto& w = dynamic_cast<TAboutWnd&>(F);
      EXPECT_EQ(w.GetCaption(), "About Corvale \xC2\xAE");
      EXPECT_EQ(w.Width(), 322);
      EXPECT_EQ(w.Height(), 338);
      EXPECT_EQ(w.lblVersion->GetCaption(), "2.0 (Build: 2000.1)");
      EXPECT_EQ(w.lblUrl->Hint, form->AboutBox1->Url);
      ui.Advance(2000);
      w.Perform(WM_KEYDOWN, VK_ESCAPE, 0);
    };
    entry->Click();
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(form->AboutBox1->Window(), nullptr);
  }
  EXPECT_EQ(ui.ModalForms.size(), 2u);
  EXPECT_TRUE(ui.MessageBoxes.empty());
}
