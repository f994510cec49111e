// thqueue-window: the queue manager's window, started by thqueue when no command is given.
#include <QApplication>
#include <QFileDialog>
#include <iostream>

#include "apps/thqueue/window/queue_window.h"
#include "platform/data_root.h"
#include "queues/queue_commands.h"
#include "widgets/program_setup.h"
#include "widgets/qt_message_box.h"

int main(int argc, char** argv) {
  using namespace tarnhold;
  std::vector<std::string> args(argv + 1, argv + argc);
  queues::QueueOptions options;
  std::string error;
  if (!queues::ParseQueueCommandLine(args, options, error) ||
      options.command != queues::QueueCommand::Window) {
    std::cerr << "thqueue: " << (error.empty() ? "a command is run by thqueue itself" : error)
              << '\n';
    return queues::kQueueUsage;
  }
  QApplication app(argc, argv);
  SetUpProgram(app, "thqueue", QColor(0x2e, 0x7d, 0x32));
  const SpoolLayout layout(ResolveDataRoot(options.root));
  QtMessageBox boxes;
  QueueWindow window(layout, boxes, [&](const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(&window, title, start);
  });
  boxes.SetParent(&window);
  window.show();
  return app.exec();
}
