// The real window on the Qt backend (offscreen platform): what it shows, and
// how clicks, typing, the minimize box and the close box reach the window code.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/Form1.h"
#include "platform/Exception.h"
#include "ui/Application.h"
#include "ui/Timer.h"
#include "ui/qt/QtBackend.h"

namespace {

QWidget* TopLevel(const char* Name) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == Name) return w;
  return nullptr;
}

template <class T>
QStringList Texts(QWidget* W) {
  QStringList out;
  for (T* c : W->findChildren<T*>()) out << c->text();
  return out;
}

// Presses the default button of the next message box and keeps its text (and
// the format it is shown in).
void AnswerNextMessageBox(QString& Text, Qt::TextFormat* Format = nullptr) {
  QTimer::singleShot(50, [&Text, Format] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return AnswerNextMessageBox(Text, Format);
    Text = box->text();
    if (Format) *Format = box->textFormat();
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
  });
}

// Runs Step on the top-level window Name once it is shown (it comes up inside
// a modal loop).
void WhenShown(const char* Name, const std::function<void(QWidget*)>& Step) {
  QTimer::singleShot(20, [Name, Step] {
    QWidget* w = TopLevel(Name);
    if (w && w->isVisible())
      Step(w);
    else
      WhenShown(Name, Step);
  });
}

// What a text shown by Qt reads as: the text itself when it is taken as plain
// text, else the plain text of the rich text it renders. A label decides by
// its text format; a tool tip always guesses.
QString Rendered(const QString& Text, Qt::TextFormat Format = Qt::AutoText) {
  if (Format == Qt::PlainText || (Format == Qt::AutoText && !Qt::mightBeRichText(Text)))
    return Text;
  QTextDocument document;
  document.setHtml(Text);
  return document.toPlainText();
}

// A loopback port that refuses connections while it lives: bound, not listening.
class RefusingPort {
 public:
  RefusingPort() : Fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      Port = ntohs(a.sin_port);
  }
  ~RefusingPort() { close(Fd); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Fd;
  uint16_t Port = 0;
};

// An echo page's text is stored and shown at every start, even with the echo
// host down: panel 1, the icon's tip, and message boxes show it as written,
// never as rich text that would draw markup or load a "picture" from a file.
TEST(Form1QtTest, HostileEchoValueIsShownAsWritten) {
  char tmpl[] = "/tmp/corvale-qt-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  RefusingPort echo;
  ASSERT_NE(echo.Port, 0);
  std::ofstream(dir + "/Corvale.ini", std::ios::binary)
      << "Name          Ann\r\nEmail         \r\nSchedule      3600\r\n"
         "Start Min     0\r\nIP            <img src=/dev/zero>\r\n";
  {
    TApplication app(CreateQtBackend(), dir + "/Corvale");
    app.ShowMainForm = false;
    auto* form = app.CreateForm<TForm1>(
        [&](TForm1& f) { f.EchoHost = "127.0.0.1:" + std::to_string(echo.Port); });
    QWidget* w = TopLevel("Form1");
    ASSERT_NE(w, nullptr);
    auto* panel1 = w->findChild<QLabel*>("panel1");
    ASSERT_NE(panel1, nullptr);
    auto* tray = qApp->findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    for (const char* value : {"<img src=/dev/zero>", "<b>x</b> &amp; <i>y</i>"}) {
      SCOPED_TRACE(value);
      form->LastIP = value;
      form->GetMyIP();  // the echo host refuses: the stored value is shown
      (void)w->grab();  // laid out and painted
      EXPECT_TRUE(w->isVisible());
      EXPECT_EQ(Rendered(panel1->text(), panel1->textFormat()), value);
      EXPECT_EQ(Rendered(tray->toolTip()), QString("Corvale - ") + value);
      for (QLabel* l : w->findChildren<QLabel*>()) EXPECT_EQ(l->textFormat(), Qt::PlainText);

      QString shown;
      Qt::TextFormat format = Qt::AutoText;
      AnswerNextMessageBox(shown, &format);
      app.Invoke([&] { throw Exception(value); });
      EXPECT_EQ(Rendered(shown, format), value);
    }

    // The about window opens over it, and its texts are plain too.
    bool about = false;
    WhenShown("AboutWnd", [&](QWidget* a) {
      (void)a->grab();
      for (QLabel* l : a->findChildren<QLabel*>()) EXPECT_EQ(l->textFormat(), Qt::PlainText);
      about = true;
      QTest::keyClick(a, Qt::Key_Escape);
    });
    form->About2->Click();
    EXPECT_TRUE(about);
    EXPECT_TRUE(w->isVisible());
    form->Close1->Click();
  }
  std::filesystem::remove_all(dir);
}

