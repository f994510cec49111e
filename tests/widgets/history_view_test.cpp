// The history view over a real log: what it paints and where, its scroll bars against the
// log's scroll state with thousands of lines, the newest line kept in view, the coalesced
// refresh, and engine threads logging while the view paints.
#include "widgets/history_view.h"

#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gateway/activity_log.h"

using tarnhold::CUH_Control;
using tarnhold::HistoryView;

namespace {

constexpr int kLimit = 2048;

std::string Numbered(int n) { return "line " + std::to_string(n); }

// Whether row band [top, top + height) of `image` holds a pixel of `colour`.
bool BandHas(const QImage& image, int top, int height, QRgb colour) {
  for (int y = std::max(0, top); y < std::min(image.height(), top + height); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) return true;
    }
  }
  return false;
}

}  // namespace

class HistoryViewTest : public QObject {
  Q_OBJECT

 private:
  // A shown view of `log`, 400 by 200 pixels.
  static std::unique_ptr<HistoryView> Shown(CUH_Control& log) {
    auto view = std::make_unique<HistoryView>(log);
    view->resize(400, 200);
    view->show();
    if (!QTest::qWaitForWindowExposed(view.get())) return nullptr;
    return view;
  }

  static void AddLines(CUH_Control& log, HistoryView& view, int from, int count) {
    for (int i = from; i < from + count; ++i) log.AddLine(Numbered(i), false);
    view.NotifyLinesAdded();
  }

 private slots:
  void PaintsOldestAtTopInTheLinesColours_data() {
    QTest::addColumn<int>("before");
    QTest::newRow("all fit: drawn from the top") << 0;
    QTest::newRow("more than fit: drawn up from the bottom") << 100;
  }
  void PaintsOldestAtTopInTheLinesColours() {
    QFETCH(int, before);
    CUH_Control log("SMTP Server");
    auto view = Shown(log);
    QVERIFY(view);
    for (int i = 0; i < before; ++i) log.AddLine(std::string(20, 'X'), false);
    const QRgb colours[] = {0xCC0000, 0x00AA00, 0x0000DD};
    for (QRgb c : colours) {
      log.SetColours(c, tarnhold::kWindowColour);
      log.AddLine("XXXXXXXX", false);
    }
    view->NotifyLinesAdded();
    QTRY_COMPARE(view->RefreshCount(), 2);
    const QImage image = view->viewport()->grab().toImage();
    const int h = view->LineHeight();
    const int top = before == 0 ? 0 : image.height() - 3 * h;
    for (int i = 0; i < 3; ++i) {
      const int y = top + i * h;
      QVERIFY2(BandHas(image, y, h, colours[i]), qPrintable(QString("row %1").arg(i)));
      QVERIFY(!BandHas(image, y, h, colours[(i + 1) % 3]));
    }
    if (before > 0) QVERIFY(BandHas(image, 0, top, 0x000000));  // older lines above
    // The 2-pixel margin: the leftmost column stays in the window colour.
    for (int y = 0; y < image.height(); ++y) QCOMPARE(image.pixel(0, y) & 0xFFFFFF, 0xFFFFFFu);
  }

  void ScrollRangesFollowLineCountAndLongestLine_data() {
    QTest::addColumn<int>("lines");
    QTest::newRow("fewer than fit") << 3;
    QTest::newRow("a few more than fit") << 40;
    QTest::newRow("at the limit") << kLimit;
    QTest::newRow("thousands past the limit") << 5000;
  }
  void ScrollRangesFollowLineCountAndLongestLine() {
    QFETCH(int, lines);
    CUH_Control log("SMTP Agent");
    log.SetLineLimit(kLimit);
    auto view = Shown(log);
    QVERIFY(view);
    AddLines(log, *view, 0, lines);
    const std::string longest(300, 'w');
    log.AddLine(longest, false);
    view->NotifyLinesAdded();
    QTRY_COMPARE(int(log.LineCount()), std::min(lines + 1, kLimit));
    // The bars show as needed, which takes room from the lines.
    QTRY_VERIFY(view->horizontalScrollBar()->isVisible());
    QTRY_COMPARE(view->verticalScrollBar()->isVisible(), lines + 1 > view->LinesFit());
    QApplication::processEvents();
    const int fit = view->LinesFit();
    QVERIFY(fit > 0);
    const int want_v = std::max(0, std::min(lines + 1, kLimit) - fit);
    QCOMPARE(view->verticalScrollBar()->maximum(), want_v);
    QCOMPARE(view->verticalScrollBar()->value(), want_v);  // the newest line in view
    QCOMPARE(view->horizontalScrollBar()->maximum(), 300 - view->CharsFit() + 1);
    QCOMPARE(log.Scroll().vertical_max, want_v);
  }

