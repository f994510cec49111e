// thadmin's window: the settings tree on the left, one page at a time on the right, and the
// buttons "New", "Delete", "Up", "Down", "Help", "OK" and "Cancel". Everything it decides is
// done by AdminSession; the window shows the session's tree and pages and forwards clicks.
#pragma once

#include <QDialog>
#include <array>
#include <filesystem>

#include "admin/admin_session.h"
#include "apps/thadmin/page_form.h"

class QPushButton;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace tarnhold {

class AdminWindow : public QDialog {
 public:
  AdminWindow(std::filesystem::path root, MessageBoxSeam& boxes, ProgramLauncher& launcher,
              DialUpSources dial_up = {}, QWidget* parent = nullptr);

  [[nodiscard]] AdminSession& Session() { return session_; }
  [[nodiscard]] QTreeWidget* Tree() const { return tree_; }
  [[nodiscard]] PageForm* Page(PageId page) const { return pages_[static_cast<std::size_t>(page)]; }
  // The page shown now.
  [[nodiscard]] PageId ShownPage() const;
  // The top-level item with `text`, or the child `child` of it when given.
  [[nodiscard]] QTreeWidgetItem* Item(const QString& text, const QString& child = {}) const;

 private:
  void BuildButtons();
  void CreatePages();
  void RebuildTree();
  void OnSelection();
  void RefillPages();
  [[nodiscard]] TreeSelection Selection() const;
  void AfterRuleCommand();

  AdminSession session_;
  QTreeWidget* tree_;
  QStackedWidget* stack_;
  std::array<PageForm*, kPageCount> pages_{};
};

}  // namespace tarnhold
