// The window plugin's entry point, which thgate finds with dlsym: the Qt application, the main
// window over the engine, and its event loop until the exit routine.
#include <QApplication>
#include <cstdlib>

#include "apps/thgate/window/gate_window.h"
#include "desktop/program_launcher.h"
#include "widgets/program_setup.h"
#include "widgets/qt_message_box.h"

namespace {

// Test aid: with THGATE_WINDOW_GRAB=FILE and THGATE_WINDOW_GRAB_LINES=N the window is shown at
// start and a picture of it is saved to FILE once N log lines have come in.
void ArrangeGrab(tarnhold::GateWindow& window) {
  const char* file = std::getenv("THGATE_WINDOW_GRAB");
  const char* lines = std::getenv("THGATE_WINDOW_GRAB_LINES");
  if (file == nullptr || *file == '\0') return;
  const int count = lines != nullptr ? std::atoi(lines) : 1;
  window.GrabAfterLines(count > 0 ? count : 1, QString::fromLocal8Bit(file));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int tarnhold_run_window(
    tarnhold::WindowHost* host, int argc, char** argv) {
  using namespace tarnhold;
  QApplication app(argc, argv);
  SetUpProgram(app, QStringLiteral("thgate"), kGateAccent);
  // The window is hidden most of the time: only the exit routine ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  DetachedLauncher launcher;
  QtMessageBox box;
  GateWindow window(*host, launcher, box, OwnProgramFolder());
  box.SetParent(&window);
  QObject::connect(
      &window, &GateWindow::exitRequested, &app, [](int code) { QApplication::exit(code); },
      Qt::QueuedConnection);
  ArrangeGrab(window);
  if (window.Begin() != StartResult::Started) return host->Exit();
  return QApplication::exec();
}
