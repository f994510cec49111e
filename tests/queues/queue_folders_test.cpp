#include "queues/queue_folders.h"

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace tarnhold::queues {
namespace {

using test::TempRoot;

TEST(QueueFolders, ChoiceListsTheFixedFoldersThenEachQuarantineArea) {
  TempRoot root;
  std::filesystem::create_directories(root / "quaran/virus");
  root.Write("quaran/not-a-folder", "x");
  SpoolLayout layout(root.Path());
  auto entries = FolderChoice(layout);
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].label, "Pending");
  EXPECT_EQ(entries[0].folder, root / "queproc");
  EXPECT_EQ(entries[1].label, "Send");
  EXPECT_EQ(entries[2].label, "Archive");
  EXPECT_EQ(entries[3].label, "Off-peak");
  EXPECT_EQ(entries[4].label, "Quarantine\\virus");
  EXPECT_EQ(entries[4].folder, root / "quaran/virus");
}

TEST(QueueFolders, ItemNamesInBothFormsAndNothingOutsideTheRoot) {
  TempRoot root;
  SpoolLayout layout(root.Path());
  struct Case {
    const char* text;
    const char* folder;  // relative to the root; nullptr: refused
    const char* name;
  } cases[] = {
      {"quaran/virus/3", "quaran/virus", "3"},
      {"Quarantine\\virus 3", "quaran/virus", "3"},
      {"quarantine\\virus 3", "quaran/virus", "3"},
      {"Send 12", "que", "12"},
      {"que/12", "que", "12"},
      {"Pending 1", "queproc", "1"},
      {"Off-peak 4", "offpeak", "4"},
      {"archive/2026/dec/7", "archive/2026/dec", "7"},
      {"que/012", nullptr, nullptr},  // leading zero: no item name
      {"que/x", nullptr, nullptr},
      {"que/", nullptr, nullptr},
      {"12", nullptr, nullptr},
      {"../que/1", nullptr, nullptr},
      {"quaran/../../etc/1", nullptr, nullptr},
      {"/etc/1", nullptr, nullptr},
      {"Quarantine\\.. 1", nullptr, nullptr},
      {"Quarantine\\a\\b 1", nullptr, nullptr},
      {"Nowhere 1", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto item = ParseItemName(layout, c.text);
    if (!c.folder) {
      EXPECT_FALSE(item);
      continue;
    }
    ASSERT_TRUE(item);
    EXPECT_EQ(item->folder, root / c.folder);
    EXPECT_EQ(item->name, c.name);
    EXPECT_EQ(ItemDisplayName(layout, item->folder, item->name),
              std::string(c.folder) + "/" + c.name);
  }
}

TEST(QueueFolders, ArchiveChoiceMustLieUnderTheArchiveFolder) {
  TempRoot root;
  std::filesystem::create_directories(root / "archive/2026");
  std::filesystem::create_directories(root / "archive2");
  std::filesystem::create_directories(root / "que");
  std::filesystem::create_symlink(root / "que", root / "archive/link");
  SpoolLayout layout(root.Path());
  struct Case {
    std::filesystem::path folder;
    bool valid;
  } cases[] = {
      {root / "archive", true},
      {root / "archive/2026", true},
      {root / "archive/", true},
      {root / "archive2", false},
      {root / "archive/../que", false},
      {root / "archive/link", false},
      {"/tmp", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder.string());
    EXPECT_EQ(IsArchiveFolder(layout, c.folder), c.valid);
  }
}

}  // namespace
}  // namespace tarnhold::queues
