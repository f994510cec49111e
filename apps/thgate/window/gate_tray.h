// thgate's tray icon: tip "Velgrant Tarnhold" and the "Options" menu, whose first item is the
// default one that a double click runs. Every chosen item goes to the window as its command.
// Where the desktop has no system tray the icon is never shown; the menu still exists.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "desktop/gate_commands.h"

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace tarnhold {

class GateTray : public QObject {
  Q_OBJECT

 public:
  using CommandHandler = std::function<void(WindowCommand)>;
  GateTray(const QIcon& icon, CommandHandler handler, QObject* parent = nullptr);
  ~GateTray() override;

  // Shows the icon when the desktop has a system tray. True when it is shown.
  bool Create(bool tray_available);
  // Removes the icon, if shown.
  void Remove();
  [[nodiscard]] bool Shown() const { return shown_; }
  [[nodiscard]] QMenu* Menu() const { return menu_.get(); }
  [[nodiscard]] QSystemTrayIcon* Icon() const { return icon_; }

 private:
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* icon_;
  CommandHandler handler_;
  bool shown_ = false;
};

}  // namespace tarnhold
