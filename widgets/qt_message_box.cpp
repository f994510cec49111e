#include "widgets/qt_message_box.h"

#include <QMessageBox>
#include <QString>

namespace tarnhold {

namespace {

QMessageBox::Icon ToQt(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Information: return QMessageBox::Information;
    case BoxIcon::Warning: return QMessageBox::Warning;
    case BoxIcon::Error: return QMessageBox::Critical;
    case BoxIcon::Question: return QMessageBox::Question;
    case BoxIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQt(BoxButtons buttons) {
  switch (buttons) {
    case BoxButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case BoxButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case BoxButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case BoxButtons::Ok: break;
  }
  return QMessageBox::Ok;
}

BoxAnswer FromQt(int button) {
  switch (button) {
    case QMessageBox::Yes: return BoxAnswer::Yes;
    case QMessageBox::No: return BoxAnswer::No;
    case QMessageBox::Cancel: return BoxAnswer::Cancel;
    default: return BoxAnswer::Ok;
  }
}

}  // namespace

BoxAnswer QtMessageBox::Show(const BoxRequest& request) {
  QMessageBox box(ToQt(request.icon), QString::fromStdString(request.title),
                  QString::fromStdString(request.text), ToQt(request.buttons), parent_);
  return FromQt(box.exec());
}

}  // namespace tarnhold
