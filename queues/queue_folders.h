// The folders the queue manager shows and acts on: the folder choice in its fixed order, the
// mapping of a folder's label or relative path onto a folder under the data root, and the
// names by which the command line and the window name single items ("quaran/virus/3").
// Nothing here touches an item; a name that would leave the data root is refused.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/spool_layout.h"

namespace tarnhold::queues {

struct FolderEntry {
  std::string label;             // "Pending", "Send", "Archive", "Off-peak", "Quarantine\junk"
  std::filesystem::path folder;  // the folder listed (the archive root for "Archive")
};

// The folder choice: "Pending", "Send", "Archive", "Off-peak", then "Quarantine\" and the name
// of each folder under quaran/ in the order the listing returns them.
[[nodiscard]] std::vector<FolderEntry> FolderChoice(const SpoolLayout& layout);

// A folder named by its label ("Send", "Quarantine\virus", any letter case) or by its path
// relative to the data root ("que", "quaran/virus", "archive/2026"). nullopt when the text
// names nothing under the root (empty, absolute, with "..", or a label of no folder).
[[nodiscard]] std::optional<std::filesystem::path> ResolveFolder(const SpoolLayout& layout,
                                                                 std::string_view text);

struct ItemRef {
  std::filesystem::path folder;
  std::string name;  // the item's file name: decimal digits
};

// An item named as the command line names it: "<folder>/<number>" with the folder relative to
// the root ("quaran/virus/3", "que/12"), or the window's form "<label> <number>"
// ("Quarantine\virus 3", "Send 12"). nullopt when either part is not sound.
[[nodiscard]] std::optional<ItemRef> ParseItemName(const SpoolLayout& layout,
                                                   std::string_view text);

// The name of an item in the command line's form: its folder relative to the root, "/" and its
// number. A folder outside the root gives its full path.
[[nodiscard]] std::string ItemDisplayName(const SpoolLayout& layout,
                                          const std::filesystem::path& folder,
                                          std::string_view name);

// Whether `folder` lies under the archive folder (the archive folder itself included),
// compared in lower case as the window's archive choice demands.
[[nodiscard]] bool IsArchiveFolder(const SpoolLayout& layout, const std::filesystem::path& folder);

}  // namespace tarnhold::queues
