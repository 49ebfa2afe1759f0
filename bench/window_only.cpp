// The start-up baseline: a main window of the program's size and kind (menu bar, check boxes,
// a button, a text box), shown and closed as soon as the event loop first runs. The start-up
// script compares the program's unattended start-to-exit time with this one's. With --stay the
// window stays open and runs two timers of the program's periods (500 and 1000 ms), which the
// program's status display needs whatever else it does: the floor of its idle wake-ups.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QMainWindow window;
  auto* client = new QWidget(&window);
  auto* layout = new QVBoxLayout(client);
  auto* lines = new QGroupBox(QStringLiteral("Manual"), client);
  auto* lines_layout = new QVBoxLayout(lines);
  for (const char* name : {"RTS", "DTR", "CTS", "DSR", "DCD"}) {
    lines_layout->addWidget(new QCheckBox(QString::fromLatin1(name), lines));
  }
  layout->addWidget(lines);
  auto* combo = new QComboBox(client);
  for (int n = 1; n <= 32; ++n) combo->addItem(QStringLiteral("Com%1").arg(n));
  layout->addWidget(combo);
  auto* tests = new QGroupBox(QStringLiteral("Test"), client);
  auto* tests_layout = new QVBoxLayout(tests);
  for (int n = 1; n <= 6; ++n)
    tests_layout->addWidget(new QCheckBox(QStringLiteral("Test %1").arg(n), tests));
  layout->addWidget(tests);
  layout->addWidget(new QPushButton(QStringLiteral("Run"), client));
  auto* text = new QPlainTextEdit(client);
  text->setPlainText(QStringLiteral("Wait ...\n"));
  layout->addWidget(text);
  window.setCentralWidget(client);
  for (const char* title : {"Setup", "Function"}) {
    QMenu* menu = window.menuBar()->addMenu(QString::fromLatin1(title));
    for (int i = 0; i < 10; ++i)
      menu->addAction(QStringLiteral("Item %1").arg(i))->setCheckable(true);
  }
  window.show();
  QTimer status;
  QTimer monitor;
  if (QApplication::arguments().contains(QStringLiteral("--stay"))) {
    status.start(500);
    monitor.start(1000);
  } else {
    QTimer::singleShot(0, &application, &QApplication::quit);
  }
  return QApplication::exec();
}
