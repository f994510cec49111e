#include "widgets/program_setup.h"

#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tarnhold {

namespace {

QPixmap ShieldPixmap(int size, const QColor& accent) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QPainterPath shield;
  shield.moveTo(s * 0.5, s * 0.06);
  shield.lineTo(s * 0.9, s * 0.2);
  shield.cubicTo(s * 0.9, s * 0.6, s * 0.72, s * 0.82, s * 0.5, s * 0.95);
  shield.cubicTo(s * 0.28, s * 0.82, s * 0.1, s * 0.6, s * 0.1, s * 0.2);
  shield.closeSubpath();
  painter.setPen(QPen(accent.darker(160), qMax(1.0, s / 24)));
  painter.setBrush(accent);
  painter.drawPath(shield);
  // An envelope on the shield: the gateway's business.
  const QRectF letter(s * 0.3, s * 0.36, s * 0.4, s * 0.26);
  painter.setPen(QPen(Qt::white, qMax(1.0, s / 20)));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(letter);
  painter.drawLine(letter.topLeft(), QPointF(letter.center().x(), letter.center().y() + s * 0.02));
  painter.drawLine(letter.topRight(), QPointF(letter.center().x(), letter.center().y() + s * 0.02));
  return pixmap;
}

}  // namespace

QIcon ProgramIcon(const QColor& accent) {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64}) icon.addPixmap(ShieldPixmap(size, accent));
  return icon;
}

void SetUpProgram(QApplication& app, const QString& program, const QColor& accent) {
  QApplication::setApplicationName(program);
  QApplication::setApplicationVersion(kProductVersion);
  QApplication::setOrganizationName("Velgrant");
  app.setWindowIcon(ProgramIcon(accent));
}

void ShowAboutBox(QWidget* parent, const QString& program) {
  QMessageBox::about(parent, QStringLiteral("About %1").arg(program),
                     QStringLiteral("%1 Version %2").arg(program, kProductVersion));
}

}  // namespace tarnhold
