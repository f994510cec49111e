// The Qt form of the message-box seam: a modal QMessageBox over the program's window.
#pragma once

#include "desktop/message_box.h"

class QWidget;

namespace tarnhold {

class QtMessageBox : public MessageBoxSeam {
 public:
  explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  [[nodiscard]] BoxAnswer Show(const BoxRequest& request) override;

 private:
  QWidget* parent_;
};

}  // namespace tarnhold
