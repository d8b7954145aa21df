// The real window on the Qt backend (offscreen platform): what it shows, and
// how clicks, typing, the minimize box and the close box reach the window code.
#include <gtest/gtest.h>
#include <stdlib.h>

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
#include <QTimer>
#include <QToolButton>
#include <filesystem>

#include "app/Form1.h"
#include "ui/Application.h"
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

// Presses the default button of the next message box and keeps its text.
void AnswerNextMessageBox(QString& Text) {
  QTimer::singleShot(50, [&Text] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return AnswerNextMessageBox(Text);
    Text = box->text();
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
  });
}

TEST(Form1QtTest, RealWindowShowsTheDesignAndReactsToInput) {
  char tmpl[] = "/tmp/corvale-qt-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  {
    auto backend = CreateQtBackend();
    TApplication app(std::move(backend), dir + "/Corvale");
    app.ShowMainForm = false;
    TForm1* form = app.CreateForm<TForm1>();
    QWidget* w = TopLevel("Form1");
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "Corvale");
    EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
    EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    QWidget* client = w->findChild<QWidget*>("client");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->size(), QSize(403, 254));

    EXPECT_EQ(Texts<QLabel>(client).mid(0, 5),
              (QStringList{"Name", "Email", "Check Every", "hours", "mins"}));
    EXPECT_EQ(Texts<QLineEdit>(client), (QStringList{"", "", "48", "0"}));
    EXPECT_EQ(Texts<QCheckBox>(client), QStringList{"Start Minimized"});
    EXPECT_EQ(Texts<QPushButton>(client), (QStringList{"Apply", "&Minimize", "&Close"}));
    QStringList menu;
    for (QAction* a : w->findChild<QMenuBar*>()->actions()) menu << a->text();
    EXPECT_EQ(menu, (QStringList{"Apply", "Minimize", "Close", "Send Email", "About"}));
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

    // The countdown ticks on a real timer; the hidden window's status bar
    // catches up when it is shown.
    QTest::qWait(1300);
    EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 05 : 59");
    EXPECT_EQ(panel0->text(), "");
    form->Show();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(panel0->text(), "00 : 05 : 59");

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
