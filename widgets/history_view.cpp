#include "widgets/history_view.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace tarnhold {
namespace {

QColor FromRgb(std::uint32_t rgb) { return QColor::fromRgb(static_cast<QRgb>(rgb)); }

}  // namespace

HistoryView::HistoryView(LogHistory& history, QWidget* parent)
    : QAbstractScrollArea(parent), history_(history) {
  setFocusPolicy(Qt::ClickFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // The paint covers every pixel: no background erase first.
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &HistoryView::OnVerticalScroll);
  connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, &HistoryView::OnHorizontalScroll);
  Measure();
  history_.Attach(lines_fit_, chars_fit_);
  Refresh();
}

HistoryView::~HistoryView() { history_.Detach(); }

void HistoryView::NotifyLinesAdded() {
  if (refresh_posted_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this, [this] { Refresh(); }, Qt::QueuedConnection);
}

void HistoryView::Measure() {
  const QFontMetrics metrics(font());
  char_width_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('X')));
  line_height_ = std::max(1, metrics.height());
  const QSize area = viewport()->size();
  lines_fit_ = std::max(0, area.height() / line_height_);
  chars_fit_ = std::max(0, (area.width() - kHistoryMargin) / char_width_);
}

// Mirrors the log's scroll state in the bars, then repaints once.
void HistoryView::Refresh() {
  // Cleared before the read: a line added while this runs posts the next refresh.
  refresh_posted_.store(false);
  ++refresh_count_;
  ScrollState scroll;
  history_.ReadHistory([&scroll](const std::deque<LogLine>&, const ScrollState& s) { scroll = s; });
  // Not by blocking the bars' signals: the scroll area shows and hides a bar on its range
  // signal. Our own value handlers ignore what this sets.
  syncing_ = true;
  verticalScrollBar()->setRange(0, scroll.vertical_max);
  verticalScrollBar()->setPageStep(std::max(1, lines_fit_));
  verticalScrollBar()->setValue(scroll.vertical_pos);
  horizontalScrollBar()->setRange(0, scroll.horizontal_max);
  horizontalScrollBar()->setPageStep(std::max(1, chars_fit_));
  horizontalScrollBar()->setValue(scroll.horizontal_pos);
  syncing_ = false;
  viewport()->update();
}

void HistoryView::OnVerticalScroll(int value) {
  if (syncing_) return;
  if (history_.ScrollVertical(ScrollAction::ThumbTrack, value)) viewport()->update();
}

void HistoryView::OnHorizontalScroll(int value) {
  if (syncing_) return;
  if (history_.ScrollHorizontal(ScrollAction::ThumbTrack, value)) viewport()->update();
}

void HistoryView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QRect area = viewport()->rect();
  const int ascent = QFontMetrics(font()).ascent();
  painter.fillRect(area, FromRgb(kWindowColour));
  painter.setFont(font());
  history_.ReadHistory([&](const std::deque<LogLine>& lines, const ScrollState& scroll) {
    const int count = static_cast<int>(lines.size());
    if (count == 0) return;
    const int x = kHistoryMargin - scroll.horizontal_pos * char_width_;
    auto draw = [&](const LogLine& line, int y) {
      const QRect row(area.left(), y, area.width(), line_height_);
      if (line.background_colour != kWindowColour) {
        painter.fillRect(row, FromRgb(line.background_colour));
      }
      painter.setPen(FromRgb(line.text_colour));
      painter.drawText(
          x, y + ascent,
          QString::fromUtf8(line.text.data(), static_cast<qsizetype>(line.text.size())));
    };
    if (count <= lines_fit_) {
      for (int i = 0; i < count; ++i) draw(lines[i], i * line_height_);
      return;
    }
    // From the bottom up, starting with the last line the scroll position selects; a part line
    // may show at the top.
    int y = area.height() - line_height_;
    for (int i = std::min(count - 1, scroll.vertical_pos + lines_fit_ - 1);
         i >= 0 && y > -line_height_; --i, y -= line_height_) {
      draw(lines[i], y);
    }
  });
}

void HistoryView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  Measure();
  history_.SetViewSize(lines_fit_, chars_fit_);
  Refresh();
}

void HistoryView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    Measure();
    history_.SetViewSize(lines_fit_, chars_fit_);
    Refresh();
  }
}

void HistoryView::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  QAbstractScrollArea::mousePressEvent(event);
}

}  // namespace tarnhold
