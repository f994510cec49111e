// The queue manager's window "Velgrant Tarnhold Queues": the folder choice, the message list
// (rows streamed in by the listing thread, kept sorted by their Date text), the preview of the
// first selected message, and the buttons that act on the selection. Every decision and file
// operation is queues/'s; this class only shows and forwards. Message boxes and folder
// browsers go through seams so that a test can drive the window without blocking.
#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "desktop/message_box.h"
#include "gateway/spool_layout.h"
#include "queues/queue_actions.h"
#include "queues/queue_listing.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;

namespace tarnhold {

class QueueModel;

inline constexpr const char* kQueueWindowTitle = "Velgrant Tarnhold Queues";

class QueueWindow : public QDialog {
  Q_OBJECT

 public:
  // A folder browser: (title, starting folder) -> the chosen folder, or empty when cancelled.
  using FolderChooser = std::function<QString(const QString& title, const QString& start)>;

  QueueWindow(const SpoolLayout& layout, MessageBoxSeam& boxes, FolderChooser choose_folder,
              QWidget* parent = nullptr);
  ~QueueWindow() override;

  // For tests and the folder list: what is shown now.
  [[nodiscard]] const std::filesystem::path& CurrentFolder() const { return current_folder_; }
  [[nodiscard]] bool Listing() const { return lister_.Running(); }
  [[nodiscard]] QComboBox* FolderList() const { return folders_; }
  [[nodiscard]] QTableView* MessageList() const { return view_; }
  [[nodiscard]] QPlainTextEdit* Body() const { return body_; }
  [[nodiscard]] QListWidget* AttachmentList() const { return attachments_; }
  [[nodiscard]] QLabel* Status() const { return status_; }
  [[nodiscard]] QPushButton* Button(const QString& text) const;

  // Lists `folder` (the folder choice and the buttons come here).
  void ListFolder(const std::filesystem::path& folder);

 private:
  void FolderChosen(int index);
  void Refresh();
  void ShowPreview();
  void AllowSelected(bool trust);
  void DeleteSelected();
  void MoveSelected();
  void ChooseArchive();
  void DrainRows();
  void ListingEnded(queues::ListingEnd end);
  [[nodiscard]] std::vector<queues::ChosenItem> SelectedItems() const;
  // Shows the refusals of an action and lists the folder again.
  void Finish(const queues::ActionReport& report);
  void FillFolderList();
  void ShowFolderLabel(const QString& label);

  SpoolLayout layout_;
  MessageBoxSeam& boxes_;
  FolderChooser choose_folder_;
  queues::QueueActions actions_;
  std::filesystem::path current_folder_;

  QComboBox* folders_ = nullptr;
  QueueModel* model_ = nullptr;
  QSortFilterProxyModel* sorted_ = nullptr;
  QTableView* view_ = nullptr;
  QPlainTextEdit* body_ = nullptr;
  QListWidget* attachments_ = nullptr;
  QLabel* status_ = nullptr;

  // Rows reach the list in batches, at most one per tick of this timer, so that a large
  // folder costs a few model updates a second and not one per row.
  QTimer drain_timer_;
  // Rows the listing thread has read and the window thread not yet taken.
  std::mutex pending_lock_;
  std::vector<queues::QueueRow> pending_;
  queues::FolderLister lister_;
};

}  // namespace tarnhold
