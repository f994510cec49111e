#include "apps/thadmin/admin_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "admin/admin_texts.h"
#include "admin/rule_pages.h"
#include "apps/thadmin/pages.h"

namespace tarnhold {
namespace {

constexpr int kPageRole = Qt::UserRole + 1;

// One 16-by-16 icon per kind of tree item, drawn so that no image file travels with the program.
QIcon TreeIconImage(TreeIcon icon) {
  struct Look {
    QColor colour;
    char letter;
  };
  static const Look kLooks[] = {
      {QColor(70, 110, 170), 'G'}, {QColor(40, 140, 120), 'R'},  {QColor(120, 90, 160), 'L'},
      {QColor(30, 120, 180), 'P'}, {QColor(60, 150, 60), 'U'},   {QColor(190, 50, 50), 'V'},
      {QColor(200, 130, 20), 'S'}, {QColor(110, 110, 110), 'D'}, {QColor(140, 110, 60), 'L'},
      {QColor(20, 70, 140), 'R'},  {QColor(170, 60, 120), 'C'},  {QColor(90, 120, 40), 'A'},
      {QColor(40, 110, 150), 'T'}, {QColor(150, 100, 30), 'T'},  {QColor(160, 40, 40), 'F'},
  };
  const Look& look = kLooks[static_cast<int>(icon)];
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(look.colour);
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setPixelSize(11);
  font.setBold(true);
  painter.setFont(font);
  painter.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, QString(QChar(look.letter)));
  return QIcon(pixmap);
}

QTreeWidgetItem* MakeItem(const TreeItem& item) {
  auto* w = new QTreeWidgetItem(QStringList{Q(item.text)});
  w->setData(0, kPageRole, static_cast<int>(item.page));
  w->setIcon(0, TreeIconImage(item.icon));
  for (const TreeItem& child : item.children) w->addChild(MakeItem(child));
  return w;
}

}  // namespace

AdminWindow::AdminWindow(std::filesystem::path root, MessageBoxSeam& boxes,
                         ProgramLauncher& launcher, DialUpSources dial_up, QWidget* parent)
    : QDialog(parent),
      session_(std::move(root), boxes, launcher, std::move(dial_up)),
      tree_(new QTreeWidget(this)),
      stack_(new QStackedWidget(this)) {
  setWindowTitle(Q(std::string(admin_text::kWindowTitle)));
  auto* outer = new QVBoxLayout(this);
  auto* panes = new QHBoxLayout;
  outer->addLayout(panes, 1);
  tree_->setHeaderHidden(true);
  tree_->setIconSize(QSize(16, 16));
  tree_->setMinimumWidth(250);
  panes->addWidget(tree_);
  panes->addWidget(stack_, 1);
  BuildButtons();
  resize(1020, 700);
  session_.StartUp([this](std::string_view line) {
    if (line == "creating property pages") {
      CreatePages();
    } else if (line == "repsitioning") {
      // Every page sits in the pane's frame, inset 5 at the sides and bottom and 12 at the top.
      stack_->setContentsMargins(5, 12, 5, 5);
    } else if (line == "building settings tree" || line == "displaying rules") {
      RebuildTree();
    } else if (line == "showing window") {
      stack_->setCurrentIndex(static_cast<int>(PageId::Front));
    }
  });
  connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { OnSelection(); });
}

void AdminWindow::BuildButtons() {
  auto* row = new QHBoxLayout;
  static_cast<QVBoxLayout*>(layout())->addLayout(row);
  auto add = [&](const char* text, auto on_click) {
    auto* button = new QPushButton(text, this);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, on_click);
    row->addWidget(button);
    return button;
  };
  add("New", [this] {
    (void)session_.NewRule();
    AfterRuleCommand();
  });
  add("Delete", [this] {
    if (session_.DeleteRule(Selection()) == Handled::Done) AfterRuleCommand();
  });
  add("Up", [this] {
    if (session_.MoveRuleUp(Selection()) == Handled::Done) AfterRuleCommand();
  });
  add("Down", [this] {
    if (session_.MoveRuleDown(Selection()) == Handled::Done) AfterRuleCommand();
  });
  row->addStretch();
  add("Help", [this] { session_.Help(); });
  add("OK", [this] {
    auto* box = Page(PageId::Routing)->findChild<QLineEdit*>("LocalDomainEdit");
    if (session_.Ok(SaveInputs{box ? Text(box->text()) : std::string()}) == SaveOutcome::Saved)
      accept();
  });
  add("Cancel", [this] { reject(); });
}

void AdminWindow::CreatePages() {
  for (int n = 0; n < kPageCount; ++n) {
    PageForm* page = BuildPage(static_cast<PageId>(n), session_);
    page->refill_all = [this] { RefillPages(); };
    page->Column()->addStretch();
    pages_[static_cast<std::size_t>(n)] = page;
    stack_->addWidget(page);
  }
}

void AdminWindow::RebuildTree() {
  QSignalBlocker block(tree_);
  tree_->clear();
  for (const TreeItem& item : session_.Tree()) tree_->addTopLevelItem(MakeItem(item));
  tree_->expandAll();
}

void AdminWindow::AfterRuleCommand() {
  RebuildTree();
  stack_->setCurrentIndex(static_cast<int>(PageId::Front));
}

TreeSelection AdminWindow::Selection() const {
  QTreeWidgetItem* item = tree_->currentItem();
  if (!item) return {};
  return TreeSelection{Text(item->text(0)), item->parent() ? Text(item->parent()->text(0)) : ""};
}

void AdminWindow::OnSelection() {
  QTreeWidgetItem* item = tree_->currentItem();
  if (!item) return;
  session_.Select(Selection());
  stack_->setCurrentIndex(item->data(0, kPageRole).toInt());
  RefillPages();
}

void AdminWindow::RefillPages() {
  for (PageForm* page : pages_) page->Refill();
  // The rule pages' own check (an area that does not exist) speaks once per refill.
  (void)RefillRulePages(session_);
}

PageId AdminWindow::ShownPage() const { return static_cast<PageId>(stack_->currentIndex()); }

QTreeWidgetItem* AdminWindow::Item(const QString& text, const QString& child) const {
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = tree_->topLevelItem(i);
    if (top->text(0) != text) continue;
    if (child.isEmpty()) return top;
    for (int c = 0; c < top->childCount(); ++c)
      if (top->child(c)->text(0) == child) return top->child(c);
  }
  return nullptr;
}

}  // namespace tarnhold
