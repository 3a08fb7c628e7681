// jarname-gui: the rename tool's window.
//   jarname-gui                     run the window
//   jarname-gui --screenshot FILE   render the window once into FILE and quit
#include <QApplication>
#include <QPixmap>
#include <QStringList>
#include <QTimer>
#include <cstdio>

#include "app/gui/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("jarname-gui"));
  // The application title names the program in launchers (the .desktop
  // entry) and captions its message boxes; as Qt's display name it would be
  // appended to the window caption, which must stay as it is.
  QGuiApplication::setDesktopFileName(QStringLiteral("jarname-gui"));
  QApplication::setFont(qmx::TMainWindow::WindowFont());

  QString screenshot;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) {
      screenshot = args[++i];
    } else {
      std::fprintf(stderr, "usage: jarname-gui [--screenshot FILE]\n");
      return 2;
    }
  }

  qmx::TMainWindow window;
  window.InstallHooks();
  window.show();
  if (!screenshot.isEmpty()) {
    // Let the window settle (layout, fonts) before it is grabbed.
    QTimer::singleShot(300, &window, [&] {
      const bool saved = window.grab().save(screenshot);
      if (!saved) std::fprintf(stderr, "jarname-gui: cannot write %s\n", qPrintable(screenshot));
      QApplication::exit(saved ? 0 : 1);
    });
  }
  return QApplication::exec();
}
