#include "apps/thqueue/window/queue_window.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "apps/thqueue/window/queue_model.h"
#include "queues/message_preview.h"
#include "queues/queue_folders.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr const char* kAborted = "Previous folder listing has been aborted";
constexpr const char* kInvalidArchive = "Please select a valid archive folder";
constexpr int kDrainIntervalMs = 50;
// Initial column widths, in the order of the columns.
constexpr int kColumnWidths[QueueModel::kColumns] = {215, 40, 170, 170, 190, 200};

QString Text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

QueueWindow::QueueWindow(const SpoolLayout& layout, MessageBoxSeam& boxes,
                         FolderChooser choose_folder, QWidget* parent)
    : QDialog(parent),
      layout_(layout),
      boxes_(boxes),
      choose_folder_(std::move(choose_folder)),
      actions_(layout_) {
  setWindowTitle(kQueueWindowTitle);
  folders_ = new QComboBox(this);
  folders_->setMinimumWidth(220);
  model_ = new QueueModel(this);
  sorted_ = new QSortFilterProxyModel(this);
  sorted_->setSourceModel(model_);
  sorted_->setDynamicSortFilter(true);
  view_ = new QTableView(this);
  view_->setModel(sorted_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setSortingEnabled(true);
  view_->sortByColumn(QueueModel::kDate, Qt::AscendingOrder);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 6);
  view_->setWordWrap(false);
  for (int c = 0; c < QueueModel::kColumns; ++c) view_->setColumnWidth(c, kColumnWidths[c]);
  body_ = new QPlainTextEdit(this);
  body_->setReadOnly(true);
  attachments_ = new QListWidget(this);
  status_ = new QLabel(this);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel("Folder", this));
  top->addWidget(folders_);
  top->addStretch(1);
  auto* buttons = new QVBoxLayout;
  for (const char* text : {"Refresh", "Allow", "Allow +sender SPAM free", "Delete",
                           "Move to any folder", "Archives", "Close"}) {
    auto* b = new QPushButton(text, this);
    b->setAutoDefault(false);
    if (QString(text) == "Close") buttons->addStretch(1);
    buttons->addWidget(b);
  }
  auto* preview = new QGridLayout;
  preview->addWidget(new QLabel("Message body", this), 0, 0);
  preview->addWidget(new QLabel("File attachments", this), 0, 1);
  preview->addWidget(body_, 1, 0);
  preview->addWidget(attachments_, 1, 1);
  preview->setColumnStretch(0, 3);
  preview->setColumnStretch(1, 1);
  auto* left = new QVBoxLayout;
  left->addLayout(top);
  left->addWidget(view_, 3);
  left->addWidget(status_);
  left->addLayout(preview, 2);
  auto* all = new QHBoxLayout(this);
  all->addLayout(left, 1);
  all->addLayout(buttons);
  resize(1180, 640);

  drain_timer_.setSingleShot(true);
  drain_timer_.setInterval(kDrainIntervalMs);
  connect(&drain_timer_, &QTimer::timeout, this, &QueueWindow::DrainRows);
  FillFolderList();
  connect(folders_, qOverload<int>(&QComboBox::activated), this, &QueueWindow::FolderChosen);
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &QueueWindow::ShowPreview);
  connect(Button("Refresh"), &QPushButton::clicked, this, &QueueWindow::Refresh);
  connect(Button("Allow"), &QPushButton::clicked, this, [this] { AllowSelected(false); });
  connect(Button("Allow +sender SPAM free"), &QPushButton::clicked, this,
          [this] { AllowSelected(true); });
  connect(Button("Delete"), &QPushButton::clicked, this, &QueueWindow::DeleteSelected);
  connect(Button("Move to any folder"), &QPushButton::clicked, this, &QueueWindow::MoveSelected);
  connect(Button("Archives"), &QPushButton::clicked, this, &QueueWindow::ChooseArchive);
  connect(Button("Close"), &QPushButton::clicked, this, &QDialog::accept);
}

QueueWindow::~QueueWindow() { lister_.Abort(); }

QPushButton* QueueWindow::Button(const QString& text) const {
  for (QPushButton* b : findChildren<QPushButton*>()) {
    if (b->text() == text) return b;
  }
  return nullptr;
}

void QueueWindow::FillFolderList() {
  folders_->clear();
  for (const queues::FolderEntry& e : queues::FolderChoice(layout_)) {
    folders_->addItem(Text(e.label), Text(e.folder.string()));
  }
  folders_->setCurrentIndex(-1);  // nothing is listed until a folder is chosen
}

void QueueWindow::ShowFolderLabel(const QString& label) {
  const QSignalBlocker quiet(folders_);
  folders_->setCurrentIndex(folders_->findText(label));
}

