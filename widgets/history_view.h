// The view of one activity log (the CUH_Control window): its lines painted oldest at the top in
// their colours, scroll bars whose ranges and positions are the log's own scroll state, and the
// newest line kept in view unless the operator scrolled up. The log keeps the lines; the view
// reads them under the log's lock while it paints, so it never sees a half-changed list.
// Engine threads tell the view of new lines with NotifyLinesAdded, which only posts: at most
// one refresh waits at a time, however many lines come.
#pragma once

#include <QAbstractScrollArea>
#include <atomic>

#include "gateway/activity_log.h"

namespace tarnhold {

inline constexpr int kHistoryMargin = 2;  // pixels left of the text

class HistoryView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  // Attaches itself to `history`, which must outlive the view.
  explicit HistoryView(LogHistory& history, QWidget* parent = nullptr);
  ~HistoryView() override;

  // Any thread: lines were added. Posts one refresh unless one is waiting already.
  void NotifyLinesAdded();

  [[nodiscard]] int LinesFit() const { return lines_fit_; }
  [[nodiscard]] int CharsFit() const { return chars_fit_; }
  [[nodiscard]] int LineHeight() const { return line_height_; }
  // Refreshes run so far (each reads the log once and schedules one repaint).
  [[nodiscard]] int RefreshCount() const { return refresh_count_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void Measure();
  void Refresh();
  void OnVerticalScroll(int value);
  void OnHorizontalScroll(int value);

  LogHistory& history_;
  std::atomic<bool> refresh_posted_{false};
  int refresh_count_ = 0;
  bool syncing_ = false;  // Refresh is setting the bars
  int char_width_ = 1;
  int line_height_ = 1;
  int lines_fit_ = 0;
  int chars_fit_ = 0;
};

}  // namespace tarnhold
