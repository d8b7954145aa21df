// The idle floor of a Qt Widgets program on this machine: a hidden window whose
// status-bar text is refreshed once a second, followed by one pass of pending
// events, which is what Corvale's countdown does while its window is hidden.
// bench/idle-compare.sh measures it beside Corvale, so that the toolkit's own
// cost per wake-up can be told apart from Corvale's.
#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QString>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  QStatusBar bar(&window);
  QLabel panel(&bar);
  bar.addWidget(&panel);
  QTimer tick;
  tick.setInterval(1000);
  int seconds = 0;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    ++seconds;
    panel.setText(QString::asprintf("%2.2d : %2.2d : %2.2d", seconds / 3600, seconds / 60 % 60,
                                    seconds % 60));
    QApplication::processEvents();
  });
  tick.start();
  return QApplication::exec();
}
