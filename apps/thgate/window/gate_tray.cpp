#include "apps/thgate/window/gate_tray.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

namespace tarnhold {

GateTray::GateTray(const QIcon& icon, CommandHandler handler, QObject* parent)
    : QObject(parent),
      menu_(std::make_unique<QMenu>(QString::fromUtf8(kTrayMenuTitle))),
      icon_(new QSystemTrayIcon(icon, this)),
      handler_(std::move(handler)) {
  for (const CommandControl& item : kTrayMenu) {
    if (item.text == nullptr) {
      menu_->addSeparator();
      continue;
    }
    QAction* action = menu_->addAction(QString::fromUtf8(item.text));
    const WindowCommand command = item.command;
    connect(action, &QAction::triggered, this, [this, command] { handler_(command); });
  }
  menu_->setDefaultAction(menu_->actions().front());
  icon_->setToolTip(QString::fromUtf8(kGateWindowTitle));
  icon_->setContextMenu(menu_.get());
  // A double click runs the default item ("Status"); other clicks are left to the menu.
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::DoubleClick) menu_->defaultAction()->trigger();
  });
}

GateTray::~GateTray() { Remove(); }

bool GateTray::Create(bool tray_available) {
  if (!tray_available) return false;
  icon_->show();
  shown_ = true;
  return shown_;
}

void GateTray::Remove() {
  if (!shown_) return;
  icon_->hide();
  shown_ = false;
}

}  // namespace tarnhold