void QueueWindow::FolderChosen(int index) {
  if (index < 0) return;
  if (folders_->itemText(index) == "Archive") {
    ChooseArchive();
    return;
  }
  ListFolder(fs::path(folders_->itemData(index).toString().toStdString()));
}

void QueueWindow::Refresh() {
  if (!current_folder_.empty()) ListFolder(current_folder_);
}

void QueueWindow::ListFolder(const fs::path& folder) {
  current_folder_ = folder;
  const bool stopped = lister_.Abort();
  {
    std::scoped_lock lock(pending_lock_);
    pending_.clear();
  }
  drain_timer_.stop();
  model_->Clear();
  body_->clear();
  attachments_->clear();
  status_->setText(stopped ? kAborted : "");
  lister_.Start(
      folder,
      [this](queues::QueueRow&& row) {
        bool first;
        {
          std::scoped_lock lock(pending_lock_);
          first = pending_.empty();
          pending_.push_back(std::move(row));
        }
        if (first) {
          QMetaObject::invokeMethod(&drain_timer_, qOverload<>(&QTimer::start),
                                    Qt::QueuedConnection);
        }
      },
      [this](queues::ListingEnd end) {
        QMetaObject::invokeMethod(
            this, [this, end] { ListingEnded(end); }, Qt::QueuedConnection);
      });
}

void QueueWindow::DrainRows() {
  std::vector<queues::QueueRow> rows;
  {
    std::scoped_lock lock(pending_lock_);
    rows.swap(pending_);
  }
  model_->Append(std::move(rows));
}

void QueueWindow::ListingEnded(queues::ListingEnd end) {
  if (end != queues::ListingEnd::Finished) return;
  DrainRows();
  const int rows = model_->rowCount();
  status_->setText(QString(rows == 1 ? "%1 message in %2" : "%1 messages in %2")
                       .arg(rows)
                       .arg(Text(current_folder_.string())));
}

std::vector<queues::ChosenItem> QueueWindow::SelectedItems() const {
  QModelIndexList rows = view_->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  std::vector<queues::ChosenItem> items;
  for (const QModelIndex& index : rows) {
    const queues::QueueRow& r = model_->Row(sorted_->mapToSource(index).row());
    items.push_back({r.number, r.from, r.sender});
  }
  return items;
}

void QueueWindow::ShowPreview() {
  body_->clear();
  attachments_->clear();
  auto items = SelectedItems();
  if (items.empty()) return;
  queues::MessagePreview preview;
  if (queues::ReadPreview(current_folder_ / items.front().number, preview) !=
      queues::PreviewResult::Read) {
    return;
  }
  body_->setPlainText(Text(preview.body));
  for (const std::string& name : preview.attachments) attachments_->addItem(Text(name));
}

void QueueWindow::Finish(const queues::ActionReport& report) {
  if (!report.message.empty()) {
    boxes_.Inform(kQueueWindowTitle, report.message);
    return;
  }
  for (const queues::ItemOutcome& item : report.items) {
    if (!item.message.empty()) boxes_.Error(kQueueWindowTitle, item.message);
  }
  view_->setEnabled(true);
  ListFolder(current_folder_);
}

void QueueWindow::AllowSelected(bool trust) {
  lister_.Abort();
  auto items = SelectedItems();
  view_->setEnabled(false);
  Finish(actions_.Allow(current_folder_, items, trust));
  view_->setEnabled(true);
}

void QueueWindow::DeleteSelected() {
  lister_.Abort();
  auto items = SelectedItems();
  view_->setEnabled(false);
  Finish(actions_.Delete(current_folder_, items));
  view_->setEnabled(true);
}

void QueueWindow::MoveSelected() {
  lister_.Abort();
  auto items = SelectedItems();
  if (items.empty()) {
    Finish(actions_.Move(current_folder_, items, {}));
    return;
  }
  QString chosen = choose_folder_("Select folder", Text(layout_.QuarantineRoot().string()));
  if (chosen.isEmpty()) return;
  view_->setEnabled(false);
  Finish(actions_.Move(current_folder_, items, fs::path(chosen.toStdString())));
  view_->setEnabled(true);
}

void QueueWindow::ChooseArchive() {
  QString chosen = choose_folder_("Select archive folder", Text(layout_.Archive().string()));
  if (chosen.isEmpty()) return;
  fs::path folder(chosen.toStdString());
  if (!queues::IsArchiveFolder(layout_, folder)) {
    boxes_.Inform(kQueueWindowTitle, kInvalidArchive);
    return;
  }
  ShowFolderLabel("Archive");
  ListFolder(folder);
}

}  // namespace tarnhold
