// The idle floor of a Qt Widgets program on this machine: a window that is
// shown once and hidden (as Corvale's is at a start minimized), with an edit,
// a status bar and the program's icon, and one timer that updates the status
// bar once a minute, then lets pending events run, which is what Corvale does
// while hidden with a check every minute. bench/idle-compare.sh measures it
// beside Corvale, so that the toolkit's own wake-ups and cost can be told
// apart from Corvale's.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QString>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  constexpr int kCheckMs = 60000;  // the benchmark's check interval
  QWidget window;
  auto* box = new QVBoxLayout(&window);
  box->addWidget(new QLineEdit(&window));
  auto* bar = new QStatusBar(&window);
  auto* panel = new QLabel(bar);
  bar->addWidget(panel);
  box->addWidget(bar);
  window.setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
  window.show();
  window.hide();
  QTimer check;
  check.setInterval(kCheckMs);
  int checks = 0;
  QObject::connect(&check, &QTimer::timeout, [&] {
    panel->setText(QString::number(++checks));
    QApplication::processEvents();
  });
  check.start();
  return QApplication::exec();
}
