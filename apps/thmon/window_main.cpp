// thmon-window: the queue monitor's window, started by thmon when no command is given.
#include <QApplication>
#include <QFileDialog>
#include <iostream>

#include "apps/thmon/window/monitor_window.h"
#include "monitor/monitor_command.h"
#include "platform/data_root.h"
#include "widgets/program_setup.h"
#include "widgets/qt_message_box.h"

int main(int argc, char** argv) {
  using namespace tarnhold;
  std::vector<std::string> args(argv + 1, argv + argc);
  monitor::MonitorOptions options;
  std::string error;
  if (!monitor::ParseMonitorCommandLine(args, options, error) || options.check_once) {
    std::cerr << "thmon: " << (error.empty() ? "--check-once is run by thmon itself" : error)
              << '\n';
    return monitor::kMonitorUsage;
  }
  QApplication app(argc, argv);
  SetUpProgram(app, "thmon", QColor(0xc6, 0x28, 0x28));
  QtMessageBox boxes;
  MonitorWindow window(monitor::MonitorConfigPath(options.config), ResolveDataRoot(options.root),
                       boxes, [&](const QString& title, const QString& start) {
                         return QFileDialog::getExistingDirectory(&window, title, start);
                       });
  boxes.SetParent(&window);
  window.show();
  return app.exec();
}
