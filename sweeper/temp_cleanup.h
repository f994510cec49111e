// Left-overs in <root>/temp: folders of earlier items that were never released (a message that
// could not be read, a crash). The folder is shared with the POP3 collection and the queue
// manager, which keep their own item folders there; a folder touched recently may belong to
// one of them and is left alone. Files lying directly in temp are never touched.
#pragma once

#include <chrono>
#include <filesystem>

namespace tarnhold {

inline constexpr std::chrono::minutes kTempLeftoverAge{10};

// Removes every subfolder of `temp_root`, with everything in it, that has not been changed for
// `min_age`. Failures are ignored: the next item tries again.
void RemoveTempLeftovers(const std::filesystem::path& temp_root,
                         std::chrono::seconds min_age = kTempLeftoverAge);

}  // namespace tarnhold
