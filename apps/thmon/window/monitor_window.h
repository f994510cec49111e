// The queue monitor's window "Tarnhold Status Monitor": the settings of thmon.cfg, the last
// three counts, the status line, the timer and "Check now". Checks run on a worker thread
// through monitor/'s RunCheck; this class only shows, forwards and keeps the alert states
// for the life of the window. A check does not start while the one before it still runs.
#pragma once

#include <QDialog>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "desktop/message_box.h"
#include "monitor/monitor_settings.h"
#include "monitor/queue_check.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tarnhold {

inline constexpr const char* kMonitorWindowTitle = "Tarnhold Status Monitor";

class MonitorWindow : public QDialog {
  Q_OBJECT

 public:
  using FolderChooser = std::function<QString(const QString& title, const QString& start)>;

  MonitorWindow(std::filesystem::path config_file, std::filesystem::path data_root,
                MessageBoxSeam& boxes, FolderChooser choose_folder, QWidget* parent = nullptr);
  ~MonitorWindow() override;

  // The settings as the controls hold them now.
  [[nodiscard]] monitor::MonitorSettings Settings() const;
  [[nodiscard]] bool Checking() const { return checking_; }
  [[nodiscard]] bool TimerActive() const { return timer_.isActive(); }
  [[nodiscard]] const monitor::AlertStates& States() const { return states_; }
  [[nodiscard]] QLabel* Status() const { return status_; }
  [[nodiscard]] QLineEdit* Edit(const char* name) const;
  [[nodiscard]] QCheckBox* Box(const char* name) const;
  [[nodiscard]] QPushButton* Button(const QString& text) const;

  // "Check status every" clicked: starts or stops the timer as the settings say.
  void ApplyMonitoring();
  // Starts a check on a worker thread; false when one still runs.
  bool StartCheck();

 signals:
  void CheckFinished();

 private:
  void Show(const monitor::MonitorSettings& s);
  void SetStatus(const QString& text);
  void Browse();
  void SaveAndExit();
  void SetSettingControlsEnabled(bool enabled);
  void JoinCheck();

  std::filesystem::path config_file_;
  std::filesystem::path data_root_;
  MessageBoxSeam& boxes_;
  FolderChooser choose_folder_;
  monitor::AlertStates states_;
  QTimer timer_;
  std::atomic<bool> checking_{false};
  std::thread check_thread_;
  QLabel* status_ = nullptr;
};

}  // namespace tarnhold
