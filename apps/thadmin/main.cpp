// thadmin: the administrator's editor of the gateway's configuration on one data root
// (--root DIR, else $TARNHOLD_ROOT, else the default root).
#include <QApplication>
#include <cstdio>
#include <string>

#include "apps/thadmin/admin_window.h"
#include "platform/data_root.h"
#include "widgets/program_setup.h"
#include "widgets/qt_message_box.h"

namespace {

constexpr const char* kUsage = "usage: thadmin [--root DIR]\n";

}  // namespace

int main(int argc, char** argv) {
  // Qt takes its own options (-platform and the like) out of the arguments first.
  QApplication app(argc, argv);
  std::string root_option;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    const std::string arg = args[i].toStdString();
    if (arg == "--root" && i + 1 < args.size()) {
      root_option = args[++i].toStdString();
    } else if (arg.starts_with("--root=")) {
      root_option = arg.substr(7);
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "thadmin: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  tarnhold::SetUpProgram(app, "Tarnhold Administrator", QColor(40, 90, 160));
  tarnhold::QtMessageBox boxes;
  tarnhold::DetachedLauncher launcher;
  tarnhold::AdminWindow window(tarnhold::ResolveDataRoot(root_option), boxes, launcher);
  boxes.SetParent(&window);
  window.show();
  return window.exec() == QDialog::Accepted ? 0 : 1;
}
