#include "queues/queue_folders.h"

#include "platform/spool_folder.h"
#include "platform/text_case.h"

namespace fs = std::filesystem;

namespace tarnhold::queues {
namespace {

constexpr std::string_view kQuarantinePrefix = "Quarantine\\";

// A relative path of plain names: no root, no "." or "..", nothing empty but a trailing "/".
bool IsPlainRelative(const fs::path& path) {
  if (path.empty() || path.is_absolute() || path.has_root_name()) return false;
  for (const fs::path& part : path) {
    std::string s = part.string();
    if (s == "." || s == "..") return false;
  }
  return true;
}

// `path` with symbolic links resolved as far as it exists, so a link cannot lead out of the
// root unnoticed.
fs::path Resolved(const fs::path& path) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(path, ec);
  return ec ? path.lexically_normal() : canonical;
}

bool IsUnder(const fs::path& path, const fs::path& base, bool fold_case) {
  std::string p = Resolved(path).string();
  std::string b = Resolved(base).string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  while (b.size() > 1 && b.back() == '/') b.pop_back();
  if (fold_case) {
    p = ToLower(p);
    b = ToLower(b);
  }
  return p == b || (p.size() > b.size() && p.compare(0, b.size(), b) == 0 && p[b.size()] == '/');
}

std::optional<fs::path> FolderOfLabel(const SpoolLayout& layout, std::string_view label) {
  if (EqualsNoCase(label, "Pending")) return layout.Processing();
  if (EqualsNoCase(label, "Send")) return layout.Send();
  if (EqualsNoCase(label, "Off-peak")) return layout.OffPeak();
  if (EqualsNoCase(label, "Archive")) return layout.Archive();
  if (StartsWithNoCase(label, kQuarantinePrefix)) {
    std::string_view area = label.substr(kQuarantinePrefix.size());
    if (area.empty() || area.find_first_of("/\\") != std::string_view::npos || area == "." ||
        area == "..") {
      return std::nullopt;
    }
    return layout.Quarantine(area);
  }
  return std::nullopt;
}

}  // namespace

std::vector<FolderEntry> FolderChoice(const SpoolLayout& layout) {
  std::vector<FolderEntry> entries = {{"Pending", layout.Processing()},
                                      {"Send", layout.Send()},
                                      {"Archive", layout.Archive()},
                                      {"Off-peak", layout.OffPeak()}};
  std::error_code ec;
  for (fs::directory_iterator it(layout.QuarantineRoot(), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec)) continue;
    std::string area = it->path().filename().string();
    entries.push_back({std::string(kQuarantinePrefix) + area, layout.Quarantine(area)});
  }
  return entries;
}

std::optional<fs::path> ResolveFolder(const SpoolLayout& layout, std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (auto folder = FolderOfLabel(layout, text)) return folder;
  if (text.find('\\') != std::string_view::npos) return std::nullopt;
  fs::path relative{std::string(text)};
  if (!IsPlainRelative(relative)) return std::nullopt;
  fs::path folder = (layout.Root() / relative).lexically_normal();
  if (!IsUnder(folder, layout.Root(), false)) return std::nullopt;
  std::string s = folder.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return fs::path(s);
}

std::optional<ItemRef> ParseItemName(const SpoolLayout& layout, std::string_view text) {
  // The window's form: "<label> <number>".
  std::size_t blank = text.rfind(' ');
  if (blank != std::string_view::npos) {
    std::string_view number = text.substr(blank + 1);
    auto folder = FolderOfLabel(layout, text.substr(0, blank));
    if (!folder || !ItemNumber(number)) return std::nullopt;
    return ItemRef{*folder, std::string(number)};
  }
  std::size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view number = text.substr(slash + 1);
  if (!ItemNumber(number)) return std::nullopt;
  auto folder = ResolveFolder(layout, text.substr(0, slash));
  if (!folder) return std::nullopt;
  return ItemRef{*folder, std::string(number)};
}

std::string ItemDisplayName(const SpoolLayout& layout, const fs::path& folder,
                            std::string_view name) {
  fs::path relative = folder.lexically_relative(layout.Root());
  bool inside = !relative.empty() && IsPlainRelative(relative);
  return (inside ? relative.generic_string() : folder.string()) + "/" + std::string(name);
}

bool IsArchiveFolder(const SpoolLayout& layout, const fs::path& folder) {
  return IsUnder(folder, layout.Archive(), true);
}

}  // namespace tarnhold::queues
