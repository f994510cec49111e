// The log view under load: how many lines per second the engine's threads can log while
// thgate's window is shown and repainting, beside the same logging headless (each line echoed
// to a file, as headless thgate writes it to standard output). Both runs in the same process,
// one after the other. Runs on the offscreen platform unless a display is named.
//
//   build/bin/log_view_bench [lines per thread]
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "apps/thgate/window/gate_window.h"
#include "widgets/history_view.h"

using namespace tarnhold;

namespace {

constexpr int kThreads = 4;

// The engine's side: four logs in the window's order, nothing else.
class BenchHost : public WindowHost {
 public:
  LogHistory& Log(WindowLog log) override { return logs[static_cast<int>(log)]; }
  std::filesystem::path DataRoot() const override { return "/nonexistent"; }
  void SetEvents(EngineEvents* e) override {
    AttachLogEvents([this](WindowLog log) -> CUH_Control& { return logs[static_cast<int>(log)]; },
                    e);
  }
  StartResult Start() override { return StartResult::Started; }
  void Reload() override {}
  int Exit() override { return 1; }

  CUH_Control logs[kWindowLogCount] = {CUH_Control(kPop3LogName), CUH_Control(kSmtpInLogName),
                                       CUH_Control(kSweepLogName), CUH_Control(kSmtpOutLogName)};
};

// Each thread logs through one of the engine's entry points, as the components do.
void (*const kEntryPoints[kThreads])(std::string_view) = {Pop3LogLine, SmtpInLogLine,
                                                          SweepLogLine, SmtpOutLogLine};

// Runs the logging threads to the end; returns lines per second over all of them. `pump` runs
// on this thread meanwhile (the window's event loop) until `done` is set.
double LogFlood(BenchHost& host, int lines_per_thread, const std::function<void(bool&)>& pump) {
  InstallActivityLogs({&host.logs[0], &host.logs[1], &host.logs[2], &host.logs[3], nullptr});
  bool done = false;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point end;
  std::thread driver([&] {
    std::vector<std::thread> engine;
    for (int t = 0; t < kThreads; ++t) {
      engine.emplace_back([t, lines_per_thread] {
        for (int i = 0; i < lines_per_thread; ++i) {
          kEntryPoints[t]("SMTPOUT To:bob@example.test From:anna@example.test item " +
                          std::to_string(i));
        }
      });
    }
    for (auto& e : engine) e.join();
    end = std::chrono::steady_clock::now();
    QMetaObject::invokeMethod(qApp, [&done] { done = true; }, Qt::QueuedConnection);
  });
  pump(done);
  driver.join();
  InstallActivityLogs({});
  const double seconds = std::chrono::duration<double>(end - start).count();
  return kThreads * static_cast<double>(lines_per_thread) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
  }
  const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
  QApplication app(argc, argv);
  auto pump_until_done = [](bool& done) {
    while (!done) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  };

  // Headless: no view; each line echoed to a file and flushed, as thgate does to stdout.
  BenchHost headless;
  std::FILE* echo = std::fopen("/dev/null", "w");
  for (CUH_Control& log : headless.logs) {
    log.SetLineLimit(kDefaultLineLimit);
    log.SetLineSink([echo](std::string_view name, std::string_view line) {
      std::string out;
      out.append(name).append(": ").append(line).append("\n");
      std::fwrite(out.data(), 1, out.size(), echo);
      std::fflush(echo);
    });
  }
  const double headless_rate = LogFlood(headless, lines, pump_until_done);
  std::fclose(echo);

  // Shown: the real window over the logs, its event loop repainting while the threads log.
  BenchHost shown;
  RecordingLauncher launcher;
  RecordingMessageBox box;
  GateWindow window(shown, launcher, box, "/nonexistent");
  for (CUH_Control& log : shown.logs) log.SetLineLimit(kDefaultLineLimit);
  (void)window.Begin(GateWindow::TrayChoice::Absent);
  const double window_rate = LogFlood(shown, lines, pump_until_done);
  int refreshes = 0;
  for (int i = 0; i < kWindowLogCount; ++i) refreshes += window.View(WindowLog(i))->RefreshCount();

  std::printf("lines logged: %d threads x %d\n", kThreads, lines);
  std::printf("headless (echo to a file):   %12.0f lines/s\n", headless_rate);
  std::printf("window shown (%s): %12.0f lines/s, %d view refreshes\n",
              qPrintable(QApplication::platformName()), window_rate, refreshes);
  return 0;
}