// A message box runs its own loop, where timers keep firing (Qt does not run
// a timer inside its own handler, but any other timer runs). While an error
// box is open, say one from Apply's check, a check tick that fails again must
// not open a box inside it: no tick runs until the box is answered.
TEST(Form1QtTest, NoTimerHandlerRunsWhileAnErrorBoxIsOpen) {
  TApplication app(CreateQtBackend(), "/tmp/Corvale");
  TTimer timer;
  timer.SetInterval(5);
  int runs = 0;
  timer.OnTimer = [&](TComponent*) {
    ++runs;
    throw Exception("check failed");
  };
  // Answers every box still open, innermost first.
  std::function<void()> answerAll = [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
      QTimer::singleShot(0, answerAll);
    }
  };
  // Once the box is up, let forty of the timer's periods pass in its loop
  // (counted by a plain Qt timer), then answer it.
  int runsWhileOpen = -1;
  int boxesOpen = 0;
  QTimer periods;
  int counted = 0;
  QObject::connect(&periods, &QTimer::timeout, [&] {
    if (++counted < 40) return;
    periods.stop();
    runsWhileOpen = runs;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<QMessageBox*>(w) && w->isVisible()) ++boxesOpen;
    timer.SetEnabled(false);
    answerAll();
  });
  std::function<void()> whenBoxUp = [&] {
    if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      periods.start(5);
    else
      QTimer::singleShot(5, whenBoxUp);
  };
  QTimer::singleShot(0, whenBoxUp);
  app.Invoke([] { throw Exception("apply failed"); });
  EXPECT_EQ(runsWhileOpen, 0);
  EXPECT_EQ(boxesOpen, 1);
}

