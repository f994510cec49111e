// thadmin: the administrator's editor of the gateway's configuration on one data root
// (--root DIR, else $TARNHOLD_ROOT, else the default root).
#include <QApplication>
#include <cstdio>
#include <string>
#include <string_view>

#include "apps/thadmin/admin_window.h"
#include "platform/data_root.h"
#include "widgets/program_setup.h"
#include "widgets/qt_message_box.h"

namespace {

constexpr const char* kUsage = "usage: thadmin [--root DIR]\n";

}  // namespace

int main(int argc, char** argv) {
  std::string root_option;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root_option = argv[++i];
    } else if (arg.starts_with("--root=")) {
      root_option = std::string(arg.substr(7));
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg != "-platform" && !arg.starts_with("-")) {
      std::fprintf(stderr, "thadmin: unexpected argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }
  QApplication app(argc, argv);
  tarnhold::SetUpProgram(app, "Tarnhold Administrator", QColor(40, 90, 160));
  tarnhold::QtMessageBox boxes;
  tarnhold::DetachedLauncher launcher;
  tarnhold::AdminWindow window(tarnhold::ResolveDataRoot(root_option), boxes, launcher);
  boxes.SetParent(&window);
  window.show();
  return window.exec() == QDialog::Accepted ? 0 : 1;
}
