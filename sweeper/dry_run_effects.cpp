#include "sweeper/dry_run_effects.h"

#include "platform/spool_folder.h"

namespace tarnhold {

std::optional<std::uint32_t> DryRunEffects::MoveItem(const std::filesystem::path& folder,
                                                     std::uint32_t start, std::string&) {
  return FindFreeNumber(folder, start);
}

}  // namespace tarnhold