  void NewestLineStaysInViewUnlessScrolledUp() {
    CUH_Control log("Content Sweeper");
    log.SetLineLimit(kLimit);
    auto view = Shown(log);
    QVERIFY(view);
    AddLines(log, *view, 0, 3000);
    QTRY_COMPARE(view->verticalScrollBar()->maximum(), kLimit - view->LinesFit());
    QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
    const int max = view->verticalScrollBar()->maximum();

    // The operator drags the bar up by 50 lines: the log follows, and new lines keep that
    // distance from the bottom instead of pulling the view down.
    view->verticalScrollBar()->setValue(max - 50);
    QCOMPARE(log.Scroll().vertical_pos, max - 50);
    AddLines(log, *view, 3000, 500);
    QTRY_COMPARE(log.LineCount(), std::size_t(kLimit));
    QApplication::processEvents();
    QCOMPARE(view->verticalScrollBar()->value(), max - 50);
    QCOMPARE(log.VisibleLines().back().text, Numbered(3499 - 50));

    // Back at the bottom, it follows the newest line again.
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
    AddLines(log, *view, 3500, 10);
    QTRY_COMPARE(log.VisibleLines().back().text, Numbered(3509));
    QTRY_COMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
  }

  void AFloodOfLinesIsOneRefresh() {
    CUH_Control log("SMTP Server");
    log.SetLineLimit(kLimit);
    auto view = Shown(log);
    QVERIFY(view);
    // Both bars up first: their showing resizes the view, which is a refresh of its own.
    AddLines(log, *view, 0, 100);
    log.AddLine(std::string(300, 'w'), false);
    view->NotifyLinesAdded();
    QTRY_VERIFY(view->verticalScrollBar()->isVisible() && view->horizontalScrollBar()->isVisible());
    QApplication::processEvents();
    const int before = view->RefreshCount();
    std::thread engine([&] {
      for (int i = 0; i < 20000; ++i) {
        log.AddLine(Numbered(i) + std::string(300, ' '), false);
        view->NotifyLinesAdded();
      }
    });
    engine.join();
    QTRY_COMPARE(view->RefreshCount(), before + 1);
    QApplication::processEvents();
    QCOMPARE(view->RefreshCount(), before + 1);
    QCOMPARE(log.VisibleLines().back().text, Numbered(19999) + std::string(300, ' '));
  }

  // Engine threads log while the view repaints and the operator scrolls; run under ASan or
  // TSan, this is the test that the painter never reads a list being changed.
  void EngineThreadsLogWhileTheViewPaints() {
    CUH_Control log("SMTP Agent");
    log.SetLineLimit(kLimit);
    log.SetLineSink([&](std::string_view, std::string_view) {});
    auto view = Shown(log);
    QVERIFY(view);
    log.SetLineSink(
        [v = view.get()](std::string_view, std::string_view) { v->NotifyLinesAdded(); });
    std::atomic<int> running{4};
    std::vector<std::thread> engine;
    for (int t = 0; t < 4; ++t) {
      engine.emplace_back([&, t] {
        for (int i = 0; i < 5000; ++i)
          log.AddStampedLine("thread " + std::to_string(t) + " " + Numbered(i), false);
        --running;
      });
    }
    int paints = 0;
    while (running.load() > 0 && paints < 100000) {
      (void)view->viewport()->grab();
      view->verticalScrollBar()->setValue(paints % 40);
      view->horizontalScrollBar()->setValue(paints % 5);
      QApplication::processEvents();
      ++paints;
    }
    for (auto& t : engine) t.join();
    log.SetLineSink(nullptr);
    QCOMPARE(log.LineCount(), std::size_t(kLimit));
    QVERIFY(paints > 0);
  }
};

QTEST_MAIN(HistoryViewTest)
#include "history_view_test.moc"
