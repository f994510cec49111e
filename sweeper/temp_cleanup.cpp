#include "sweeper/temp_cleanup.h"

#include <vector>

namespace fs = std::filesystem;

namespace tarnhold {

void RemoveTempLeftovers(const fs::path& temp_root, std::chrono::seconds min_age) {
  std::error_code ec;
  auto now = fs::file_time_type::clock::now();
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(temp_root, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code entry_ec;
    if (!it->is_directory(entry_ec) || it->is_symlink(entry_ec)) continue;
    auto changed = it->last_write_time(entry_ec);
    if (entry_ec || now - changed < min_age) continue;
    stale.push_back(it->path());
  }
  for (const auto& folder : stale) fs::remove_all(folder, ec);
}

}  // namespace tarnhold