TEST(Form1QtTest, RealWindowShowsTheDesignAndReactsToInput) {
  char tmpl[] = "/tmp/corvale-qt-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  {
    auto backend = CreateQtBackend();
    TApplication app(std::move(backend), dir + "/Corvale");
    app.ShowMainForm = false;
    auto* form = app.CreateForm<TForm1>();
    QWidget* w = TopLevel("Form1");
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "Corvale");
    EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
    EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    auto* client = w->findChild<QWidget*>("client");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->size(), QSize(403, 254));

    EXPECT_EQ(Texts<QLabel>(client).mid(0, 5),
              (QStringList{"Name", "Email", "Check Every", "hours", "mins"}));
    EXPECT_EQ(Texts<QLineEdit>(client), (QStringList{"", "", "48", "0"}));
    EXPECT_EQ(Texts<QCheckBox>(client), QStringList{"Start Minimized"});
    EXPECT_EQ(Texts<QPushButton>(client), (QStringList{"Apply", "&Minimize", "&Close"}));
    QStringList menu;
    auto* bar = w->findChild<QMenuBar*>();
    for (QAction* a : bar->actions()) menu << a->text();
    EXPECT_EQ(menu, (QStringList{"Apply", "Minimize", "Close", "Send Email", "Options...",
                                 "History...", "About"}));
    // Every entry fits on the bar of the fixed-width window: none is hidden
    // behind the bar's overflow arrow.
    for (QAction* a : bar->actions())
      EXPECT_LE(bar->actionGeometry(a).right(), bar->width() - 1) << a->text().toStdString();
    auto* panel0 = client->findChild<QLabel*>("panel0");
    ASSERT_NE(panel0, nullptr);
    EXPECT_EQ(panel0->width(), 100);
    EXPECT_NE(client->findChild<QLabel*>("panel1"), nullptr);

    auto* tray = qApp->findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    EXPECT_EQ(tray->toolTip(), "Corvale");
    EXPECT_FALSE(tray->icon().isNull()) << "the icon ships inside the executable";

    // Typing reaches the components; the spin arrows step the bound edit.
    auto edits = client->findChildren<QLineEdit*>();
    QTest::keyClicks(edits[0], "Ann");
    EXPECT_EQ(form->Edit1->GetText(), "Ann");
    edits[3]->clear();
    QTest::keyClicks(edits[3], "5");
    auto ups = client->findChildren<QToolButton*>("up");
    ASSERT_EQ(ups.size(), 2);
    QTest::mouseClick(ups[1], Qt::LeftButton);
    EXPECT_EQ(edits[3]->text(), "6");
    EXPECT_EQ(form->UpDown2->GetPosition(), 6);
    // Leaving the hours edit (for another control of the window) caps it at 24.
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    edits[2]->setFocus();
    edits[2]->selectAll();
    QTest::keyClicks(edits[2], "30");
    EXPECT_EQ(form->Edit3->GetText(), "30");
    edits[1]->setFocus();
    QTest::qWait(20);
    EXPECT_EQ(edits[2]->text(), "24");
    EXPECT_EQ(form->Edit3->GetText(), "24");
    form->Edit3->SetText("0");
    EXPECT_EQ(edits[2]->text(), "0") << "the widget mirrors the component";

    // An exception from a handler ends in a message box, not in Qt.
    QString shown;
    AnswerNextMessageBox(shown);
    form->Edit3->SetText("x");
    app.Invoke([&] { form->Edit3->DoExit(); });
    EXPECT_EQ(shown, "'x' is not a valid integer value");
    form->Edit3->SetText("0");

    // Apply: the window hides, the schedule runs, the settings are written.
    QTest::mouseClick(client->findChildren<QPushButton*>()[0], Qt::LeftButton);
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(form->Timer1->GetEnabled());
    EXPECT_EQ(form->Timer1->GetInterval(), 6u * 60000u);
    EXPECT_TRUE(std::filesystem::exists(dir + "/Corvale.ini"));
    EXPECT_EQ(tray->toolTip(), "Corvale - ");

    // The countdown rests while the window is hidden, and the panel shows
    // the time left the moment the window is shown (here 61 s of the six
    // minutes have passed), before the next tick.
    EXPECT_FALSE(form->Timer2->GetEnabled());
    QTest::qWait(50);
    EXPECT_EQ(panel0->text(), "");
    form->PeriodStart = Now() - 61.5 / 86400;
    form->ShowApplication1->Click();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(panel0->text(), "00 : 04 : 59");
    EXPECT_TRUE(form->Timer2->GetEnabled());

    // A hidden window holds no keyboard focus (an edit's cursor would blink
    // on in it); it gets it back where it was when shown.
    edits[1]->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    form->Hide1->Click();
    QTest::qWait(20);
    EXPECT_EQ(QApplication::focusWidget(), nullptr);
    form->ShowApplication1->Click();
    EXPECT_EQ(w->focusWidget(), edits[1]);

    // The minimize box hides the window instead.
    w->setWindowState(Qt::WindowMinimized);
    QTest::qWait(50);
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w->isMinimized());

    // The close box removes the icon and ends the application.
    form->Show();
    w->close();
    QTest::qWait(20);
    EXPECT_TRUE(app.Terminated());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(qApp->findChild<QSystemTrayIcon*>(), nullptr);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
