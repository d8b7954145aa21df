// The about window on the Qt backend (offscreen platform): a modal dialog with
// the picture, the version line and the link's tip and cursor; "System
// Info..." reports the missing tool in a message box; Escape ends it; the
// program's timers run while it is open.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include "about/AboutBox.h"
#include "tests/about/AboutTestSupport.h"
#include "ui/Application.h"
#include "ui/Timer.h"
#include "ui/qt/QtBackend.h"

using namespace about_test;

namespace {

QWidget* TopLevel(const char* Name) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == Name && w->isVisible()) return w;
  return nullptr;
}

QLabel* LabelWithText(QWidget* W, const QString& Text) {
  for (QLabel* l : W->findChildren<QLabel*>())
    if (l->text() == Text) return l;
  return nullptr;
}

// Runs Step once the modal window Name is up (polling, as the window appears
// inside ShowAbout's own loop).
void WhenShown(const char* Name, const std::function<void(QWidget*)>& Step, int Tries = 100) {
  QTimer::singleShot(20, [=] {
    if (QWidget* w = TopLevel(Name))
      Step(w);
    else if (Tries > 0)
      WhenShown(Name, Step, Tries - 1);
  });
}

}  // namespace

TEST(AboutQtTest, ModalDialogWithPictureVersionAndLinkEndsOnEscape) {
  TApplication app(CreateQtBackend(), files::ExecutablePath());
  TAboutBox box;
  box.AppName = "Corvale";
  box.Url = "http://127.0.0.1:9/corvale/";
  box.SetPicture(JPEGFrom(ShippedJPEG()));
  TTimer timer;
  timer.SetInterval(20);
  int ticks = 0;
  timer.OnTimer = [&](TComponent*) { ++ticks; };

  bool checked = false;
  QString boxText;
  WhenShown("AboutWnd", [&](QWidget* w) {
    EXPECT_EQ(w->windowTitle(), QString::fromUtf8("About Corvale \xC2\xAE"));
    EXPECT_EQ(w->windowModality(), Qt::ApplicationModal);
    auto* client = w->findChild<QWidget*>("client");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->size(), QSize(322, 338));
    bool picture = false;
    for (QLabel* l : w->findChildren<QLabel*>())
      if (!l->pixmap().isNull() && l->pixmap().size() == QSize(250, 82)) picture = true;
    EXPECT_TRUE(picture);
    EXPECT_NE(LabelWithText(w, "2.0 (Build: 2000.1)"), nullptr);
    QLabel* link = LabelWithText(w, "http://127.0.0.1:9/corvale/");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->toolTip(), "http://127.0.0.1:9/corvale/");
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);

    // The message box comes up inside the click; answer it from a timer.
    QTimer::singleShot(50, [&] {
      if (auto* m = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        boxText = m->text();
        QTest::mouseClick(m->buttons().first(), Qt::LeftButton);
      }
    });
    for (QPushButton* b : w->findChildren<QPushButton*>())
      if (b->text() == "System Info...") {
        // The caption fits the design's 73 pixels inside the button's frame.
        b->ensurePolished();
        const int frame = b->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, b);
        EXPECT_EQ(b->width(), 73);
        EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 2 * frame, b->width());
        QTest::mouseClick(b, Qt::LeftButton);
      }
    EXPECT_TRUE(w->isVisible());  // the about window stays after the report
    checked = true;
    QTest::keyClick(w, Qt::Key_Escape);
  });
  box.ShowAbout();
  EXPECT_TRUE(checked);
  EXPECT_EQ(boxText, "Could not execute system information!");
  EXPECT_EQ(box.Window(), nullptr);
  EXPECT_EQ(TopLevel("AboutWnd"), nullptr);
  EXPECT_GT(ticks, 0);
}

// The box's texts are shown as written: a text that looks like markup is not
// drawn as rich text (which could load a "picture" from any file), in the
// labels or in the link's tip, and the window opens and closes as usual.
TEST(AboutQtTest, TextsThatLookLikeMarkupAreShownAsWritten) {
  TApplication app(CreateQtBackend(), files::ExecutablePath());
  TAboutBox box;
  const QString hostile = "<img src=/dev/zero><b>x</b> &amp;";
  box.AppName = hostile.toStdString();
  box.Copyright = hostile.toStdString();
  box.Url = hostile.toStdString();
  box.Warning = hostile.toStdString();
  // What a tip reads as: Qt takes it as rich text when it looks like markup.
  const auto tipReads = [](const QString& Tip) {
    if (!Qt::mightBeRichText(Tip)) return Tip;
    QTextDocument document;
    document.setHtml(Tip);
    return document.toPlainText();
  };
  bool checked = false;
  WhenShown("AboutWnd", [&](QWidget* w) {
    (void)w->grab();  // laid out and painted
    for (QLabel* l : w->findChildren<QLabel*>()) EXPECT_EQ(l->textFormat(), Qt::PlainText);
    EXPECT_NE(LabelWithText(w, hostile + QString::fromUtf8(" \xC2\xAE")), nullptr);
    QLabel* link = nullptr;
    for (QLabel* l : w->findChildren<QLabel*>())
      if (l->text() == hostile && !l->toolTip().isEmpty()) link = l;
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(tipReads(link->toolTip()), hostile);
    checked = true;
    QTest::keyClick(w, Qt::Key_Escape);
  });
  box.ShowAbout();
  EXPECT_TRUE(checked);
  EXPECT_EQ(box.Window(), nullptr);
}
